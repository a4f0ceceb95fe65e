// deruzera-cli list: the volumes a source holds.
//
//   deruzera-cli list [--json] [--volume N [--snapshot K]] [--mapfile FILE]
//                     [--password-file FILE | --recovery-password DIGITS | --startup-key FILE.BEK] SOURCE
//
// One row a volume on stdout (one JSON object a line with --json); the
// lines of what was found on the way (a map found beside the image, a
// damaged table, a volume that can't be unlocked) on stderr. Exit 0 when
// the source was read, 1 when it could not be, 2 on a usage error.
#include "ListVolumes.h"

#include <charconv>
#include <cstdio>
#include <fstream>

#include "Output.h"
#include "platform/Sources.h"

namespace deruzera::cli {

using namespace deruzera::platform;

namespace {

const char* const ListUsage =
    "usage: deruzera-cli list [--json] [--volume N [--snapshot K]] [--mapfile FILE]\n"
    "                         [--password-file FILE | --recovery-password DIGITS | --startup-key FILE.BEK] SOURCE\n";

int ListUsageError(const std::string& why) {
    std::fprintf(stderr, "deruzera-cli: %s\n%s", why.c_str(), ListUsage);
    return 2;
}

// Text from the disk made safe to print: control characters become "_";
// in JSON, a quoted and escaped string.
std::string Safe(const std::string& text, bool json) {
    std::string out;
    AppendSafe(out, text, json ? TSafeUse::JsonPath : TSafeUse::Path);
    return out;
}

void PrintFailure(TStderrLog& log, const TSourceFailure& failure) {
    for (const TLogLine& line : SourceFailureLines(failure)) log.Line(line);
}

std::string JsonRow(const TVolumeInfo& v) {
    std::string row = "{\"volume\":" + std::to_string(v.Number);
    row += ",\"start\":" + std::to_string(v.Start);
    row += ",\"length\":" + std::to_string(v.Length);
    row += ",\"scheme\":\"" + std::string(SchemeName(v.Scheme)) + "\"";
    row += ",\"type\":" + Safe(v.Type, true);
    row += ",\"name\":" + Safe(v.Name, true);
    row += ",\"filesystem\":\"" + std::string(FileSystemName(v.FileSystem)) + "\"";
    row += ",\"label\":" + Safe(v.Label, true);
    row += ",\"serial\":\"" + (v.HasSerial ? SerialText(v.Serial) : std::string()) + "\"";
    row += ",\"snapshots\":[";
    for (std::size_t i = 0; i < v.Snapshots.size(); ++i) {
        if (i) row += ',';
        row += "{\"snapshot\":" + std::to_string(v.Snapshots[i].Number) + ",\"created\":\"" +
               IsoUtc(v.Snapshots[i].Created) + "\"}";
    }
    return row + "]}\n";
}

std::string TableRow(const TVolumeInfo& v) {
    std::string snapshots;
    for (const TSnapshotInfo& s : v.Snapshots)
        snapshots += (snapshots.empty() ? "" : ",") + std::to_string(s.Number) + ":" + IsoUtc(s.Created);
    const std::string columns[] = {std::to_string(v.Number),
                                   std::to_string(v.Start),
                                   std::to_string(v.Length),
                                   SchemeName(v.Scheme),
                                   v.Type.empty() ? "-" : Safe(v.Type, false),
                                   v.Name.empty() ? "-" : Safe(v.Name, false),
                                   FileSystemName(v.FileSystem),
                                   v.Label.empty() ? "-" : Safe(v.Label, false),
                                   v.HasSerial ? SerialText(v.Serial) : "-",
                                   snapshots.empty() ? "-" : snapshots};
    std::string row;
    for (const std::string& c : columns) row += (row.empty() ? "" : "\t") + c;
    return row + "\n";
}

bool ParseNumber(const std::string& text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0;
}

}  // namespace

int ListVolumes(const std::vector<std::string>& args) {
    bool json = false;
    TSourceOptions options;
    TVolumeChoice choice;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        std::string text;
        if (a == "--json") {
            json = true;
        } else if (a == "--volume" || a == "--snapshot") {
            int n = 0;
            if (!value(text) || !ParseNumber(text, n)) return ListUsageError(a + " takes a number from 1");
            (a == "--volume" ? choice.Volume : choice.Snapshot) = n;
        } else if (a == "--mapfile") {
            if (!value(text)) return ListUsageError("--mapfile needs a file");
            options.Mapfile = text;
        } else if (a == "--password-file") {
            if (!value(text)) return ListUsageError("--password-file needs a file");
            std::ifstream in(text, std::ios::binary);
            if (!in) return ListUsageError("the password file " + text + " can't be read");
            std::getline(in, options.Keys.Password);
            if (!options.Keys.Password.empty() && options.Keys.Password.back() == '\r') options.Keys.Password.pop_back();
        } else if (a == "--recovery-password") {
            if (!value(options.Keys.RecoveryPassword)) return ListUsageError("--recovery-password needs its digits");
        } else if (a == "--startup-key") {
            if (!value(options.Keys.StartupKeyFile)) return ListUsageError("--startup-key needs a .BEK file");
        } else if (a.size() > 1 && a[0] == '-') {
            return ListUsageError("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 1) return ListUsageError("list takes one SOURCE");
    if (choice.Snapshot && !choice.Volume) return ListUsageError("--snapshot goes with --volume N");

    options.Access.TerminalAgent = true;
    TStderrLog log;
    const TSource source = OpenSource(positional[0], options);
    if (source.Failure.End != TSourceEnd::Opened) {
        PrintFailure(log, source.Failure);
        return 1;
    }
    for (const TSourceNote& note : source.Notes) log.Line(SourceNoteLine(note));
    std::vector<const TVolumeInfo*> shown;
    if (choice.Volume) {
        // The volume asked for, and its snapshot where one is: listed, not opened.
        TSourceFailure failure;
        const int count = static_cast<int>(source.Volumes.size());
        if (*choice.Volume > count) {
            failure.End = TSourceEnd::NoSuchVolume;
            failure.Volume = *choice.Volume;
            failure.Count = count;
        } else if (const TVolumeInfo& v = source.Volumes[static_cast<std::size_t>(*choice.Volume - 1)];
                   choice.Snapshot && *choice.Snapshot > static_cast<int>(v.Snapshots.size())) {
            failure.End = TSourceEnd::NoSuchSnapshot;
            failure.Volume = v.Number;
            failure.Snapshot = *choice.Snapshot;
            failure.Count = static_cast<int>(v.Snapshots.size());
        }
        if (failure.End != TSourceEnd::Opened) {
            PrintFailure(log, failure);
            return 1;
        }
        shown.push_back(&source.Volumes[static_cast<std::size_t>(*choice.Volume - 1)]);
    } else {
        for (const TVolumeInfo& v : source.Volumes) shown.push_back(&v);
    }
    std::string out;
    if (!json) out = "VOLUME\tSTART\tLENGTH\tSCHEME\tTYPE\tNAME\tFILESYSTEM\tLABEL\tSERIAL\tSNAPSHOTS\n";
    for (const TVolumeInfo* v : shown) {
        if (v->Problem.End != TSourceEnd::Opened) PrintFailure(log, v->Problem);
        out += json ? JsonRow(*v) : TableRow(*v);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace deruzera::cli
