// Shared test set-up: a drive string mapped to bytes in memory, and the log
// lines written while a test runs.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "volume/Log.h"
#include "volume/Salvane.h"

namespace testing_support {

using Lines = std::vector<std::pair<std::string, std::uint32_t>>;

inline Lines LogSoFar() {
    Lines out;
    for (const auto& l : deruzera::LogLines()) out.emplace_back(l.Text, l.Colour);
    return out;
}

class VolumeTest : public ::testing::Test {
protected:
    std::map<std::string, std::string> drives;  // drive string -> image bytes
    int opens = 0;

    void SetUp() override {
        deruzera::ClearLog();
        deruzera::Volume = deruzera::TVolume{};
        deruzera::PathCache.clear();
        deruzera::SetVolumeOpener([this](const std::string& drive) -> deruzera::THandle {
            const auto it = drives.find(drive);
            if (it == drives.end()) return nullptr;
            ++opens;
            return deruzera::MemoryDevice(it->second);
        });
    }
    void TearDown() override { deruzera::SetVolumeOpener(nullptr); }
};

}  // namespace testing_support
