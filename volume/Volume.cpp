// The open volume: its load, the bitmap read on first use, and directory
// paths from the scan's table or, without a scan, from the volume.
#include "Volume.h"

#include "Attributes.h"
#include "Fixup.h"
#include "Mft.h"
#include "Runs.h"

namespace deruzera {

std::shared_ptr<TNtfsVolume> TNtfsVolume::Open(std::shared_ptr<TDevice> device, const std::string& drive,
                                               TLogSink* log, TOpenFailure& failure) {
    failure = TOpenFailure{};
    std::shared_ptr<TNtfsVolume> volume(new TNtfsVolume);
    volume->device_ = std::move(device);
    failure.End = LoadVolume(*volume->device_, drive, volume->geometry_, log, failure, &volume->systemRecords_);
    if (failure.End != TScanEnd::Completed) return nullptr;
    return volume;
}

std::shared_ptr<TNtfsVolume> TNtfsVolume::Open(TDevice& device, const std::string& drive, TLogSink* log,
                                               TOpenFailure& failure) {
    // Shares no ownership: the caller keeps the device.
    return Open(std::shared_ptr<TDevice>(std::shared_ptr<TDevice>{}, &device), drive, log, failure);
}

TNtfsVolume::TNtfsVolume(std::shared_ptr<TDevice> device, TVolume geometry)
    : device_(std::move(device)), geometry_(std::move(geometry)) {}

TClusterBitmap* TNtfsVolume::Bitmap() {
    std::call_once(bitmapOnce_, [this] {
        if (!device_) return;
        auto bitmap = std::make_unique<TClusterBitmap>();
        const std::size_t recordSize = geometry_.FileRecordSize;
        const bool opened = systemRecords_.size() >= (BitmapRecord + 1) * recordSize
                                ? bitmap->Open(*device_, geometry_, TBytes(systemRecords_).subspan(BitmapRecord * recordSize, recordSize))
                                : bitmap->Open(*device_, geometry_);
        if (opened) bitmap_ = std::move(bitmap);
    });
    return bitmap_.get();
}

std::optional<std::pair<std::string, std::int64_t>> TNtfsVolume::ReadDirectory(std::int64_t record) {
    TDynamicCharArray bytes;
    if (!device_) return std::nullopt;
    if (record >= geometry_.RecordCount && geometry_.RecordCount > 0) return std::nullopt;
    if (ReadFileRecord(*device_, geometry_, record, bytes) != 0) return std::nullopt;
    try {
        FixupRecord(bytes);
    } catch (const ERecordError&) {
        return std::nullopt;
    }
    // Only a directory, in use or deleted, has a path: 2 or 3, nothing more.
    const std::uint16_t flags = ReadU16(bytes, RecordHeader::Flags);
    if (flags != RecordIsDirectory && flags != (RecordIsDirectory | RecordInUse)) return std::nullopt;
    TDynamicCharArray holder;
    const TDynamicCharArray list = ReadAttributeList(bytes, nullptr, geometry_);
    const TBytes name = NameOfRecord(bytes, list,
                                     FetchFromDevice(*device_, geometry_, record, ReadU16(bytes, RecordHeader::Sequence)),
                                     holder);
    if (name.empty()) return std::nullopt;
    return std::make_pair(FileNameOf(name), RecordNumberOf(ParentReferenceOf(name)));
}

}  // namespace deruzera
