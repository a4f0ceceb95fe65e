// The walk of the scan over the prepared records in order: the files found,
// the directories seen, the extension records kept for later, and the files
// held back until the walk has passed what their paths need. Part of the
// scan.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <queue>
#include <span>
#include <string_view>
#include <vector>

#include "Bitmap.h"
#include "Holders.h"
#include "MftReader.h"
#include "Records.h"
#include "Runs.h"
#include "Scan.h"
#include "Volume.h"

namespace deruzera {

// The attributes of an extension record that a base record may need later:
// its names and unnamed $DATA extents, with its base reference.
struct TStashed {
    std::uint64_t Base = 0;
    TDynamicCharArray Attributes;  // ends with an end marker
};

// One walk of the MFT: the files found, the directories seen, the files in
// use and where their clusters lie, and the files held back until the walk
// has passed what they need.
class TWalk {
public:
    // A walk of `volume` that fills its directory table and holders, counts
    // into `outcome`, and hands files to `sink`; states from `bitmap` where
    // one is given. `options` (which outlive the walk) say whether files in
    // use are listed, which files are kept and where the live volume's
    // records are noted.
    TWalk(TNtfsVolume& volume, TScanOutcome& outcome, TScanSink& sink, TClusterBitmap* bitmap,
          const TScanOptions* options = nullptr)
        : ntfs_(volume), device_(volume.Device()), volume_(volume.Geometry()), directories_(volume.Directories()),
          outcome_(outcome), sink_(sink), bitmap_(bitmap), options_(options),
          listInUse_(options != nullptr && options->FilesInUse) {}

    void Record(std::span<std::uint8_t> record, const TPrepared& prepared, std::int64_t n);
    // The clusters of the files in use among the records walked next; about
    // `files` files will come.
    void Live(const TLiveFiles& live) { live_.Append(live); }
    void ExpectLive(std::size_t files) { live_.Reserve(files); }
    // Hands the files whose paths are complete at `position` to the sink.
    void Deliver(std::int64_t position);
    // The end of the walk: files with attribute lists put together, the
    // holders of overwritten clusters named, everything handed over.
    void Finish();

private:
    void ListFile(TBytes record, const TPrepared& prepared, std::int64_t n);
    void Hold(const TFoundFiles& found, std::string_view name, const TFoundExtras* extras, std::int64_t blockedAt);
    void Found(const TFoundFiles& found, std::string_view name, const TDataStream& stream, TFoundExtras extras);
    // The first record at or past `position` that the path of the file or
    // of one of its further names still waits for; -1 where none does.
    std::int64_t Blocked(const TFoundFiles& file, const TFoundExtras* extras, std::int64_t position);
    // The state and unread bytes of a found file, and whether it is kept
    // (and so counted and noted).
    bool Place(TFoundFiles& found, const TDataStream& stream);
    void Stash(TBytes record, std::int64_t n, bool inUse);
    void AssembleListedFiles();
    void Directory(TBytes record, const TPrepared& prepared, std::int64_t n);
    TDynamicCharArray Fetch(std::int64_t record, std::int64_t base, std::uint16_t sequence) const;

    TNtfsVolume& ntfs_;
    TDevice& device_;
    const TVolume& volume_;
    TDirectoryTable& directories_;
    TScanOutcome& outcome_;
    TScanSink& sink_;
    TClusterBitmap* bitmap_;
    const TScanOptions* options_;
    const bool listInUse_;
    TFoundFileList batch_;
    // Held back: the record whose walk completes the file, and the file.
    struct THeld {
        std::int64_t BlockedAt;
        std::size_t Index;
        bool operator>(const THeld& other) const { return BlockedAt > other.BlockedAt; }
    };
    std::priority_queue<THeld, std::vector<THeld>, std::greater<>> blocked_;
    TFoundFileList held_;
    TLiveFiles live_;
    // The runs of overwritten files, for naming who holds them.
    std::map<std::int64_t, std::vector<TVcnRun>> overwritten_;
    // Base records with attribute lists, put together at the end.
    struct TListed {
        std::int64_t Record;
        TDynamicCharArray Bytes;
    };
    std::vector<TListed> listed_;
    std::map<std::int64_t, TStashed> stash_;
};

}  // namespace deruzera
