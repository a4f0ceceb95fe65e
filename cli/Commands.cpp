#include "Commands.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <unordered_map>

#include "Listing.h"
#include "Output.h"
#if DERUZERA_SOURCES
#include "Sources.h"
#include "platform/Sources.h"
#endif
#include "platform/DriveMap.h"
#include "platform/Locale.h"
#include "platform/Target.h"
#include "platform/Terminal.h"
#include "volume/Batch.h"
#include "volume/Glob.h"
#include "volume/Messages.h"
#include "volume/Pass.h"
#include "volume/Recover.h"
#include "volume/Scan.h"
#include "volume/Snapshots.h"
#include "volume/Volume.h"

namespace deruzera::cli {
namespace {

// The scan's side for a listing: found files to the writer, lines to the log.
class TListingScan final : public TScanSink {
public:
    TListingScan(TStderrLog& log, TFoundWriter& writer) : log_(log), writer_(writer) {}
    void Line(const TLogLine& line) override { log_.Line(line); }
    void Progress(std::int64_t, std::int64_t found) override { log_.Status(CountText(found)); }
    void Found(const TFoundBatch& batch) override { writer_.Write(batch); }

private:
    TStderrLog& log_;
    TFoundWriter& writer_;
};

// A pass's side for a listing: the scan's, with the pass's own progress.
class TListingPass final : public TPassSink {
public:
    TListingPass(TStderrLog& log, TFoundWriter& writer) : log_(log), scan_(log, writer) {}
    void Line(const TLogLine& line) override { scan_.Line(line); }
    void Progress(std::int64_t done, std::int64_t found) override { scan_.Progress(done, found); }
    void Found(const TFoundBatch& batch) override { scan_.Found(batch); }
    void PassProgress(const TPassProgress& progress) override {
        log_.Status(PassProgressText(progress, platform::DecimalSeparator()));
    }

private:
    TStderrLog& log_;
    TListingScan scan_;
};

// The companion's side of one recovery: OUTPUT stands for the save dialog's
// answer. A file others have written over is recovered all the same (the
// lines say what the copy holds); the drive being read is written to only
// when asked.
class TCliRecovery final : public TRecoveryHost {
public:
    TCliRecovery(TStderrLog& log, std::string output, bool allowSameDevice)
        : log_(log), output_(std::move(output)), allowSameDevice_(allowSameDevice) {}
    void Line(const TLogLine& line) override { log_.Line(line); }
    std::optional<std::string> AskTargetPath(const std::string&, const TRecoveryPlan&) override { return output_; }
    bool ConfirmSameDevice(const std::string&) override {
        if (!allowSameDevice_) log_.Line(SameDeviceRefusedLine());
        return allowSameDevice_;
    }

private:
    TStderrLog& log_;
    std::string output_;
    bool allowSameDevice_;
};

// The scan of --all and --match: keeps the files chosen, and its lines
// until it is known whether it failed.
class TChoosingScan final : public TScanSink {
public:
    TChoosingScan(TStderrLog& log, const TGlob* match) : log_(log), match_(match) {}
    void Line(const TLogLine& line) override { lines.push_back(line); }
    void Progress(std::int64_t, std::int64_t found) override { log_.Status(CountText(found)); }
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) {
            if (match_) {
                std::string source = batch.FilePath(f);
                source += batch.Files.Name(f);
                if (!match_->Matches(source)) continue;
            }
            TBatchItem item{f.Record, f.Sequence, f.FileSize, f.State};
            item.For = PlanForFound(f);
            items.push_back({f.Snapshot, std::move(item)});
            indexes.push_back(batch.Places ? static_cast<std::ptrdiff_t>(
                                                 batch.Places[static_cast<std::size_t>(&f - &batch.Files[0])].Index)
                                           : -1);
        }
    }

    // A file chosen, and the snapshot it was found in (0: the live volume).
    struct TChosen {
        std::uint16_t Snapshot;
        TBatchItem Item;
    };
    std::vector<TLogLine> lines;
    std::vector<TChosen> items;
    // By item: its index in a pass's results, -1 for a file of the walk.
    std::vector<std::ptrdiff_t> indexes;

private:
    TStderrLog& log_;
    const TGlob* match_;
};

// The choosing scan as a pass's side.
class TChoosingPass final : public TPassSink {
public:
    TChoosingPass(TStderrLog& log, TChoosingScan& scan) : log_(log), scan_(scan) {}
    void Line(const TLogLine& line) override { scan_.Line(line); }
    void Progress(std::int64_t done, std::int64_t found) override { scan_.Progress(done, found); }
    void Found(const TFoundBatch& batch) override { scan_.Found(batch); }
    void PassProgress(const TPassProgress& progress) override {
        log_.Status(PassProgressText(progress, platform::DecimalSeparator()));
    }

private:
    TStderrLog& log_;
    TChoosingScan& scan_;
};

TPassOptions PassOptionsOf(const TCommandLine& line, std::int64_t origin) {
    TPassOptions options;
    options.Deep = line.Deep;
    options.Carve = line.Carve;
    options.SourceOrigin = origin;
    return options;
}

// A state in a batch's line: "-" where it is not known.
const char* BatchStateName(TRecoverability state) {
    return state == TRecoverability::Unknown ? "-" : StateName(state);
}

// The companion's side of a batch: a line on stdout for each file, the log
// on stderr, the progress on a terminal.
class TCliBatch final : public TBatchSink {
public:
    explicit TCliBatch(TStderrLog& log) : log_(log) {}
    void Line(const TLogLine& line) override { log_.Line(line); }
    void Progress(const TBatchProgress& progress) override {
        log_.Status(BatchProgressText(progress, platform::DecimalSeparator()));
    }
    void FileDone(const TBatchFileOutcome& file) override {
        std::string line = std::to_string(file.Record) + '\t' + BatchStateName(file.State) + '\t';
        line += file.Written ? "written\t" : "failed\t";
        AppendSafe(line, file.Written ? file.Target : file.Reason, TSafeUse::Log);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    }

private:
    TStderrLog& log_;
};

// How a command opens the volume of its SOURCE: through the source layer
// where it is built (containers, partition tables, BitLocker, rescued
// images), else as the device or image SOURCE names.
class TOpening {
public:
    TOpening(const TCommandLine& line, TStderrLog& log)
#if DERUZERA_SOURCES
        : sources_(line, log)
#endif
    {
        platform::MapDrive(line.Drive, line.Source);
        (void)log;
        withSnapshots_ = line.WithSnapshots;
    }
    // A source option that can't be used, as a usage error.
    const std::optional<std::string>* UsageError() const {
#if DERUZERA_SOURCES
        if (sources_.UsageError()) return &sources_.UsageError();
#else
        static const std::optional<std::string> noSnapshots =
            "--with-snapshots needs libvshadow, which this build of deruzera-cli lacks";
        if (withSnapshots_) return &noSnapshots;
#endif
        return nullptr;
    }
    TDeviceOpener Opener() {
#if DERUZERA_SOURCES
        return sources_.Opener();
#else
        return platform::TerminalDriveOpener();
#endif
    }
    // The exit code of a failed open: 2 where the source holds several
    // volumes and none was chosen (they are listed), 1 otherwise.
    int FailedExit() {
#if DERUZERA_SOURCES
        if (sources_.ListVolumesNeeded()) return 2;
#endif
        return 1;
    }
    // Where the device opened begins on the source.
    std::int64_t Origin() const {
#if DERUZERA_SOURCES
        return sources_.Origin();
#else
        return 0;
#endif
    }

    // The scan of --with-snapshots: the live volume, then its snapshots.
    // Built without the libyal libraries, never called (UsageError).
    struct TScanned {
        TScanOutcome Live;
        std::vector<TSnapshotScan> Snapshots;
        bool Completed = false;
    };
    TScanned ScanWithSnapshots(const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort) {
        TScanned scanned;
#if DERUZERA_SOURCES
        platform::TSnapshotsScanOutcome outcome = platform::ScanDriveWithSnapshots(drive, Opener(), sink, abort);
        scanned.Completed = outcome.Completed();
        scanned.Live = std::move(outcome.Live);
        scanned.Snapshots = std::move(outcome.Scans);
#else
        (void)drive, (void)sink, (void)abort;
#endif
        return scanned;
    }

private:
#if DERUZERA_SOURCES
    TSourceOpener sources_;
#endif
    bool withSnapshots_ = false;
};

// The usage error of a source option, or nothing.
bool UsageRefused(const TOpening& opening) {
    const std::optional<std::string>* error = opening.UsageError();
    if (!error) return false;
    std::fprintf(stderr, "deruzera-cli: %s\n%s", (*error)->c_str(), Usage);
    return true;
}

}  // namespace

int Scan(const TCommandLine& line) {
    TStderrLog log;
    TOutput out;
    TListFormat format = line.Json ? TListFormat::Json : TListFormat::Table;
    if (!line.Format.empty()) ParseListFormat(line.Format, format);
    const std::unique_ptr<TFoundWriter> writer = TFoundWriter::Make(format, out, line.WithSnapshots, line.Deep || line.Carve);
    TListingScan sink(log, *writer);
    TOpening opening(line, log);
    if (UsageRefused(opening)) return 2;
    const std::atomic<bool> never{false};
    if (line.Deep || line.Carve) {
        TListingPass pass(log, *writer);
        TPassOptions options = PassOptionsOf(line, 0);
        // The origin is known once the source is open: the opener sets it.
        const TDeviceOpener open = opening.Opener();
        const TDeviceOpener opener = [&](const std::string& drive) {
            TDeviceAccess access = open(drive);
            options.SourceOrigin = opening.Origin();
            return access;
        };
        const TPassOutcome outcome = ScanSource(line.Drive, opener, pass, never, options);
        writer->Finish();
        const int exit = outcome.End == TScanEnd::Completed ? 0 : outcome.End == TScanEnd::OpenFailed ? opening.FailedExit() : 1;
        std::fflush(stderr);
        platform::ExitNow(exit);
    }
    TScanOutcome outcome;
    bool completed = false;
    if (line.WithSnapshots) {
        TOpening::TScanned scanned = opening.ScanWithSnapshots(line.Drive, sink, never);
        outcome = std::move(scanned.Live);
        completed = scanned.Completed;
    } else {
        outcome = ScanDrive(line.Drive, opening.Opener(), sink, never);
        completed = outcome.End == TScanEnd::Completed;
    }
    writer->Finish();
    const int exit = completed ? 0 : outcome.End == TScanEnd::OpenFailed ? opening.FailedExit() : 1;
    std::fflush(stderr);
    // Nothing is left to release but memory: skip freeing it piece by piece.
    platform::ExitNow(exit);
}

int Recover(const TCommandLine& line) {
    TStderrLog log;
    TCliRecovery host(log, line.Output, line.AllowSameDevice);
    TOpening opening(line, log);
    if (UsageRefused(opening)) return 2;
    // A snapshot's record may be a file in use there: a snapshot does not
    // change, so nothing can have used its record again since.
    const TRecoveryOutcome outcome =
        RecoverRecord(line.Drive, opening.Opener(), line.Record, platform::LocalFileSystem(), host,
                      line.Choice.Snapshot ? TPlanFor::AnyFile : TPlanFor::DeletedFile);
    if (outcome.End == TRecoveryEnd::NoDevice) return opening.FailedExit();
    return outcome.End == TRecoveryEnd::Recovered ? 0 : 1;
}

int RecoverMany(const TCommandLine& line) {
    TStderrLog log;
    TOpening opening(line, log);
    if (UsageRefused(opening)) return 2;
    const std::atomic<bool> never{false};
    std::shared_ptr<TNtfsVolume> volume;
    std::vector<TBatchItem> items;
    bool incomplete = false;
    if (!line.Records.empty()) {
        // Each record is planned as it stands: no scan is needed.
        TRecoveryEnd end = TRecoveryEnd::NoVolume;
        volume = OpenDriveVolume(line.Drive, opening.Opener(), log, &end);
        if (!volume) return end == TRecoveryEnd::NoDevice ? opening.FailedExit() : 1;
        // A snapshot's record may be a file in use there.
        const TPlanFor planFor = line.Choice.Snapshot ? TPlanFor::AnyFile : TPlanFor::DeletedFile;
        for (long long record : line.Records) {
            items.push_back({record, std::nullopt, -1, TRecoverability::Unknown});
            items.back().For = planFor;
        }
    } else if (line.Deep || line.Carve) {
        const std::optional<TGlob> match = line.Match ? std::optional<TGlob>(TGlob(*line.Match)) : std::nullopt;
        TChoosingScan scan(log, match ? &*match : nullptr);
        TChoosingPass pass(log, scan);
        TPassOptions options = PassOptionsOf(line, 0);
        const TDeviceOpener open = opening.Opener();
        const TDeviceOpener opener = [&](const std::string& drive) {
            TDeviceAccess access = open(drive);
            options.SourceOrigin = opening.Origin();
            return access;
        };
        const TPassOutcome outcome = ScanSource(line.Drive, opener, pass, never, options);
        if (outcome.End != TScanEnd::Completed || !outcome.Results) {
            for (const TLogLine& logLine : scan.lines) log.Line(logLine);
            return outcome.End == TScanEnd::OpenFailed ? opening.FailedExit() : 1;
        }
        // One batch on the device the pass read: the walk's files (carving
        // follows a walk) planned from the walk's volume, the pass's own
        // from its results, in the order they were listed.
        const std::shared_ptr<TNtfsVolume> walked = outcome.Walk.Volume;
        const std::shared_ptr<TPassResults> results = outcome.Results;
        std::vector<TBatchItem> chosen;
        for (const auto& c : scan.items) chosen.push_back(c.Item);
        TCliBatch sink(log);
        TBatchOptions batch;
        batch.AllowSameDevice = line.AllowSameDevice;
        batch.Plan = [&](std::size_t i) {
            if (scan.indexes[i] >= 0) return results->Plan(static_cast<std::size_t>(scan.indexes[i]));
            if (!walked) {
                TRecoveryPlan none;
                none.End = TPlanEnd::OutsideMft;
                return none;
            }
            return PlanRecovery(*walked, chosen[i].Record, chosen[i].Sequence);
        };
        const TBatchOutcome ended =
            RecoverBatch(*results->Volume, chosen, line.Folder, platform::LocalFileSystem(), sink, never, batch);
        std::fflush(stdout);
        if (ended.Refused == TBatchOutcome::TRefusal::SameDevice) std::fputs(AllowSameDeviceHint().c_str(), stderr);
        return ended.Refused == TBatchOutcome::TRefusal::None && ended.Written == ended.Files && ended.Unread == 0 ? 0
                                                                                                                  : 1;
    } else {
        const std::optional<TGlob> match = line.Match ? std::optional<TGlob>(TGlob(*line.Match)) : std::nullopt;
        TChoosingScan scan(log, match ? &*match : nullptr);
        TScanOutcome outcome;
        bool completed = false;
        std::vector<TSnapshotScan> snapshots;
        if (line.WithSnapshots) {
            TOpening::TScanned scanned = opening.ScanWithSnapshots(line.Drive, scan, never);
            outcome = std::move(scanned.Live);
            completed = scanned.Completed;
            snapshots = std::move(scanned.Snapshots);
        } else {
            outcome = ScanDrive(line.Drive, opening.Opener(), scan, never);
            completed = outcome.End == TScanEnd::Completed;
        }
        if (outcome.End != TScanEnd::Completed || !outcome.Volume) {
            for (const TLogLine& logLine : scan.lines) log.Line(logLine);
            return outcome.End == TScanEnd::OpenFailed ? opening.FailedExit() : 1;
        }
        // A snapshot that could not be scanned, or listed: what was found is
        // recovered all the same, and the lines say what was missed.
        if (!completed) {
            for (const TLogLine& logLine : scan.lines) log.Line(logLine);
            incomplete = true;
        }
        volume = outcome.Volume;
        // The live volume's files, then each snapshot's, newest first, as
        // the scan met them; each in the order of its records.
        std::sort(scan.items.begin(), scan.items.end(), [](const auto& a, const auto& b) {
            const int left = a.Snapshot == 0 ? 0 : 65536 - a.Snapshot, right = b.Snapshot == 0 ? 0 : 65536 - b.Snapshot;
            return left != right ? left < right : a.Item.Record < b.Item.Record;
        });
        TScanResults volumes;
        KeepSnapshotVolumes(volumes, snapshots);
        for (auto& chosen : scan.items) {
            if (chosen.Snapshot != 0 && chosen.Snapshot <= volumes.Snapshots.size())
                chosen.Item.Volume = volumes.Snapshots[chosen.Snapshot - 1u];
            items.push_back(std::move(chosen.Item));
        }
    }
    TCliBatch sink(log);
    TBatchOptions options;
    options.AllowSameDevice = line.AllowSameDevice;
    const TBatchOutcome outcome =
        RecoverBatch(*volume, items, line.Folder, platform::LocalFileSystem(), sink, never, options);
    std::fflush(stdout);
    if (outcome.Refused == TBatchOutcome::TRefusal::SameDevice) std::fputs(AllowSameDeviceHint().c_str(), stderr);
    return !incomplete && outcome.Refused == TBatchOutcome::TRefusal::None && outcome.Written == outcome.Files &&
                   outcome.Unread == 0
               ? 0
               : 1;
}

}  // namespace deruzera::cli
