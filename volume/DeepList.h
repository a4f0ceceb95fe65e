// The deep scan's listing: the directory tree of each volume put together
// from its records, the files it lists with their states, and the plan that
// recovers one of them. Part of the deep scan.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DeepModel.h"
#include "Recover.h"
#include "Scan.h"

namespace deruzera::deep {

// The key of record `number` of group `group` in the directory table the
// listing fills: one table holds every group's folders.
inline std::int64_t TableKey(std::size_t group, std::int64_t number) {
    return static_cast<std::int64_t>(group << 48) | (number & static_cast<std::int64_t>(RecordNumberMask));
}
// The folder of lost files of group `group`, as a key of the table: a number
// no record has (the 48-bit field all ones).
inline std::int64_t LostKey(std::size_t group) { return TableKey(group, static_cast<std::int64_t>(RecordNumberMask)); }
// The root of group `group`: the drive's root for the first.
inline std::int64_t RootKey(std::size_t group) { return group == 0 ? RootRecord : TableKey(group, RootRecord); }

// One file listed, by where its record lies.
struct TDeepItem {
    std::size_t Group = 0;
    std::size_t Record = 0;  // into TFinds::Records
};

// What one group's listing hands over: the files, their places and items,
// by index.
struct TDeepBatch {
    TFoundFileList Files;
    std::vector<TFoundPlace> Places;
    std::vector<TDeepItem> Items;
};

// Opens the volume that lives at each group's place (quietly), or the
// group's own bitmap where none does. `device` is the one the pass read.
void OpenGroups(const TFinds& finds, std::vector<TGroup>& groups, const std::shared_ptr<TDevice>& device,
                const std::string& drive);

// Fills `table` with the folders of every group (below the drive's root for
// the first, below a folder of its own for each later one; folders whose
// parents are gone below the group's folder of lost files), then lists the
// files of each group: the deleted ones, and those in use that no volume
// opening normally holds (formatted over, its map destroyed). Each group's
// files go to `deliver` in order of their record numbers; `origin` is where
// the device begins on the source. Returns how many were listed.
std::uint64_t ListGroups(const TFinds& finds, const std::vector<TGroup>& groups, TDevice& device,
                         const std::string& drive, std::int64_t origin, TDirectoryTable& table,
                         const std::function<void(TDeepBatch&)>& deliver);

// The plan that recovers `item` (listed as `found`, at `path`): its record
// read again where it was found and still the same, its content as extents
// of `device` (the one the pass read).
TRecoveryPlan PlanDeepFile(const TFinds& finds, const std::vector<TGroup>& groups, const TDeepItem& item,
                           const std::shared_ptr<TDevice>& device, const std::string& drive,
                           const TFoundFiles& found, const std::string& name, const std::string& path);

}  // namespace deruzera::deep
