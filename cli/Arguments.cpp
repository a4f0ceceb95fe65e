#include "Arguments.h"

#include <cctype>
#include <charconv>
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

// A count from 1, as --volume and --snapshot take it.
bool ParseCount(const std::string& text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0;
}

}  // namespace

std::optional<std::string> ParseArguments(const std::vector<std::string>& args, TCommandLine& line) {
    if (args.empty()) return "no command";
    const std::string command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        line.Command = TCommand::Help;
        return std::nullopt;
    }
    if (command != "scan" && command != "recover" && command != "list") return "unknown command " + command;
    std::vector<std::string> positional;
    std::optional<std::string> to;
    bool driveGiven = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        auto value = [&](std::optional<std::string>& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        if (args[i] == "--json" && (command == "scan" || command == "list")) {
            line.Json = true;
        } else if (args[i] == "--format" && command == "scan") {
            if (++i >= args.size()) return "--format needs table, json, csv or bodyfile";
            line.Format = args[i];
            if (line.Format != "table" && line.Format != "json" && line.Format != "csv" && line.Format != "bodyfile")
                return "--format takes table, json, csv or bodyfile";
        } else if (args[i] == "--volume" || args[i] == "--snapshot") {
            const std::string option = args[i];
            std::optional<std::string> text;
            int n = 0;
            if (!value(text) || !ParseCount(*text, n)) return option + " takes a number from 1";
            (option == "--volume" ? line.Choice.Volume : line.Choice.Snapshot) = n;
        } else if (args[i] == "--with-snapshots" && command != "list") {
            line.WithSnapshots = true;
        } else if (args[i] == "--mapfile") {
            if (!value(line.Choice.Mapfile)) return "--mapfile needs a file";
        } else if (args[i] == "--password-file") {
            if (!value(line.Choice.PasswordFile)) return "--password-file needs a file";
        } else if (args[i] == "--recovery-password") {
            if (!value(line.Choice.RecoveryPassword)) return "--recovery-password needs its digits";
        } else if (args[i] == "--startup-key") {
            if (!value(line.Choice.StartupKey)) return "--startup-key needs a .BEK file";
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
    if (line.Choice.Snapshot && !line.Choice.Volume) return "--snapshot goes with --volume N";
    if (line.WithSnapshots && line.Choice.Snapshot)
        return "--with-snapshots scans the live volume and all its snapshots: leave out --snapshot";
    if (command == "list") {
        if (positional.size() != 1) return "list takes one SOURCE";
        line.Command = TCommand::List;
        line.Source = positional[0];
        return std::nullopt;
    }
    if (command == "scan") {
        if (positional.size() != 1) return "scan takes one SOURCE";
        if (line.Json && !line.Format.empty() && line.Format != "json") return "--json and --format " + line.Format + " disagree";
        line.Command = TCommand::Scan;
        line.Source = positional[0];
        return std::nullopt;
    }
    if (!to) {
        if (line.All || line.Match) return "--all and --match go with --to DIR";
        if (line.WithSnapshots) return "--with-snapshots goes with --to DIR and --all or --match";
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
    if (line.WithSnapshots && !line.Records.empty()) return "--with-snapshots goes with --all or --match";
    if (line.Match) {
        std::size_t characters = 0;
        for (std::size_t at = 0; at < line.Match->size(); ++characters) NextCharacter(*line.Match, at);
        if (characters > TGlob::MaxCharacters)
            return "--match takes a pattern of at most " + std::to_string(TGlob::MaxCharacters) + " characters";
    }
    return std::nullopt;
}

}  // namespace deruzera::cli
