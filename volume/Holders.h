// Who holds the clusters of overwritten deleted files now: where the files
// and folders in use keep their clusters, noted as the scan passes them, and
// the names of the files among them. Part of the scan.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Attributes.h"
#include "Layout.h"
#include "Records.h"
#include "Runs.h"

namespace deruzera {

// Where the files and folders in use keep their clusters, and the names of
// the files among them (as stored, UTF-16: made text only for the few named
// as holders of an overwritten file's clusters). In record order.
struct TLiveFiles {
    struct TExtent {
        std::int64_t Lcn, Length, Owner;
    };
    struct TName {
        std::int64_t Record, Parent;
        std::size_t Offset;
        std::size_t Length;
    };
    std::vector<TExtent> Extents;
    std::vector<TName> Names;
    std::vector<std::uint8_t> NameBytes;

    void Note(const TRecordView& view, std::int64_t owner, TBytes name, const TVolume& volume);
    void Append(const TLiveFiles& other) {
        Extents.insert(Extents.end(), other.Extents.begin(), other.Extents.end());
        for (TName n : other.Names) {
            n.Offset += NameBytes.size();
            Names.push_back(n);
        }
        NameBytes.insert(NameBytes.end(), other.NameBytes.begin(), other.NameBytes.end());
    }
    // Room for about `files` files, so that growing doesn't copy what is held.
    void Reserve(std::size_t files) {
        Extents.reserve(files);
        Names.reserve(files);
        NameBytes.reserve(files * 32);
    }
    void clear() {
        Extents.clear();
        Names.clear();
        NameBytes.clear();
    }
};

// Names, for each overwritten file of `overwritten` (its runs by record),
// the first few live files and folders by path that hold its clusters now,
// into `holders`. Sorts `live`'s extents.
void NameHolders(TLiveFiles& live, const std::map<std::int64_t, std::vector<TVcnRun>>& overwritten,
                 const TDirectoryTable& directories, const std::string& drive, TOverwriters& holders);

}  // namespace deruzera
