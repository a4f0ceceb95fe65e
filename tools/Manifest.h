// Reading the manifest deruzera-mkimage writes: one row per file or folder
// it created, with its state, MFT record, parent, size, SHA-256 and path.
#pragma once

#include <string>
#include <vector>

namespace deruzera {

struct TManifestRow {
    std::string State;   // live, deleted or reused
    std::string Kind;    // file or dir
    long long Record = 0, Parent = 0, Size = 0;
    std::string Sha256;  // "-" for folders
    std::string Path;    // "/a/b/name"
};

// The rows of the manifest at `path`; empty when it can't be read.
std::vector<TManifestRow> ReadManifest(const std::string& path);

}  // namespace deruzera
