// deruzera-cli: the deleted-file scan and the recovery without a window.
//
//   deruzera-cli scan [--json] [--drive X:] SOURCE
//   deruzera-cli recover [--drive X:] SOURCE RECORD OUTPUT
//   deruzera-cli recover [--drive X:] [--allow-same-device] SOURCE --to DIR
//                        (--all | --match GLOB | RECORD...)
//
// Log lines go to stderr exactly as the window's log shows them; found files
// and recovered files go to stdout. Exit 0 on success, 1 on failure, 2 on a
// usage error.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "List.h"
#include "platform/DriveMap.h"
#include "platform/Locale.h"
#include "platform/RawDevice.h"
#include "volume/Batch.h"
#include "volume/Glob.h"
#include "volume/Salvane.h"

using namespace deruzera;

namespace {

const char* const Usage =
    "usage: deruzera-cli list [--json] SOURCE\n"
    "       deruzera-cli scan [--json] [--drive X:] SOURCE\n"
    "       deruzera-cli recover [--drive X:] [--allow-same-device] SOURCE RECORD OUTPUT\n"
    "       deruzera-cli recover [--drive X:] [--allow-same-device] SOURCE --to DIR\n"
    "                            (--all | --match GLOB | RECORD...)\n";

int UsageError(const std::string& why) {
    std::fprintf(stderr, "deruzera-cli: %s\n%s", why.c_str(), Usage);
    return 2;
}

bool ValidDrive(const std::string& d) {
    return d.size() == 2 && d[1] == ':' && ((d[0] >= 'A' && d[0] <= 'Z') || (d[0] >= 'a' && d[0] <= 'z'));
}

// Which bytes need care, for each of the uses (name or path, plain or
// JSON, and log lines); every other byte is copied as it stands.
struct TCareTable {
    bool care[256] = {};
    constexpr TCareTable(bool keepBackslash, bool json, bool log = false) {
        for (int c = 0; c < 0x20; ++c) care[c] = true;
        care[0x7F] = true;
        care['/'] = !log;
        care['\\'] = !log && (!keepBackslash || json);
        care['"'] = json;
        care[0xC2] = true;  // may begin a C1 control character
    }
};
constexpr TCareTable CareTables[2][2] = {{TCareTable(false, false), TCareTable(false, true)},
                                         {TCareTable(true, false), TCareTable(true, true)}};
constexpr TCareTable LogCare(true, false, true);

// The most bytes PutSafe writes for `text`.
std::size_t SafeBound(std::string_view text) { return 2 * text.size() + 2; }

// Writes `text` at `p` with control characters (C0, DEL and C1) and "/"
// (and, in names, "\\") turned into "_", so nothing a damaged or hostile
// record holds reaches a terminal raw or steers a script; in JSON also
// quoted and escaped. A log line keeps its slashes: only control characters
// go. Returns the end of what it wrote, at most SafeBound(text) bytes on.
char* PutSafe(char* p, std::string_view text, bool keepBackslash, bool json, bool log = false) {
    if (json) *p++ = '"';
    if (!log && !keepBackslash && (text == "." || text == "..")) {
        p = std::fill_n(p, text.size(), '_');
    } else {
        const bool* care = log ? LogCare.care : CareTables[keepBackslash][json].care;
        const char* in = text.data();
        const char* end = in + text.size();
        while (in < end) {
            const char* run = in;
            while (in < end && !care[static_cast<unsigned char>(*in)]) ++in;
            p = std::copy(run, in, p);
            if (in == end) break;
            const char c = *in++;
            if (static_cast<unsigned char>(c) == 0xC2) {
                // U+0080 to U+009F are the C1 controls; other characters of
                // this lead byte pass.
                if (in < end && static_cast<unsigned char>(*in) >= 0x80 && static_cast<unsigned char>(*in) <= 0x9F) {
                    *p++ = '_';
                    ++in;
                } else {
                    *p++ = c;
                }
            } else if ((c == '\\' && keepBackslash) || c == '"') {
                *p++ = '\\';  // only JSON cares about these two
                *p++ = c;
            } else {
                *p++ = '_';
            }
        }
    }
    if (json) *p++ = '"';
    return p;
}

void AppendSafe(std::string& out, std::string_view text, bool keepBackslash, bool json, bool log = false) {
    const std::size_t at = out.size();
    out.resize(at + SafeBound(text));
    out.resize(static_cast<std::size_t>(PutSafe(out.data() + at, text, keepBackslash, json, log) - out.data()));
}

char* Put(char* p, std::string_view text) { return std::copy(text.begin(), text.end(), p); }
char* PutNumber(char* p, std::int64_t value) { return std::to_chars(p, p + 20, value).ptr; }

// Log lines on stderr, coloured on a terminal, with a live count there.
// A line's text is made safe first: names in it come from the volume.
class TStderrLog {
public:
    TStderrLog() : tty_(isatty(STDERR_FILENO) == 1) {}

    void Line(const TLogLine& line) {
        std::string text;
        AppendSafe(text, line.Text, true, false, true);
        if (statusShown_) std::fputs("\r\033[K", stderr);
        statusShown_ = false;
        if (tty_) {
            const char* colour = line.Colour == clRed ? "\033[31m" : line.Colour == clGreen ? "\033[32m"
                                 : line.Colour == clBlue ? "\033[34m" : "";
            std::fprintf(stderr, "%s%s%s\n", colour, text.c_str(), *colour ? "\033[0m" : "");
        } else {
            std::fprintf(stderr, "%s\n", text.c_str());
        }
        std::fflush(stderr);
    }
    void Status(const std::string& text) {
        if (!tty_) return;
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        statusShown_ = true;
    }

private:
    bool tty_;
    bool statusShown_ = false;
};

// The scan's sink for the companion. Found files are written to stdout as
// the walk hands them over, so the output streams and memory stays small
// however many files the volume holds. On a terminal the table is held to
// the end so that its columns line up.
class TCliScan final : public TScanSink {
public:
    TCliScan(TStderrLog& log, bool json) : log_(log), json_(json), align_(!json && isatty(STDOUT_FILENO) == 1) {
        out_.resize(FlushAt + 4096);
    }
    void Line(const TLogLine& line) override { log_.Line(line); }
    void Progress(std::int64_t, std::int64_t found) override { log_.Status(CountText(found)); }
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) Write(f, batch);
        if (used_ > FlushAt) Flush();
    }

    void Flush() {
        if (align_) return;
        std::fwrite(out_.data(), 1, used_, stdout);
        std::fflush(stdout);
        used_ = 0;
    }
    // Writes the table held for a terminal, its columns padded.
    void FlushAligned() {
        if (!align_ || rows_.empty()) return;
        std::vector<std::size_t> width(Header.size(), 0);
        for (std::size_t c = 0; c < Header.size(); ++c) width[c] = Header[c].size();
        for (const auto& row : rows_)
            for (std::size_t c = 0; c + 1 < row.size(); ++c) width[c] = std::max(width[c], DisplayWidth(row[c]));
        std::string text;
        auto put = [&](const std::vector<std::string>& row) {
            for (std::size_t c = 0; c < row.size(); ++c) {
                text += row[c];
                if (c + 1 < row.size()) text.append(width[c] - std::min(width[c], DisplayWidth(row[c])) + 2, ' ');
            }
            text += '\n';
        };
        put(Header);
        for (const auto& row : rows_) put(row);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

private:
    static constexpr std::size_t FlushAt = 1 << 18;
    // Folders whose paths are kept; beyond, the cache starts again.
    static constexpr std::size_t MaxCachedPaths = 1 << 16;
    inline static const std::vector<std::string> Header = {"RECORD", "SIZE", "CREATED", "MODIFIED", "PATH", "NAME", "STATE"};

    // Columns on the screen: one a character, two for the wide ones of East
    // Asian scripts and emoji, none for combining marks.
    static std::size_t DisplayWidth(const std::string& s) {
        std::size_t width = 0;
        for (std::size_t i = 0; i < s.size();) {
            const auto lead = static_cast<unsigned char>(s[i]);
            const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
            for (std::size_t k = 1; k < length && i + k < s.size(); ++k) c = (c << 6) | (s[i + k] & 0x3F);
            i += length;
            if (c >= 0x300 && c <= 0x36F) continue;
            const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
                              (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                              (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                              (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
            width += wide ? 2 : 1;
        }
        return width;
    }

    // A folder's path is put together and made safe once, as the output
    // writes it: a batch's paths are final. The folders met lately are
    // found in one step.
    const std::string& SafePathOf(const TFoundFiles& f, const TFoundBatch& batch) {
        auto& [parent, known] = recent_[static_cast<std::uint64_t>(f.ParentRecord) % recent_.size()];
        if (known && parent == f.ParentRecord) return *known;
        if (paths_.size() > MaxCachedPaths) {
            paths_.clear();
            recent_.fill({});
        }
        auto it = paths_.find(f.ParentRecord);
        if (it == paths_.end()) {
            std::string safe;
            AppendSafe(safe, batch.FilePath(f), true, json_);
            it = paths_.emplace(f.ParentRecord, std::move(safe)).first;
        }
        recent_[static_cast<std::uint64_t>(f.ParentRecord) % recent_.size()] = {f.ParentRecord, &it->second};
        return it->second;
    }
    // The two times of a file, shown to the minute; most files were last
    // changed when made. Files found one after another were often made in
    // the same second, whose text is kept.
    void Times(const TFoundFiles& f, std::string& created, std::string& modified) {
        created = TimeText(f.Created);
        modified = f.Modified == f.Created ? created : TimeText(f.Modified);
    }
    const std::string& TimeText(std::uint64_t fileTime) {
        constexpr std::uint64_t Second = 10'000'000;
        auto& [second, text] = recentTimes_[fileTime / Second % recentTimes_.size()];
        if (text.empty() || second != fileTime / Second) {
            second = fileTime / Second;
            text = times_.FormatFileTime(fileTime);
        }
        return text;
    }
    // Room for `n` more bytes after those held for the output.
    char* Room(std::size_t n) {
        if (out_.size() - used_ < n) out_.resize(std::max(2 * out_.size(), used_ + n));
        return out_.data() + used_;
    }
    void Wrote(const char* end) { used_ = static_cast<std::size_t>(end - out_.data()); }
    void Append(std::string_view text) { Wrote(Put(Room(text.size()), text)); }

    void Write(const TFoundFiles& f, const TFoundBatch& batch) {
        const std::string_view name = batch.Files.Name(f);
        const std::string& path = SafePathOf(f, batch);
        std::string created, modified;
        Times(f, created, modified);
        if (json_) {
            const std::vector<std::string>& owners = batch.Overwriters.Of(f.Record);
            // Room for the row at its longest, taken once.
            std::size_t bound = 320 + SafeBound(name) + path.size() + SafeBound(created) + SafeBound(modified);
            for (const std::string& owner : owners) bound += SafeBound(owner) + 1;
            char* p = Room(bound);
            p = PutNumber(Put(p, "{\"record\":"), f.Record);
            p = PutNumber(Put(p, ",\"offset\":"), FileRecordOffset(batch.Volume, f.Record));
            p = PutSafe(Put(p, ",\"name\":"), name, false, true);
            p = Put(Put(p, ",\"path\":"), path);
            p = PutNumber(Put(p, ",\"size\":"), f.FileSize);
            p = PutSafe(Put(p, ",\"created\":"), created, true, true);
            p = PutSafe(Put(p, ",\"modified\":"), modified, true, true);
            p = Put(Put(Put(p, ",\"state\":\""), StateName(f.State)), "\"");
            p = PutNumber(Put(p, ",\"overwritten_bytes\":"), static_cast<std::int64_t>(f.OverwrittenBytes));
            p = Put(p, ",\"overwritten_by\":[");
            for (std::size_t i = 0; i < owners.size(); ++i) {
                if (i) *p++ = ',';
                p = PutSafe(p, owners[i], true, true);
            }
            p = Put(Put(p, "],\"compressed\":"), (f.Flags & FoundCompressed) ? "true" : "false");
            p = Put(Put(p, ",\"encrypted\":"), (f.Flags & FoundEncrypted) ? "true" : "false");
            Wrote(Put(p, "}\n"));
            return;
        }
        std::vector<std::string> row = {std::to_string(f.Record), std::to_string(f.FileSize), created, modified, path, "",
                                        StateName(f.State)};
        AppendSafe(row[5], name, false, false);
        if (align_) {
            rows_.push_back(std::move(row));
            return;
        }
        if (!headerWritten_) Append("RECORD\tSIZE\tCREATED\tMODIFIED\tPATH\tNAME\tSTATE\n");
        headerWritten_ = true;
        for (std::size_t c = 0; c < row.size(); ++c) {
            Append(row[c]);
            Append(c + 1 < row.size() ? "\t" : "\n");
        }
    }

    TStderrLog& log_;
    bool json_;
    bool align_;
    bool headerWritten_ = false;
    std::string out_;  // the output held, its first used_ bytes
    std::size_t used_ = 0;
    std::vector<std::vector<std::string>> rows_;
    std::unordered_map<std::int64_t, std::string> paths_;
    std::array<std::pair<std::int64_t, const std::string*>, 4096> recent_{};
    std::array<std::pair<std::uint64_t, std::string>, 64> recentTimes_{};
    TLocalTimes times_ = platform::LocalTimes();
};

int Scan(bool json, const std::string& drive, const std::string& source) {
    TStderrLog log;
    TCliScan sink(log, json);
    platform::MapDrive(drive, source);
    const std::atomic<bool> never{false};
    const TScanOutcome outcome = ScanDrive(drive, platform::TerminalDriveOpener(), sink, never);
    sink.Flush();
    sink.FlushAligned();
    std::fflush(stderr);
    // Nothing is left to release but memory: skip freeing it piece by piece.
    std::_Exit(outcome.End == TScanEnd::Completed ? 0 : 1);
}

// The companion's side of one recovery: OUTPUT stands for the save dialog's answer.
// A file others have written over is recovered all the same (the lines say
// what the copy holds); the drive being read is written to only when asked.
class TCliRecovery final : public TRecoveryHost {
public:
    TCliRecovery(TStderrLog& log, std::string output, bool allowSameDevice)
        : log_(log), output_(std::move(output)), allowSameDevice_(allowSameDevice) {}
    void Line(const TLogLine& line) override { log_.Line(line); }
    std::optional<std::string> AskTargetPath(const std::string&, const TRecoveryPlan&) override { return output_; }
    bool ConfirmSameDevice(const std::string&) override {
        if (!allowSameDevice_)
            log_.Line({"Error: The target lies on the drive being read, where writing can overwrite deleted files "
                       "still to be recovered; give --allow-same-device to write there all the same",
                       clRed});
        return allowSameDevice_;
    }

private:
    TStderrLog& log_;
    std::string output_;
    bool allowSameDevice_;
};

// A record number as the command line gives it; -1 when it is none.
long long ParseRecord(const std::string& text) {
    char* end = nullptr;
    const long long record = std::strtoll(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' || record < 0 ? -1 : record;
}

// Opens the drive's device and reads its geometry and MFT map quietly; on
// failure writes the lines of a recovery that can't begin and returns null.
std::shared_ptr<TDevice> OpenForRecovery(const std::string& drive, TStderrLog& log, TVolume& volume,
                                         TRecoveryHost* host) {
    std::string problem;
    std::shared_ptr<TDevice> device = platform::TerminalDriveOpener()(drive, problem);
    if (!device) {
        if (host) RecoverFile(nullptr, TVolume{}, 0, std::nullopt, *host);
        else log.Line({"Error: Invalid handle value", clRed});
        if (!problem.empty()) log.Line({problem, clRed});
        return nullptr;
    }
    TScanOutcome failure;
    failure.End = LoadVolume(*device, drive, volume, nullptr, failure);
    if (failure.End != TScanEnd::Completed) {
        if (host) log.Line({"Preparing for recovery", clBlack});
        if (failure.End == TScanEnd::UnsupportedGeometry) log.Line({"This is a NTFS disk", clGreen});
        for (const TLogLine& line : ScanEndLines(failure)) log.Line(line);
        return nullptr;
    }
    return device;
}

int Recover(const std::string& drive, const std::string& source, const std::string& recordText,
            const std::string& output, bool allowSameDevice) {
    const long long record = ParseRecord(recordText);
    if (record < 0) return UsageError("RECORD must be an MFT record number");
    TStderrLog log;
    TCliRecovery host(log, output, allowSameDevice);
    platform::MapDrive(drive, source);
    // The volume's geometry and MFT map: the boot sector and record 0, read
    // quietly unless they fail.
    TVolume volume;
    const std::shared_ptr<TDevice> device = OpenForRecovery(drive, log, volume, &host);
    if (!device) return 1;
    return RecoverFile(device.get(), volume, record, std::nullopt, host) ? 0 : 1;
}

// ---- Many files into a folder ---------------------------------------------------

// A state in a batch's line: "-" where it is not known.
const char* BatchStateName(TRecoverability state) {
    return state == TRecoverability::Unknown ? "-" : StateName(state);
}

// The scan of --all and --match: keeps the files chosen, and its lines
// until it is known whether it failed.
class TChoosingScan final : public TScanSink {
public:
    TChoosingScan(TStderrLog& log, const TGlob* match) : log_(log), match_(match) {}
    void Line(const TLogLine& line) override { lines.push_back(line); }
    void Progress(std::int64_t, std::int64_t found) override { log_.Status(CountText(found)); }
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) {
            std::string source = batch.FilePath(f);
            source += batch.Files.Name(f);
            if (match_ && !match_->Matches(source)) continue;
            items.push_back({f.Record, f.Sequence, f.FileSize, f.State});
            sources.emplace(f.Record, std::move(source));
        }
    }

    std::vector<TLogLine> lines;
    std::vector<TBatchItem> items;
    std::unordered_map<std::int64_t, std::string> sources;  // path and name, by record

private:
    TStderrLog& log_;
    const TGlob* match_;
};

// The companion's side of a batch: a line on stdout for each file, the log
// on stderr, the progress on a terminal.
class TCliBatch final : public TBatchSink {
public:
    TCliBatch(TStderrLog& log, const std::unordered_map<std::int64_t, std::string>& sources)
        : log_(log), sources_(sources) {}
    void Line(const TLogLine& line) override { log_.Line(line); }
    void Progress(const TBatchProgress& progress) override {
        log_.Status(BatchProgressText(progress, platform::DecimalSeparator()));
    }
    void FileDone(const TBatchFileOutcome& file) override {
        std::string line = std::to_string(file.Record) + '\t' + BatchStateName(file.State) + '\t';
        line += file.Written ? "written\t" : "failed\t";
        AppendSafe(line, file.Written ? file.Target : file.Reason, true, false, true);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    std::string Describe(const TBatchItem& item) override {
        const auto it = sources_.find(item.Record);
        return it == sources_.end() ? std::string() : it->second;
    }

private:
    TStderrLog& log_;
    const std::unordered_map<std::int64_t, std::string>& sources_;
};

struct TBatchRequest {
    std::string Folder;
    bool All = false;
    std::optional<std::string> Match;
    std::vector<long long> Records;
    bool AllowSameDevice = false;
};

int RecoverMany(const std::string& drive, const std::string& source, const TBatchRequest& request) {
    TStderrLog log;
    platform::MapDrive(drive, source);
    const std::atomic<bool> never{false};
    std::shared_ptr<TDevice> device;
    TVolume volume;
    std::vector<TBatchItem> items;
    std::unordered_map<std::int64_t, std::string> sources;
    if (!request.Records.empty()) {
        // Each record is planned as it stands: no scan is needed.
        device = OpenForRecovery(drive, log, volume, nullptr);
        if (!device) return 1;
        for (long long record : request.Records) items.push_back({record, std::nullopt, -1, TRecoverability::Unknown});
    } else {
        const std::optional<TGlob> match = request.Match ? std::optional<TGlob>(TGlob(*request.Match)) : std::nullopt;
        TChoosingScan scan(log, match ? &*match : nullptr);
        TScanOutcome outcome = ScanDrive(drive, platform::TerminalDriveOpener(), scan, never);
        if (outcome.End != TScanEnd::Completed || !outcome.Device) {
            for (const TLogLine& line : scan.lines) log.Line(line);
            return 1;
        }
        device = std::move(outcome.Device);
        volume = std::move(outcome.Volume);
        // In the order of the records, as the walk met them.
        std::sort(scan.items.begin(), scan.items.end(),
                  [](const TBatchItem& a, const TBatchItem& b) { return a.Record < b.Record; });
        items = std::move(scan.items);
        sources = std::move(scan.sources);
    }
    TCliBatch sink(log, sources);
    TBatchOptions options;
    options.AllowSameDevice = request.AllowSameDevice;
    const TBatchOutcome outcome = RecoverBatch(*device, volume, items, request.Folder, sink, never, options);
    std::fflush(stdout);
    if (outcome.Refused && !request.AllowSameDevice && device->HoldsPath(request.Folder))
        std::fputs("deruzera-cli: --allow-same-device writes there all the same\n", stderr);
    return !outcome.Refused && outcome.Written == outcome.Files ? 0 : 1;
}

}  // namespace

int Run(int argc, char** argv) {
    platform::InitLocale();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("no command");
    const std::string command = args[0];
    if (command == "list") return ListCommand({args.begin() + 1, args.end()});
    bool json = false;
    bool allowSameDevice = false;
    std::string drive = "C:";
    std::vector<std::string> positional;
    std::optional<std::string> to;
    TBatchRequest batch;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json" && command == "scan") {
            json = true;
        } else if (command == "recover" && (args[i] == "--to" || args[i] == "--match")) {
            if (i + 1 >= args.size()) return UsageError(args[i] + (args[i] == "--to" ? " needs a folder" : " needs a pattern"));
            (args[i] == "--to" ? to : batch.Match) = args[i + 1];
            ++i;
        } else if (command == "recover" && args[i] == "--all") {
            batch.All = true;
        } else if (command == "recover" && args[i] == "--allow-same-device") {
            allowSameDevice = batch.AllowSameDevice = true;
        } else if (args[i] == "--drive") {
            if (++i >= args.size()) return UsageError("--drive needs a drive letter");
            drive = args[i];
            if (!ValidDrive(drive)) return UsageError("--drive takes a letter and a colon, such as D:");
            drive[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
        } else if (args[i].size() > 1 && args[i][0] == '-' && args[i] != "-") {
            return UsageError("unknown option " + args[i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (command == "scan") {
        if (positional.size() != 1) return UsageError("scan takes one SOURCE");
        return Scan(json, drive, positional[0]);
    }
    if (command == "recover" && !to) {
        if (batch.All || batch.Match) return UsageError("--all and --match go with --to DIR");
        if (positional.size() != 3) return UsageError("recover takes SOURCE RECORD OUTPUT");
        return Recover(drive, positional[0], positional[1], positional[2], allowSameDevice);
    }
    if (command == "recover") {
        if (positional.empty()) return UsageError("recover --to DIR takes a SOURCE");
        if (to->empty()) return UsageError("--to needs a folder");
        for (std::size_t i = 1; i < positional.size(); ++i) {
            const long long record = ParseRecord(positional[i]);
            if (record < 0) return UsageError("RECORD must be an MFT record number");
            batch.Records.push_back(record);
        }
        if (int(batch.All) + int(batch.Match.has_value()) + int(!batch.Records.empty()) != 1)
            return UsageError("recover --to DIR takes one of --all, --match GLOB or RECORD...");
        if (batch.Match) {
            std::size_t characters = 0;
            for (std::size_t at = 0; at < batch.Match->size(); ++characters) NextCharacter(*batch.Match, at);
            if (characters > TGlob::MaxCharacters)
                return UsageError("--match takes a pattern of at most " + std::to_string(TGlob::MaxCharacters) +
                                  " characters");
        }
        batch.Folder = *to;
        return RecoverMany(drive, positional[0], batch);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(Usage, stdout);
        return 0;
    }
    return UsageError("unknown command " + command);
}

int main(int argc, char** argv) {
    // What the reader can't handle itself ends the run with a line, never
    // with an abort.
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s\n", RecoveryStoppedLine(true).Text.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s (%s)\n", RecoveryStoppedLine(false).Text.c_str(), e.what());
    }
    return 1;
}
