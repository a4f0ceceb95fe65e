#include "ImageSupport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "tools/Sha256.h"

namespace image_testing {

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string FileSha(const fs::path& path) { return deruzera::Sha256OfFile(path.string()); }

// Builds the image of `plan` once: every test process of the suite shares it
// through the build tree, keyed by the plan's text.
Image Build(const std::string& name, const std::string& plan) {
    const fs::path dir = fs::path(DERUZERA_IMAGE_DIR);
    fs::create_directories(dir);
    const std::string key = name + "-" + std::to_string(std::hash<std::string>{}(plan));
    Image image;
    image.file = dir / (key + ".img");
    const fs::path manifestFile = dir / (key + ".tsv");
    // Test processes side by side: one builds while the others wait, and all
    // read the same image (mkntfs gives each build a serial of its own).
    const int lock = ::open((dir / (key + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    if (!fs::exists(manifestFile) || !fs::exists(image.file)) {
        const std::string part = "." + std::to_string(::getpid());
        const fs::path planFile = dir / (key + part + ".plan");
        std::ofstream(planFile) << plan;
        const std::string log = Shell(std::string(DERUZERA_MKIMAGE) + " " + Quote(image.file.string() + part) + " " +
                                      Quote(planFile) + " " + Quote(manifestFile.string() + part) + " 2>&1");
        EXPECT_TRUE(fs::exists(manifestFile.string() + part)) << log;
        fs::rename(image.file.string() + part, image.file);
        fs::rename(manifestFile.string() + part, manifestFile);
        fs::remove(planFile);
    }
    if (lock >= 0) ::close(lock);
    image.manifest = deruzera::ReadManifest(manifestFile);
    EXPECT_FALSE(image.manifest.empty()) << manifestFile;
    image.sha = FileSha(image.file);
    return image;
}

// "C:\A\B\" for "/A/B/name".
std::string WindowsDir(const std::string& path) {
    std::string dir = "C:" + path.substr(0, path.rfind('/') + 1);
    for (char& c : dir)
        if (c == '/') c = '\\';
    return dir;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

const Entry* Find(const std::vector<Entry>& manifest, const std::string& path) {
    for (const Entry& e : manifest)
        if (e.Path == path) return &e;
    return nullptr;
}

}  // namespace image_testing
