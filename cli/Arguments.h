// The companion's command line, parsed into what to do.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace deruzera::cli {

inline constexpr const char* Usage =
    "usage: deruzera-cli list [--json] [SOURCE OPTIONS] SOURCE\n"
    "       deruzera-cli scan [--json | --format table|json|csv|bodyfile] [--drive X:] [--with-snapshots]\n"
    "                         [SOURCE OPTIONS] SOURCE\n"
    "       deruzera-cli recover [--drive X:] [--allow-same-device] [SOURCE OPTIONS] SOURCE RECORD OUTPUT\n"
    "       deruzera-cli recover [--drive X:] [--allow-same-device] [SOURCE OPTIONS] SOURCE --to DIR\n"
    "                            (--all | --match GLOB | RECORD...) [--with-snapshots]\n"
    "SOURCE OPTIONS: [--volume N [--snapshot K]] [--mapfile FILE]\n"
    "                [--password-file FILE | --recovery-password DIGITS | --startup-key FILE.BEK]\n";

enum class TCommand { List, Scan, Recover, RecoverMany, Help };

// Which volume of a source, and how to read it.
struct TSourceChoice {
    std::optional<int> Volume;     // from 1
    std::optional<int> Snapshot;   // from 1, oldest first
    std::optional<std::string> Mapfile;
    std::optional<std::string> PasswordFile;
    std::optional<std::string> RecoveryPassword;
    std::optional<std::string> StartupKey;
};

struct TCommandLine {
    TCommand Command = TCommand::Help;
    std::string Drive = "C:";
    std::string Source;
    bool Json = false;
    // scan --format: "table", "json", "csv" or "bodyfile"; "" where not given.
    std::string Format;
    bool AllowSameDevice = false;
    // scan, and recover --to DIR with --all or --match: the live volume's
    // snapshots too, for the files it no longer has.
    bool WithSnapshots = false;
    TSourceChoice Choice;
    // recover SOURCE RECORD OUTPUT
    long long Record = -1;
    std::string Output;
    // recover SOURCE --to DIR (--all | --match GLOB | RECORD...)
    std::string Folder;
    bool All = false;
    std::optional<std::string> Match;
    std::vector<long long> Records;
};

// Parses the arguments after the program's name. Nothing, or the usage
// error to show before the usage text.
std::optional<std::string> ParseArguments(const std::vector<std::string>& args, TCommandLine& line);

}  // namespace deruzera::cli
