// The deleted-file scan: one walk of the MFT that reports every deleted file
// with its path, size, times and whether its clusters still hold it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Device.h"
#include "Log.h"
#include "Records.h"

namespace deruzera {

// The files found since the last batch, with what their paths need.
struct TFoundBatch {
    const TFoundFileList& Files;
    const TDirectoryTable& Directories;
    const TVolume& Volume;
    const TOverwriters& Overwriters;
    // The directory path of a file of the batch, followed by "\".
    std::string FilePath(const TFoundFiles& file) const;
};

// The caller's side of a scan. Everything is called on the scan's thread,
// in order; a window carries it to its own thread.
class TScanSink : public TLogSink {
public:
    // The walk begins over `recordCount` records; results of earlier scans
    // are replaced from here on.
    virtual void Walking(std::int64_t /*recordCount*/) {}
    // At every 128th record N: N + 1 and the files found so far.
    virtual void Progress(std::int64_t /*position*/, std::int64_t /*found*/) {}
    // Files whose paths are complete, in batches.
    virtual void Found(const TFoundBatch& /*batch*/) {}
};

struct TScanOptions {
    // Reads the cluster bitmap for each found file's state and notes where
    // the files in use keep their clusters, to name who holds overwritten
    // ones. Without it states stay unknown and the walk parses only what
    // listing needs.
    bool Recoverability = true;
};

// Walks the MFT of the volume on `device` and reports every deleted file
// through `sink`. Every way it ends is returned and its lines go to `sink`;
// nothing escapes it.
TScanOutcome ScanDrive(TDevice& device, const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort,
                       const TScanOptions& options = {});

// How a front end opens the device of a drive string. On failure, `problem`
// may say why in a line of its own.
using TDeviceOpener = std::function<std::shared_ptr<TDevice>(const std::string& drive, std::string& problem)>;

// The whole scan of a drive as the window and the companion run it: the
// drive check, the open through `open`, then the scan above. The device
// comes back in the outcome.
TScanOutcome ScanDrive(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                       const std::atomic<bool>& abort, const TScanOptions& options = {});

}  // namespace deruzera
