// deruzera-cli: the deleted-file scan and the recovery without a window.
//
//   deruzera-cli list [--json] SOURCE          (ListVolumes.cpp)
//   deruzera-cli scan [--json] [--drive X:] SOURCE
//   deruzera-cli recover [--drive X:] SOURCE RECORD OUTPUT
//   deruzera-cli recover [--drive X:] [--allow-same-device] SOURCE --to DIR
//                        (--all | --match GLOB | RECORD...)
//
// Log lines go to stderr exactly as the window's log shows them; found files
// and recovered files go to stdout. Exit 0 on success, 1 on failure, 2 on a
// usage error.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#if DERUZERA_SOURCES
#include "Sources.h"
#endif
#include "platform/Locale.h"
#include "platform/Terminal.h"
#include "volume/Batch.h"

using namespace deruzera;

namespace {

int Run(int argc, char** argv) {
    platform::InitLocale();
    cli::TCommandLine line;
    if (const auto error = cli::ParseArguments(std::vector<std::string>(argv + 1, argv + argc), line)) {
        std::fprintf(stderr, "deruzera-cli: %s\n%s", error->c_str(), cli::Usage);
        return 2;
    }
    switch (line.Command) {
    case cli::TCommand::List:
#if DERUZERA_SOURCES
        return cli::ListVolumes(line);
#else
        std::fputs("deruzera-cli: list is not built here: it needs the libyal libraries\n", stderr);
        return 2;
#endif
    case cli::TCommand::Scan: return cli::Scan(line);
    case cli::TCommand::Recover: return cli::Recover(line);
    case cli::TCommand::RecoverMany: return cli::RecoverMany(line);
    case cli::TCommand::Help: break;
    }
    std::fputs(cli::Usage, stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    platform::PrepareStandardStreams();
    platform::TArguments arguments(argc, argv);
    // What the reader can't handle itself ends the run with a line, never
    // with an abort.
    try {
        return Run(arguments.Count(), arguments.Values());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s\n", RecoveryStoppedLine(true).Text.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s (%s)\n", RecoveryStoppedLine(false).Text.c_str(), e.what());
    }
    return 1;
}
