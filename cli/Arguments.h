// The companion's command line, parsed into what to do.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace deruzera::cli {

inline constexpr const char* Usage =
    "usage: deruzera-cli list [--json] SOURCE\n"
    "       deruzera-cli scan [--json] [--drive X:] SOURCE\n"
    "       deruzera-cli recover [--drive X:] [--allow-same-device] SOURCE RECORD OUTPUT\n"
    "       deruzera-cli recover [--drive X:] [--allow-same-device] SOURCE --to DIR\n"
    "                            (--all | --match GLOB | RECORD...)\n";

enum class TCommand { Scan, Recover, RecoverMany, Help };

struct TCommandLine {
    TCommand Command = TCommand::Help;
    std::string Drive = "C:";
    std::string Source;
    bool Json = false;
    bool AllowSameDevice = false;
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
