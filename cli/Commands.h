// The companion's commands: each runs the engine for one parsed command line
// and gives the exit code (0 success, 1 refused, failed or aborted).
#pragma once

#include "Arguments.h"

namespace deruzera::cli {

int Scan(const TCommandLine& line);
int Recover(const TCommandLine& line);
int RecoverMany(const TCommandLine& line);

}  // namespace deruzera::cli
