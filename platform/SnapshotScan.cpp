// The scan of a drive with its snapshots: the live volume, then the shadow
// copies libvshadow finds on its device.
#include "Sources.h"

#include "volume/Messages.h"
#include "volume/Volume.h"

namespace deruzera::platform {

std::vector<TSnapshotSource> SnapshotSources(const std::shared_ptr<TDevice>& volume, TSourceFailure& failure) {
    std::vector<TSnapshotSource> sources;
    TShadowCopies copies = ListShadowCopies(volume);
    failure = std::move(copies.Failure);
    if (failure.End != TSourceEnd::Opened) return sources;
    for (std::size_t i = 0; i < copies.Created.size(); ++i) {
        TSnapshotSource source;
        source.Number = static_cast<int>(i) + 1;
        source.Created = copies.Created[i];
        source.Open = [volume, k = source.Number] {
            TDeviceAccess access;
            TOpened opened = OpenShadowCopy(volume, k);
            if (opened.Device) {
                access.Device = std::move(opened.Device);
                return access;
            }
            opened.Failure.Snapshot = k;
            access.Failure = TAccessFailure::Source;
            access.Lines = SourceFailureLines(opened.Failure);
            return access;
        };
        sources.push_back(std::move(source));
    }
    return sources;
}

bool TSnapshotsScanOutcome::Completed() const {
    if (Live.End != TScanEnd::Completed || Snapshots.End != TSourceEnd::Opened) return false;
    for (const TSnapshotScan& scan : Scans)
        if (scan.Outcome.End != TScanEnd::Completed) return false;
    return true;
}

TSnapshotsScanOutcome ScanDriveWithSnapshots(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                                             const std::atomic<bool>& abort, TScanOptions options) {
    TSnapshotsScanOutcome outcome;
    TLiveRecords live;
    options.Live = &live;
    outcome.Live = ScanDrive(drive, open, sink, abort, options);
    if (outcome.Live.End != TScanEnd::Completed || !outcome.Live.Volume) return outcome;
    const std::vector<TSnapshotSource> sources = SnapshotSources(outcome.Live.Volume->SharedDevice(), outcome.Snapshots);
    if (outcome.Snapshots.End != TSourceEnd::Opened) {
        for (const TLogLine& line : SourceFailureLines(outcome.Snapshots)) sink.Line(line);
        return outcome;
    }
    if (sources.empty()) {
        sink.Line(NoSnapshotsLine(drive));
        return outcome;
    }
    outcome.Scans = ScanSnapshots(sources, drive, live, sink, abort);
    return outcome;
}

}  // namespace deruzera::platform
