// Shared test set-up: drive strings opened as bytes in memory, and a scan
// sink that keeps the lines, the reports and the files it is given.
#pragma once

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "volume/Device.h"
#include "volume/Log.h"
#include "volume/Records.h"
#include "volume/Recover.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

namespace testing_support {

// The whole content of a file.
inline std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The modification time of a file in NTFS units (100 ns since 1601), read
// from the system to its full precision; -1 where it can't be read.
inline std::int64_t ModifiedTicks(const std::filesystem::path& p) {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<std::int64_t>(std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 |
                                     data.ftLastWriteTime.dwLowDateTime);
#else
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return -1;
    return (static_cast<std::int64_t>(st.st_mtim.tv_sec) + 11644473600) * 10000000 + st.st_mtim.tv_nsec / 100;
#endif
}

// Removes the tree at `root`, deeper than std::filesystem removes (its
// paths stop at PATH_MAX, and on Windows at MAX_PATH).
inline void RemoveTree(const std::filesystem::path& root) {
#ifdef _WIN32
    struct TRemove {
        static void At(const std::wstring& path) {
            WIN32_FIND_DATAW found;
            const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
            if (search != INVALID_HANDLE_VALUE) {
                do {
                    const std::wstring name = found.cFileName;
                    if (name == L"." || name == L"..") continue;
                    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) At(path + L"\\" + name);
                    else DeleteFileW((path + L"\\" + name).c_str());
                } while (FindNextFileW(search, &found));
                FindClose(search);
            }
            EXPECT_TRUE(RemoveDirectoryW(path.c_str())) << GetLastError();
        }
    };
    TRemove::At(L"\\\\?\\" + std::filesystem::absolute(root).make_preferred().wstring());
#else
    EXPECT_EQ(std::system(("rm -rf '" + root.string() + "'").c_str()), 0);
#endif
}

using Lines = std::vector<std::pair<std::string, std::uint32_t>>;

// The volume on a device, opened quietly; null (and a test failure) where
// it doesn't open.
inline std::shared_ptr<deruzera::TNtfsVolume> OpenVolume(std::shared_ptr<deruzera::TDevice> device) {
    deruzera::TOpenFailure failure;
    auto volume = deruzera::TNtfsVolume::Open(std::move(device), "C:", nullptr, failure);
    EXPECT_TRUE(volume) << failure.What;
    return volume;
}
inline std::shared_ptr<deruzera::TNtfsVolume> OpenVolume(deruzera::TDevice& device) {
    return OpenVolume(std::shared_ptr<deruzera::TDevice>(std::shared_ptr<deruzera::TDevice>{}, &device));
}

// Keeps everything a scan hands over: its lines, its reports, and the files
// with their names and paths.
struct RecordingSink : deruzera::TScanSink {
    Lines lines;
    std::vector<std::string> reports;
    deruzera::TFoundFileList files;
    std::map<std::int64_t, std::string> paths;  // by record number
    std::function<void()> onProgress;

    void Line(const deruzera::TLogLine& line) override { lines.emplace_back(line.Text, line.Colour); }
    void Walking(std::int64_t count) override { reports.push_back("walking " + std::to_string(count)); }
    void Progress(std::int64_t position, std::int64_t found) override {
        reports.push_back("progress " + std::to_string(position) + " found " + std::to_string(found));
        if (onProgress) onProgress();
    }
    void Found(const deruzera::TFoundBatch& batch) override {
        for (const deruzera::TFoundFiles& f : batch.Files) {
            files.Add(f, batch.Files.Name(f));
            paths[f.Record] = batch.FilePath(f);
        }
    }
    std::string Name(std::size_t i) const { return files.NameText(files[i]); }
    std::string Path(std::size_t i) const { return paths.at(files[i].Record); }
};

// The lines a recovery writes, and the answer it gets from the "dialog".
struct RecordingRecovery : deruzera::TRecoveryHost {
    Lines lines;
    std::optional<std::string> answer;
    std::string proposed;
    int asked = 0;
    void Line(const deruzera::TLogLine& line) override { lines.emplace_back(line.Text, line.Colour); }
    std::optional<std::string> AskTargetPath(const std::string& name, const deruzera::TRecoveryPlan&) override {
        ++asked;
        proposed = name;
        return answer;
    }
};

// A device over memory that counts and records its reads, from any thread.
class CountingDevice final : public deruzera::TDevice {
public:
    explicit CountingDevice(std::string bytes) : inner_(deruzera::MemoryDevice(std::move(bytes))) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        {
            std::lock_guard lock(mutex_);
            reads.emplace_back(offset, count);
        }
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }
    // The reads so far, once no scan or recovery reads any more.
    std::vector<std::pair<std::int64_t, std::size_t>> reads;

private:
    std::mutex mutex_;
    deruzera::THandle inner_;
};

class VolumeTest : public ::testing::Test {
protected:
    std::map<std::string, std::string> drives;  // drive string -> image bytes
    int opens = 0;

    // Opens drive strings as the front ends would, from `drives`.
    deruzera::TDeviceOpener Opener() {
        return [this](const std::string& drive) {
            deruzera::TDeviceAccess access;
            const auto it = drives.find(drive);
            if (it == drives.end()) {
                access.Failure = deruzera::TAccessFailure::Unmapped;
                return access;
            }
            ++opens;
            access.Device = std::make_shared<CountingDevice>(it->second);
            return access;
        };
    }
    deruzera::TScanOutcome Scan(const std::string& drive, RecordingSink& sink, bool abort = false) {
        const std::atomic<bool> stop{abort};
        return deruzera::ScanDrive(drive, Opener(), sink, stop);
    }
};

}  // namespace testing_support
