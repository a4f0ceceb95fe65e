#include "Arguments.h"

#include <cctype>
#include <cstdlib>

#include "volume/Glob.h"

namespace deruzera::cli {
namespace {

bool ValidDrive(const std::string& d) {
    return d.size() == 2 && d[1] == ':' && ((d[0] >= 'A' && d[0] <= 'Z') || (d[0] >= 'a' && d[0] <= 'z'));
}

// A record number as the command line gives it; -1 when it is none.
long long ParseRecord(const std::string& text) {
    char* end = nullptr;
    const long long record = std::strtoll(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' || record < 0 ? -1 : record;
}

}  // namespace

std::optional<std::string> ParseArguments(const std::vector<std::string>& args, TCommandLine& line) {
    if (args.empty()) return "no command";
    const std::string command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        line.Command = TCommand::Help;
        return std::nullopt;
    }
    if (command != "scan" && command != "recover") return "unknown command " + command;
    std::vector<std::string> positional;
    std::optional<std::string> to;
    bool driveGiven = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--json" && command == "scan") {
            line.Json = true;
        } else if (command == "recover" && (args[i] == "--to" || args[i] == "--match")) {
            if (i + 1 >= args.size()) return args[i] + (args[i] == "--to" ? " needs a folder" : " needs a pattern");
            (args[i] == "--to" ? to : line.Match) = args[i + 1];
            ++i;
        } else if (command == "recover" && args[i] == "--all") {
            line.All = true;
        } else if (command == "recover" && args[i] == "--allow-same-device") {
            line.AllowSameDevice = true;
        } else if (args[i] == "--drive") {
            if (++i >= args.size()) return "--drive needs a drive letter";
            line.Drive = args[i];
            if (!ValidDrive(line.Drive)) return "--drive takes a letter and a colon, such as D:";
            line.Drive[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line.Drive[0])));
            driveGiven = true;
        } else if (args[i].size() > 1 && args[i][0] == '-' && args[i] != "-") {
            return "unknown option " + args[i];
        } else {
            positional.push_back(args[i]);
        }
    }
    // A drive letter as the SOURCE (Windows' "D:") names the drive as well.
    if (!driveGiven && !positional.empty() && ValidDrive(positional[0])) {
        line.Drive = positional[0];
        line.Drive[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line.Drive[0])));
    }
    if (command == "scan") {
        if (positional.size() != 1) return "scan takes one SOURCE";
        line.Command = TCommand::Scan;
        line.Source = positional[0];
        return std::nullopt;
    }
    if (!to) {
        if (line.All || line.Match) return "--all and --match go with --to DIR";
        if (positional.size() != 3) return "recover takes SOURCE RECORD OUTPUT";
        line.Command = TCommand::Recover;
        line.Source = positional[0];
        line.Record = ParseRecord(positional[1]);
        if (line.Record < 0) return "RECORD must be an MFT record number";
        line.Output = positional[2];
        return std::nullopt;
    }
    if (positional.empty()) return "recover --to DIR takes a SOURCE";
    if (to->empty()) return "--to needs a folder";
    line.Command = TCommand::RecoverMany;
    line.Source = positional[0];
    line.Folder = *to;
    for (std::size_t i = 1; i < positional.size(); ++i) {
        const long long record = ParseRecord(positional[i]);
        if (record < 0) return "RECORD must be an MFT record number";
        line.Records.push_back(record);
    }
    if (int(line.All) + int(line.Match.has_value()) + int(!line.Records.empty()) != 1)
        return "recover --to DIR takes one of --all, --match GLOB or RECORD...";
    if (line.Match) {
        std::size_t characters = 0;
        for (std::size_t at = 0; at < line.Match->size(); ++characters) NextCharacter(*line.Match, at);
        if (characters > TGlob::MaxCharacters)
            return "--match takes a pattern of at most " + std::to_string(TGlob::MaxCharacters) + " characters";
    }
    return std::nullopt;
}

}  // namespace deruzera::cli
