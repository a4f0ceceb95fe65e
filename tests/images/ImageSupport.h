// What the end-to-end tests on real images share: shell calls to the
// builder and The Sleuth Kit, image files built once per plan, hashes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/Manifest.h"

namespace image_testing {

namespace fs = std::filesystem;
using Entry = deruzera::TManifestRow;

struct Image {
    fs::path file;
    std::vector<Entry> manifest;
    std::string sha;  // of the whole image as built
};

// Runs a shell command and gives its standard output.
std::string Shell(const std::string& command);
// Quotes a word for the shell.
std::string Quote(const std::string& s);
// The SHA-256 of a file's bytes.
std::string FileSha(const fs::path& path);
// Builds the image of `plan` once: every test process of the suite shares it
// through the build tree, keyed by the plan's text.
Image Build(const std::string& name, const std::string& plan);
// "C:\A\B\" for "/A/B/name".
std::string WindowsDir(const std::string& path);
std::string BaseName(const std::string& path);
// The manifest's entry for `path`, or null.
const Entry* Find(const std::vector<Entry>& manifest, const std::string& path);

}  // namespace image_testing
