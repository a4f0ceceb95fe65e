// deruzera-cli list: the volumes a source holds.
//
//   deruzera-cli list [--json] [--volume N [--snapshot K]] [--mapfile FILE]
//                     [--password-file FILE | --recovery-password DIGITS | --startup-key FILE.BEK] SOURCE
//
// One row a volume on stdout (one JSON object a line with --json); the
// lines of what was found on the way (a map found beside the image, a
// damaged table, a volume that can't be unlocked) on stderr. Exit 0 when
// the source was read, 1 when it could not be, 2 on a usage error.
#include "Sources.h"

#include <charconv>
#include <cstdio>
#include <fstream>

#include "Output.h"
#include "platform/Sources.h"

namespace deruzera::cli {

using namespace deruzera::platform;

namespace {

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

// The source options of `line`; false (and `error`) where a file they name
// can't be read.
bool OptionsOf(const TCommandLine& line, TSourceOptions& options, std::optional<std::string>& error) {
    const TSourceChoice& c = line.Choice;
    options.Mapfile = c.Mapfile;
    if (c.PasswordFile) {
        std::ifstream in(*c.PasswordFile, std::ios::binary);
        if (!in) {
            error = "the password file " + *c.PasswordFile + " can't be read";
            return false;
        }
        std::getline(in, options.Keys.Password);
        if (!options.Keys.Password.empty() && options.Keys.Password.back() == '\r') options.Keys.Password.pop_back();
    }
    if (c.RecoveryPassword) options.Keys.RecoveryPassword = *c.RecoveryPassword;
    if (c.StartupKey) options.Keys.StartupKeyFile = *c.StartupKey;
    options.Access.TerminalAgent = true;
    return true;
}

// One row a volume on stdout; what kept a volume from being looked into on
// stderr.
void WriteVolumes(const std::vector<const TVolumeInfo*>& shown, bool json, TStderrLog& log) {
    std::string out;
    if (!json) out = "VOLUME\tSTART\tLENGTH\tSCHEME\tTYPE\tNAME\tFILESYSTEM\tLABEL\tSERIAL\tSNAPSHOTS\n";
    for (const TVolumeInfo* v : shown) {
        if (v->Problem.End != TSourceEnd::Opened) PrintFailure(log, v->Problem);
        out += json ? JsonRow(*v) : TableRow(*v);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int ListVolumes(const TCommandLine& line) {
    TSourceOptions options;
    std::optional<std::string> error;
    if (!OptionsOf(line, options, error)) {
        std::fprintf(stderr, "deruzera-cli: %s\n%s", error->c_str(), Usage);
        return 2;
    }
    TStderrLog log;
    const TSource source = OpenSource(line.Source, options);
    if (source.Failure.End != TSourceEnd::Opened) {
        PrintFailure(log, source.Failure);
        return 1;
    }
    for (const TSourceNote& note : source.Notes) log.Line(SourceNoteLine(note));
    std::vector<const TVolumeInfo*> shown;
    if (line.Choice.Volume) {
        // The volume asked for, and its snapshot where one is: listed, not opened.
        const int volume = *line.Choice.Volume;
        TSourceFailure failure;
        const int count = static_cast<int>(source.Volumes.size());
        if (volume > count) {
            failure.End = TSourceEnd::NoSuchVolume;
            failure.Volume = volume;
            failure.Count = count;
        } else if (const TVolumeInfo& v = source.Volumes[static_cast<std::size_t>(volume - 1)];
                   line.Choice.Snapshot && *line.Choice.Snapshot > static_cast<int>(v.Snapshots.size())) {
            failure.End = TSourceEnd::NoSuchSnapshot;
            failure.Volume = v.Number;
            failure.Snapshot = *line.Choice.Snapshot;
            failure.Count = static_cast<int>(v.Snapshots.size());
        }
        if (failure.End != TSourceEnd::Opened) {
            PrintFailure(log, failure);
            return 1;
        }
        shown.push_back(&source.Volumes[static_cast<std::size_t>(volume - 1)]);
    } else {
        for (const TVolumeInfo& v : source.Volumes) shown.push_back(&v);
    }
    WriteVolumes(shown, line.Json, log);
    return 0;
}

struct TSourceOpener::TState {
    TCommandLine Line;
    TStderrLog& Log;
    TSourceOptions Options;
    TSource Source;
    TOpenVolume Opened;
};

TSourceOpener::TSourceOpener(const TCommandLine& line, TStderrLog& log)
    : state_(std::make_shared<TState>(TState{line, log, {}, {}, {}})) {
    OptionsOf(line, state_->Options, usageError_);
    // Only the chosen volume's shadow copies matter for a scan.
    state_->Options.Snapshots = line.Choice.Snapshot.has_value();
    // The scan reads the MFT; the labels are read only where the volumes are listed.
    state_->Options.Labels = false;
}

TDeviceOpener TSourceOpener::Opener() {
    return [state = state_](const std::string&) {
        TDeviceAccess access;
        state->Source = OpenSource(state->Line.Source, state->Options);
        // A pass over the whole source with no volume chosen reads the disk
        // itself: volumes no table or boot sector tells of are found there.
        if ((state->Line.Deep || state->Line.Carve) && !state->Line.Choice.Volume &&
            state->Source.Failure.End == TSourceEnd::Opened && state->Source.Disk) {
            for (const TSourceNote& note : state->Source.Notes) state->Log.Line(SourceNoteLine(note));
            state->Opened = {};
            access.Device = state->Source.Disk;
            access.Path = state->Line.Source;
            return access;
        }
        TVolumeChoice choice;
        choice.Volume = state->Line.Choice.Volume;
        choice.Snapshot = state->Line.Choice.Snapshot;
        state->Opened = state->Source.Failure.End == TSourceEnd::Opened
                            ? OpenVolume(state->Source, choice, state->Options.Keys)
                            : TOpenVolume{state->Source.Failure, nullptr, {}, 0, 0, state->Source.Notes};
        for (const TSourceNote& note : state->Opened.Notes) state->Log.Line(SourceNoteLine(note));
        if (state->Opened.Device) {
            access.Device = state->Opened.Device;
            access.Path = state->Line.Source;
            return access;
        }
        access.Failure = TAccessFailure::Source;
        access.Path = state->Line.Source;
        access.Lines = SourceFailureLines(state->Opened.Failure);
        return access;
    };
}

std::int64_t TSourceOpener::Origin() const { return state_->Opened.Device ? state_->Opened.Info.Start : 0; }

bool TSourceOpener::ListVolumesNeeded() {
    if (state_->Opened.Failure.End != TSourceEnd::VolumeNeeded) return false;
    // Listed as `list` lists them, labels read.
    TSourceOptions options = state_->Options;
    options.Labels = true;
    const TSource source = OpenSource(state_->Line.Source, options);
    std::vector<const TVolumeInfo*> shown;
    for (const TVolumeInfo& v : source.Volumes) shown.push_back(&v);
    WriteVolumes(shown, false, state_->Log);
    return true;
}

}  // namespace deruzera::cli
