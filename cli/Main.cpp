// deruzera-cli: the deleted-file scan and the recovery without a window.
//
//   deruzera-cli scan [--json] [--drive X:] SOURCE
//   deruzera-cli recover [--drive X:] SOURCE RECORD OUTPUT
//
// Log lines go to stderr exactly as the window's log shows them; found files
// go to stdout. Exit 0 on success, 1 on failure, 2 on a usage error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/DriveMap.h"
#include "platform/Locale.h"
#include "volume/Log.h"
#include "volume/Salvane.h"

using namespace deruzera;

namespace {

const char* const Usage =
    "usage: deruzera-cli scan [--json] [--drive X:] SOURCE\n"
    "       deruzera-cli recover [--drive X:] SOURCE RECORD OUTPUT\n";

int UsageError(const std::string& why) {
    std::fprintf(stderr, "deruzera-cli: %s\n%s", why.c_str(), Usage);
    return 2;
}

bool ValidDrive(const std::string& d) {
    return d.size() == 2 && d[1] == ':' && ((d[0] >= 'A' && d[0] <= 'Z') || (d[0] >= 'a' && d[0] <= 'z'));
}

// Log lines on stderr, coloured on a terminal, with a live count there.
class TStderrLog {
public:
    TStderrLog() : tty_(isatty(STDERR_FILENO) == 1) {
        SetLogListener([this](const TLogLine& line) { Write(line); });
    }
    ~TStderrLog() { SetLogListener(nullptr); }
    TStderrLog(const TStderrLog&) = delete;
    TStderrLog& operator=(const TStderrLog&) = delete;

    void Status(const std::string& text) {
        if (!tty_) return;
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        statusShown_ = true;
    }
    bool Saw(const std::string& text) const {
        for (const auto& t : seen_)
            if (t == text) return true;
        return false;
    }

private:
    void Write(const TLogLine& line) {
        seen_.push_back(line.Text);
        if (statusShown_) std::fputs("\r\033[K", stderr);
        statusShown_ = false;
        if (tty_) {
            const char* colour = line.Colour == clRed ? "\033[31m" : line.Colour == clGreen ? "\033[32m"
                                 : line.Colour == clBlue ? "\033[34m" : "";
            std::fprintf(stderr, "%s%s%s\n", colour, line.Text.c_str(), *colour ? "\033[0m" : "");
        } else {
            std::fprintf(stderr, "%s\n", line.Text.c_str());
        }
        std::fflush(stderr);
    }
    bool tty_;
    bool statusShown_ = false;
    std::vector<std::string> seen_;
};

// Which bytes need care, for each of the four uses (name or path, plain
// or JSON); every other byte is copied as it stands.
struct TCareTable {
    bool care[256] = {};
    constexpr TCareTable(bool keepBackslash, bool json) {
        for (int c = 0; c < 0x20; ++c) care[c] = true;
        care[0x7F] = care['/'] = true;
        care['\\'] = !keepBackslash || json;
        care['"'] = json;
    }
};
constexpr TCareTable CareTables[2][2] = {{TCareTable(false, false), TCareTable(false, true)},
                                         {TCareTable(true, false), TCareTable(true, true)}};

// Appends `text` with control characters and "/" (and, in names, "\\") turned
// into "_", so nothing a damaged record holds reaches the terminal or steers
// a script; in JSON also quoted and escaped.
void AppendSafe(std::string& out, const std::string& text, bool keepBackslash, bool json) {
    if (json) out += '"';
    if (!keepBackslash && (text == "." || text == "..")) {
        out.append(text.size(), '_');
    } else {
        const bool* care = CareTables[keepBackslash][json].care;
        const char* p = text.data();
        const char* end = p + text.size();
        while (p < end) {
            const char* run = p;
            while (p < end && !care[static_cast<unsigned char>(*p)]) ++p;
            out.append(run, static_cast<std::size_t>(p - run));
            if (p == end) break;
            const char c = *p++;
            if ((c == '\\' && keepBackslash) || c == '"') {
                out += '\\';  // only JSON cares about these two
                out += c;
            } else {
                out += '_';
            }
        }
    }
    if (json) out += '"';
}

// The scan's host for the companion. Found files are written to stdout as
// the walk goes on (with each progress report, every 128 records) and then
// dropped from the list, so the output streams and memory stays small
// however many files the volume holds.
class TCliScan final : public TScanHost {
public:
    TCliScan(TStderrLog& log, bool json) : log_(log), json_(json) { out_.reserve(FlushAt + 4096); }
    void ReportStatusText(const std::string& text) override { log_.Status(text); }
    void ReportProgress(std::int64_t) override { Drain(); }

    // Writes and drops every file found so far.
    void Drain() {
        for (; !FoundFiles.empty(); FoundFiles.pop_front()) Write(FoundFiles.front());
        if (out_.size() > FlushAt) Flush();
    }
    void Flush() {
        std::fwrite(out_.data(), 1, out_.size(), stdout);
        std::fflush(stdout);
        out_.clear();
    }

private:
    static constexpr std::size_t FlushAt = 1 << 20;

    void Write(const TFoundFiles& f) {
        const std::int64_t record = RecordNumberAt(Volume, f.RecordOffset);
        if (json_) {
            out_ += "{\"record\":";
            out_ += std::to_string(record);
            out_ += ",\"offset\":";
            out_ += std::to_string(f.RecordOffset);
            out_ += ",\"name\":";
            AppendSafe(out_, f.FileName, false, true);
            out_ += ",\"path\":";
            AppendSafe(out_, f.FilePath, true, true);
            out_ += ",\"size\":";
            out_ += std::to_string(f.FileSize);
            out_ += ",\"created\":";
            AppendSafe(out_, f.Created, true, true);
            out_ += ",\"modified\":";
            AppendSafe(out_, f.Modified, true, true);
            out_ += "}\n";
            return;
        }
        if (!headerWritten_) out_ += "RECORD\tSIZE\tCREATED\tMODIFIED\tPATH\tNAME\n";
        headerWritten_ = true;
        out_ += std::to_string(record) + "\t" + std::to_string(f.FileSize) + "\t" + f.Created + "\t" + f.Modified + "\t";
        AppendSafe(out_, f.FilePath, true, false);
        out_ += '\t';
        AppendSafe(out_, f.FileName, false, false);
        out_ += '\n';
    }

    TStderrLog& log_;
    bool json_;
    bool headerWritten_ = false;
    std::string out_;
};

int Scan(bool json, const std::string& drive, const std::string& source) {
    TStderrLog log;
    TCliScan host(log, json);
    host.SelectedDrive = drive;
    platform::MapDrive(drive, source);
    ScanDrive(host);
    host.Drain();
    host.Flush();
    std::fflush(stderr);
    // Nothing is left to release but memory: skip freeing it entry by entry.
    std::_Exit(log.Saw("Scanning process completed") ? 0 : 1);
}

class TCliRecovery final : public TRecoveryHost {
public:
    TCliRecovery(const TFoundFileList& files, int row, std::string output)
        : files_(files), row_(row), output_(std::move(output)) {}
    int Row() override { return row_; }
    std::string FirstResultCell() override { return files_.empty() ? std::string() : " " + files_.front().FileName; }
    const TFoundFileList& FoundFiles() override { return files_; }
    std::optional<std::string> AskTargetPath(const std::string&) override { return output_; }

private:
    const TFoundFileList& files_;
    int row_;
    std::string output_;
};

int Recover(const std::string& drive, const std::string& source, const std::string& recordText,
            const std::string& output) {
    char* end = nullptr;
    const long long record = std::strtoll(recordText.c_str(), &end, 10);
    if (recordText.empty() || *end != '\0' || record < 0) return UsageError("RECORD must be an MFT record number");
    platform::MapDrive(drive, source);

    // The scan finds the file and puts the volume in force; its own lines
    // are shown only when it fails.
    TScanHost host;
    host.SelectedDrive = drive;
    std::vector<TLogLine> scanLines;
    auto previous = SetLogListener([&](const TLogLine& line) { scanLines.push_back(line); });
    ScanDrive(host);
    SetLogListener(previous);
    bool completed = false;
    for (const auto& line : scanLines) completed = completed || line.Text == "Scanning process completed";
    if (!completed) {
        for (const auto& line : scanLines) std::fprintf(stderr, "%s\n", line.Text.c_str());
        return 1;
    }
    int row = 0;
    for (std::size_t i = 0; i < host.FoundFiles.size(); ++i)
        if (RecordNumberAt(Volume, host.FoundFiles[i].RecordOffset) == record) {
            row = static_cast<int>(i) + 1;
            break;
        }
    if (row == 0) {
        std::fprintf(stderr, "deruzera-cli: record %lld is not a deleted file of %s\n", record, source.c_str());
        return 1;
    }
    TStderrLog log;
    TCliRecovery recovery(host.FoundFiles, row, output);
    RecoverFile(recovery);
    return log.Saw("File recovered") ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    platform::InitLocale();
    platform::InstallDriveMapOpener();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return UsageError("no command");
    const std::string command = args[0];
    bool json = false;
    std::string drive = "C:";
    std::vector<std::string> positional;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json" && command == "scan") {
            json = true;
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
    if (command == "recover") {
        if (positional.size() != 3) return UsageError("recover takes SOURCE RECORD OUTPUT");
        return Recover(drive, positional[0], positional[1], positional[2]);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(Usage, stdout);
        return 0;
    }
    return UsageError("unknown command " + command);
}
