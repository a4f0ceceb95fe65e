// A scan sink for the fuzz targets: it takes every name and path a scan
// hands over and checks what a front end relies on: progress in order, each
// file once, names and paths in UTF-8, paths from the drive or "*", and a
// count of files that matches the outcome.
#pragma once

#include <atomic>
#include <set>
#include <vector>

#include "FuzzSupport.h"

namespace fuzz {

struct CheckingSink : deruzera::TScanSink {
    // Where set, the scan is aborted at that progress report.
    std::atomic<bool> abort{false};
    int abortAt = -1;
    int reports = 0;

    std::vector<deruzera::TLogLine> lines;
    std::int64_t recordCount = -1;
    std::int64_t position = 0;
    std::set<std::int64_t> records;
    struct FoundFile {
        std::int64_t Record;
        std::uint16_t Sequence;
    };
    std::vector<FoundFile> found;

    void Line(const deruzera::TLogLine& line) override {
        FUZZ_CHECK(!line.Text.empty());
        FUZZ_CHECK(IsUtf8(line.Text), line.Text);
        lines.push_back(line);
    }
    void Walking(std::int64_t count) override {
        FUZZ_CHECK(recordCount == -1 && count >= 0);
        recordCount = count;
    }
    void Progress(std::int64_t at, std::int64_t foundSoFar) override {
        FUZZ_CHECK(at > position && at <= recordCount, std::to_string(at));
        FUZZ_CHECK(foundSoFar >= static_cast<std::int64_t>(found.size()));
        position = at;
        if (++reports == abortAt) abort = true;
    }
    void Found(const deruzera::TFoundBatch& batch) override {
        for (const deruzera::TFoundFiles& file : batch.Files) {
            FUZZ_CHECK(file.Record >= deruzera::FirstUserRecord && file.Record < recordCount);
            FUZZ_CHECK(records.insert(file.Record).second, "found twice");
            FUZZ_CHECK(file.FileSize >= 0);
            const std::string_view name = batch.Files.Name(file);
            FUZZ_CHECK(IsUtf8(name));
            const std::string path = batch.FilePath(file);
            FUZZ_CHECK(IsUtf8(path), path);
            FUZZ_CHECK(path.size() >= 2 && path.back() == '\\', path);
            FUZZ_CHECK(path.rfind("C:", 0) == 0 || path.rfind("*", 0) == 0, path);
            found.push_back({file.Record, file.Sequence});
        }
    }

    // An abort asked for by the image: where the boot sector's OEM name has
    // no blank in its 5th byte (no reader looks past "NTFS"), the scan is
    // aborted at the progress report that byte counts.
    void AbortFrom(const std::uint8_t* data, std::size_t size) {
        if (size > 7 && data[7] != ' ') abortAt = data[7];
    }

    // The outcome agrees with what the sink was given.
    void CheckEnd(const deruzera::TScanOutcome& outcome) const {
        FUZZ_CHECK(outcome.End != deruzera::TScanEnd::Aborted || abort);
        FUZZ_CHECK(!lines.empty());
        FUZZ_CHECK((lines.back().Colour == deruzera::clGreen) == (outcome.End == deruzera::TScanEnd::Completed));
        FUZZ_CHECK(outcome.Walked == (recordCount >= 0));
        FUZZ_CHECK(outcome.FoundCount == static_cast<std::int64_t>(found.size()),
                   std::to_string(outcome.FoundCount) + " != " + std::to_string(found.size()));
    }
};

}  // namespace fuzz
