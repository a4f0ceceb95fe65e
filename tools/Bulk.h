// The "bulk" workload: a large random tree of small files, then random
// deletions, all decided by one seed.
#pragma once

#include <cstdint>

namespace deruzera::mkimage {

class TNtfsImage;

struct TBulkParams {
    std::uint64_t Seed = 0;
    std::uint64_t Files = 0;
    std::uint64_t Dirs = 0;
    unsigned MaxDepth = 1;       // levels below the bulk root directory
    double DeleteFraction = 0;   // of the files, 0..1
    std::uint64_t DeleteDirs = 0;  // whole subtrees removed at the end
    // Names as people give them: words of several scripts (ASCII, accented
    // Latin, Greek, Cyrillic, Chinese and Japanese), of varied lengths.
    bool MixedNames = false;
};

// Builds the tree under /bulk-SEED: Dirs directories, each under a random
// earlier one no deeper than MaxDepth, then Files files in random
// directories (mostly resident sizes, some of a few KiB), then deletes
// DeleteFraction of the files and DeleteDirs random subtrees. Prints a
// one-line summary with timings on stderr.
void RunBulk(TNtfsImage& image, const TBulkParams& params);

}  // namespace deruzera::mkimage
