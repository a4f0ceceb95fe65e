// What the companion reads through the source layer (containers, partition
// tables, shadow copies, BitLocker, rescued images): `list`, and the device
// of the chosen volume for scan and recover. Built where the libyal
// libraries are.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Arguments.h"
#include "Output.h"
#include "volume/Device.h"

namespace deruzera::cli {

// deruzera-cli list; returns the exit code.
int ListVolumes(const TCommandLine& line);

// Opens the volume `line` chooses of its SOURCE, for ScanDrive and the
// recoveries: the source's notes go to `log` as it opens; a source that
// gives no volume ends as a failure whose lines its layer made.
class TSourceOpener {
public:
    TSourceOpener(const TCommandLine& line, TStderrLog& log);
    TDeviceOpener Opener();
    // After a failed open that needs a volume chosen: the source's volumes
    // written as `list` writes them; false where that was not the failure.
    bool ListVolumesNeeded();
    // Where the device last opened begins on the source: the chosen
    // volume's start, 0 for the whole disk.
    std::int64_t Origin() const;
    // An unusable option (a password file that can't be read): the usage
    // error, before anything is opened.
    const std::optional<std::string>& UsageError() const { return usageError_; }

private:
    struct TState;
    std::shared_ptr<TState> state_;
    std::optional<std::string> usageError_;
};

}  // namespace deruzera::cli
