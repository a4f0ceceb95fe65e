// Recovery of many files into one folder: the place of each file below it,
// its free name, the write, the progress and the lines.
#include "Batch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <set>
#include <tuple>

#include "LocalPath.h"

namespace deruzera {
namespace {

// Numbers tried for a free name before the file is given up: far more
// copies of one name than any folder holds.
constexpr unsigned MaxNumber = 100000;
// A name the target finds too long is cut to this many bytes: the shortest
// limit of the file systems in use (eCryptfs keeps names below 144 bytes).
constexpr std::size_t ShortNameBytes = 143;
// Reports of progress come no more often than this.
constexpr auto ReportEvery = std::chrono::milliseconds(100);
// The folder of files whose folders can't be resolved.
constexpr const char* OrphansFolder = "Orphans";

// A name from the volume as a folder entry here: safe, never empty, cut to fit.
std::string EntryName(const std::string& name) { return FitName(name.empty() ? "_" : SafeFileName(name)); }

// Whether the target refused a name for what it holds, so that another name
// may do.
bool NameRefused(int error) { return error == EINVAL || error == EILSEQ || error == ENAMETOOLONG; }

// The name to try once the target refused `name` with `error`.
std::string OtherName(const std::string& name, int error) {
    const std::string portable = PortableName(name);
    return error == ENAMETOOLONG ? CutName(portable, ShortNameBytes) : portable;
}

// The folders of the target below the one chosen, reached one name at a
// time from it. The folder of the last file is kept open for the next one,
// which is most often in it too; only that one, the chosen one and the one
// being opened are open at a time, however deep the tree.
class TFolderWalk {
public:
    TFolderWalk(TTargetFileSystem& files, std::unique_ptr<TTargetFolder> root, std::string rootPath, TBatchSink& sink)
        : files_(files), root_(std::move(root)), rootPath_(std::move(rootPath)), sink_(sink) {}

    // The folder for `names` (made safe, from the volume), opened or made
    // folder by folder; its path to show goes to `shown`. Null on failure,
    // with the errno value in `error` and the folder that failed in `shown`.
    TTargetFolder* Open(const std::vector<std::string>& names, const std::string& source, std::string& shown,
                        int& error) {
        if (current_ && names == names_) {
            shown = shown_;
            return current_.get();
        }
        current_.reset();
        shown = rootPath_;
        TTargetFolder* at = root_.get();
        std::unique_ptr<TTargetFolder> held;
        for (const std::string& name : names) {
            std::string written;
            std::unique_ptr<TTargetFolder> next = Step(*at, shown, name, source, written, error);
            if (!next) {
                shown = files_.JoinPath(shown, written);
                return nullptr;
            }
            shown = files_.JoinPath(shown, written);
            held = std::move(next);
            at = held.get();
        }
        if (!held) return root_.get();
        names_ = names;
        shown_ = shown;
        current_ = std::move(held);
        return current_.get();
    }

private:
    // The folder `wanted` in `parent`: the first of it and its numbered
    // names that is a folder or can be made one; where the target refuses
    // the name, the same with the name it takes. `written` gets the name
    // used, or tried last.
    std::unique_ptr<TTargetFolder> Step(TTargetFolder& parent, const std::string& parentShown,
                                        const std::string& wanted, const std::string& source, std::string& written,
                                        int& error) {
        std::string name = wanted;
        bool other = false;
        std::string link;  // a link met in place of the folder, the first time
        for (unsigned number = 0; number <= MaxNumber;) {
            written = number == 0 ? name : NumberedName(name, number);
            bool made = false;
            std::unique_ptr<TTargetFolder> folder = parent.Folder(written, error, &made);
            if (folder) {
                if (other && made) sink_.Line(BatchRenamedLine(source, wanted, written, true));
                if (!link.empty()) sink_.Line(BatchLinkLine(link, written, true));
                return folder;
            }
            if (error == ENOTDIR) {
                const std::string path = files_.JoinPath(parentShown, written);
                if (link.empty() && parent.Entry(written).Kind == TEntryKind::Link && linksSaid_.insert(path).second)
                    link = path;
                ++number;
                continue;
            }
            if (other || !NameRefused(error) || OtherName(name, error) == name) return nullptr;
            name = OtherName(name, error);
            other = true;
            number = 0;
        }
        error = EEXIST;
        return nullptr;
    }

    TTargetFileSystem& files_;
    std::unique_ptr<TTargetFolder> root_;
    std::string rootPath_;
    TBatchSink& sink_;
    std::vector<std::string> names_;  // of the folder kept open
    std::string shown_;
    std::unique_ptr<TTargetFolder> current_;
    std::set<std::string> linksSaid_;  // links met in place of folders, said once each
};

// The failure lines of a batch, at most MaxBatchLinesOfAKind of each kind;
// the others are counted and said in one line each at the end.
class TFailureLines {
public:
    explicit TFailureLines(TBatchSink& sink) : sink_(sink) {}
    void Add(const TBatchFileOutcome& file) {
        TKind& kind = kinds_[{file.Failure, file.PlanEnd, file.WriteEnd, file.Error}];
        if (kind.Shown < MaxBatchLinesOfAKind) {
            ++kind.Shown;
            if (kind.Shown == 1) order_.push_back(&kind);
            sink_.Line(BatchFailureLine(file));
        } else {
            ++kind.More;
            kind.Last = file;
        }
    }
    void End() {
        for (const TKind* kind : order_)
            if (kind->More > 0) sink_.Line(BatchMoreFailuresLine(kind->Last, kind->More));
    }

private:
    struct TKind {
        std::size_t Shown = 0;
        std::size_t More = 0;
        TBatchFileOutcome Last;
    };
    TBatchSink& sink_;
    std::map<std::tuple<TBatchFailure, TPlanEnd, TWriteEnd, int>, TKind> kinds_;
    std::vector<const TKind*> order_;
};

}  // namespace

std::vector<std::string> BatchTargetNames(const std::string& drive, const std::string& filePath,
                                          const std::string& fileName) {
    std::string_view path = filePath;
    std::vector<std::string> names;
    if (!drive.empty() && path.substr(0, drive.size()) == drive &&
        (path.size() == drive.size() || path[drive.size()] == '\\')) {
        path.remove_prefix(drive.size());
    } else {
        // "*\a\b\": below a directory that can't be resolved; no path at all
        // (a record without a name) likewise.
        names.emplace_back(OrphansFolder);
        if (!path.empty() && path[0] == '*') path.remove_prefix(1);
        else path = {};
    }
    while (!path.empty()) {
        const std::size_t end = std::min(path.find('\\'), path.size());
        if (end > 0) names.push_back(EntryName(std::string(path.substr(0, end))));
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    names.push_back(EntryName(fileName));
    return names;
}

std::string BatchTargetPath(const std::string& drive, const std::string& filePath, const std::string& fileName) {
    std::string target;
    for (const std::string& name : BatchTargetNames(drive, filePath, fileName))
        target += (target.empty() ? "" : "/") + name;
    return target;
}

TBatchItem BatchItemOf(const TScanResults& results, const TFoundFiles& file) {
    TBatchItem item{file.Record, file.Sequence, file.FileSize, file.State};
    item.For = PlanForFound(file);
    if (file.Snapshot != 0 && file.Snapshot <= results.Snapshots.size()) item.Volume = results.Snapshots[file.Snapshot - 1u];
    return item;
}

TBatchOutcome RecoverBatch(TNtfsVolume& ntfs, const std::vector<TBatchItem>& items, const std::string& folder,
                           TTargetFileSystem& files, TBatchSink& sink, const std::atomic<bool>& stop,
                           const TBatchOptions& options) {
    TBatchOutcome outcome;
    outcome.Folder = folder;
    outcome.Files = items.size();
    int error = 0;
    std::unique_ptr<TTargetFolder> root = files.OpenFolder(folder, true, error);
    if (!root) {
        sink.Line(BatchFolderUnusableLine(folder, error));
        outcome.Refused = TBatchOutcome::TRefusal::FolderUnusable;
        return outcome;
    }
    // Every volume read: the batch's, and the snapshots' its items name.
    std::vector<TNtfsVolume*> read = {&ntfs};
    for (const TBatchItem& item : items)
        if (item.Volume && std::find(read.begin(), read.end(), item.Volume.get()) == read.end())
            read.push_back(item.Volume.get());
    if (!options.AllowSameDevice &&
        std::any_of(read.begin(), read.end(), [&](TNtfsVolume* v) { return OnDriveBeingRead(v->Device(), folder); })) {
        sink.Line(BatchSameDeviceLine(folder));
        outcome.Refused = TBatchOutcome::TRefusal::SameDevice;
        return outcome;
    }
    TFolderWalk walk(files, std::move(root), folder, sink);
    TFailureLines failures(sink);

    TBatchProgress progress;
    progress.Files = items.size();
    for (const TBatchItem& item : items) progress.Bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(item.Size, 0));
    const auto began = std::chrono::steady_clock::now();
    auto lastReport = began;
    auto report = [&](bool now) {
        const auto at = std::chrono::steady_clock::now();
        if (!now && at - lastReport < ReportEvery) return;
        lastReport = at;
        progress.Milliseconds = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(at - began).count());
        sink.Progress(progress);
    };
    std::size_t numbered = 0;  // files written under numbered names
    sink.Progress(progress);

    for (const TBatchItem& item : items) {
        if (stop) {
            outcome.Stopped = true;
            break;
        }
        TBatchFileOutcome file;
        file.Record = item.Record;
        file.State = item.State;
        TNtfsVolume& on = item.Volume ? *item.Volume : ntfs;
        TDevice& device = on.Device();
        const TRecoveryPlan plan = PlanRecovery(on, item.Record, item.Sequence, item.For);
        file.Source = plan.HasName ? plan.FilePath + plan.FileName : "record " + std::to_string(item.Record);
        if (on.Snapshot().Number != 0) file.Source += " in snapshot " + std::to_string(on.Snapshot().Number);
        std::uint64_t expected = static_cast<std::uint64_t>(std::max<std::int64_t>(item.Size, 0));
        const std::uint64_t before = progress.BytesDone;
        std::vector<TLogLine> renamed;

        if (plan.End != TPlanEnd::Ready) {
            file.Failure = TBatchFailure::Plan;
            file.PlanEnd = plan.End;
            file.Reason = BatchFailureReason(file);
        } else {
            // The bitmap as it stands now tells better than the scan did.
            if (plan.State != TRecoverability::Unknown) file.State = plan.State;
            if (item.Size < 0) {
                expected = plan.Content.Size;
                progress.Bytes += expected;
            }
            std::vector<std::string> names = BatchTargetNames(on.Drive(), plan.FilePath, plan.FileName);
            std::string name = std::move(names.back());
            names.pop_back();
            std::string directory;
            TTargetFolder* into = walk.Open(names, file.Source, directory, error);
            if (into == nullptr) {
                file.Failure = TBatchFailure::Folder;
                file.Error = error;
                file.Directory = directory;
                file.Reason = BatchFailureReason(file);
            } else {
                TWriteOptions write;
                write.Replace = false;
                if (plan.Modified != 0) write.Modified = plan.Modified;
                write.Progress = [&](std::uint64_t bytes) {
                    progress.BytesDone = before + std::min(bytes, expected);
                    report(false);
                    return !stop;
                };
                TWriteOutcome written;
                // The first free name: nothing that exists is replaced. A
                // name the target refuses is tried again as one it takes.
                std::string trying = name;
                std::string used;
                std::string link;  // a link met in place of the file
                bool other = false;
                for (unsigned number = 0; number <= MaxNumber;) {
                    used = number == 0 ? trying : NumberedName(trying, number);
                    file.Target = files.JoinPath(directory, used);
                    written = WriteRecoveredFile(device, plan.Content, *into, used, write);
                    if (written.End == TWriteEnd::Exists) {
                        if (link.empty() && into->Entry(used).Kind == TEntryKind::Link) link = file.Target;
                        ++number;
                        continue;
                    }
                    if (written.End != TWriteEnd::Failed || other || !NameRefused(written.Error) ||
                        OtherName(trying, written.Error) == trying)
                        break;
                    trying = OtherName(trying, written.Error);
                    other = true;
                    number = 0;
                }
                if (written.End == TWriteEnd::Stopped) {
                    outcome.Stopped = true;
                    progress.BytesDone = before;
                    break;
                }
                if (written.End == TWriteEnd::Written) {
                    file.Written = true;
                    file.Bytes = written.Bytes;
                    file.Copy = NotesOf(written, plan);
                    file.Notes = CopyNoteLines(file.Copy);
                    file.Numbered = used != trying;
                    if (other) renamed.push_back(BatchRenamedLine(file.Source, name, used, false));
                    if (!link.empty()) renamed.push_back(BatchLinkLine(link, used, false));
                    else if (file.Numbered && numbered++ < MaxBatchLinesOfAKind)
                        renamed.push_back(BatchNumberedLine(file));
                    // Its named streams beside it, as their own files.
                    TWriteOptions beside;
                    if (plan.Modified != 0) beside.Modified = plan.Modified;
                    file.Streams = WriteStreamsBeside(device, plan, *into, used, beside);
                    for (const TStreamWrite& stream : file.Streams) {
                        if (stream.Write.End == TWriteEnd::Written) {
                            ++outcome.Streams;
                        } else {
                            ++outcome.StreamsFailed;
                            renamed.push_back({file.Source + ": " + StreamWrittenLine(stream).Text, clRed});
                        }
                    }
                } else if (written.End == TWriteEnd::Exists) {
                    file.Failure = TBatchFailure::NoFreeName;
                    file.Directory = directory;
                    file.Reason = BatchFailureReason(file);
                } else {
                    file.Failure = TBatchFailure::Write;
                    file.WriteEnd = written.End;
                    file.Error = written.Error;
                    file.Reason = BatchFailureReason(file);
                }
            }
        }
        if (!file.Written) file.Target.clear();
        ++progress.Done;
        progress.BytesDone = before + expected;
        if (file.Written) {
            ++outcome.Written;
            outcome.Bytes += file.Bytes;
            if (file.Copy.UnreadBytes > 0) ++outcome.Unread;
        } else {
            ++outcome.Failed;
            ++progress.Failed;
        }
        sink.FileDone(file);
        if (!file.Written) failures.Add(file);
        for (const TLogLine& line : renamed) sink.Line(line);
        // A copy that is not wholly the file's own says so, as one file's recovery does.
        for (const TLogLine& note : file.Notes) sink.Line({file.Source + ": " + note.Text, note.Colour});
        report(false);
    }
    report(true);
    failures.End();
    if (numbered > MaxBatchLinesOfAKind) sink.Line(BatchMoreNumberedLine(numbered - MaxBatchLinesOfAKind));
    sink.Line(BatchSummaryLine(outcome));
    return outcome;
}

}  // namespace deruzera
