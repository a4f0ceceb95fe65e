// What a deleted file holds beside one name and one data stream: named
// streams (a download's Zone.Identifier) and further names (hard links),
// listed with the file and written beside it; a folder whose name lies in
// an extension record; and the body file of a scan against The Sleuth Kit's.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ImageSupport.h"
#include "platform/DriveMap.h"
#include "platform/Target.h"
#include "volume/Batch.h"
#include "volume/Messages.h"
#include "volume/Records.h"
#include "volume/Recover.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

using namespace deruzera;
using namespace image_testing;
namespace fs = std::filesystem;

namespace {

const char* const ZoneText = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://example.org/setup.exe\r\n";

// A download with its Zone.Identifier and a larger stream that lives in
// clusters of its own; a file with a second name in another folder, freed
// with both names in its record, as Windows frees it; a plain file.
const char* const Plan = R"(format 16M cluster=4096
text /Downloads/setup.exe MZ a small program\n
stream /Downloads/setup.exe Zone.Identifier [ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://example.org/setup.exe\r\n
file /Downloads/photo.jpg 30K seed=2
text /Docs/original.txt one record, two names\n
link /Docs/original.txt /Other/second-name.txt
text /Docs/plain.txt nothing beside it\n
delete /Downloads/setup.exe
delete /Downloads/photo.jpg
delete-in-place /Docs/original.txt
delete /Docs/plain.txt
)";

struct Collected : TScanSink {
    std::map<std::string, TFoundFiles> byName;
    std::map<std::string, TFoundExtras> extras;
    std::map<std::string, std::string> paths;
    std::map<std::string, std::vector<std::string>> linkPaths;
    void Line(const TLogLine&) override {}
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) {
            const std::string name = batch.Files.NameText(f);
            byName[name] = f;
            paths[name] = batch.FilePath(f);
            if (const TFoundExtras* e = batch.Files.Extras(f)) {
                extras[name] = *e;
                for (const TFoundLink& link : e->Links) linkPaths[name].push_back(batch.FolderPath(link.ParentRecord) + link.Name);
            }
        }
    }
};

struct Recovery : TRecoveryHost {
    std::string out;
    std::vector<TLogLine> lines;
    void Line(const TLogLine& line) override { lines.push_back(line); }
    std::optional<std::string> AskTargetPath(const std::string&, const TRecoveryPlan&) override { return out; }
};

struct BatchLines : TBatchSink {
    std::vector<TLogLine> lines;
    void Line(const TLogLine& line) override { lines.push_back(line); }
};

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The attribute id of the named $DATA `stream` of `record`, as istat lists it
// ("Type: $DATA (128-4)   Name: Zone.Identifier").
std::string StreamAttribute(const fs::path& image, std::int64_t record, const std::string& stream) {
    std::istringstream istat(Shell("istat " + Quote(image) + " " + std::to_string(record)));
    for (std::string line; std::getline(istat, line);) {
        const auto name = line.find("Name: " + stream);
        const auto type = line.find("(128-");
        if (name != std::string::npos && type != std::string::npos && type < name)
            return line.substr(type + 1, line.find(')', type) - type - 1);
    }
    return {};
}

class StreamsTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = Build("streams", Plan);
        platform::MapDrive("C:", image.file);
        outcome = ScanDrive("C:", platform::OpenMappedDrive, sink, stop);
        ASSERT_EQ(outcome.End, TScanEnd::Completed);
        work = image.file.parent_path() / ("streams-out-" + std::to_string(::getpid()));
        fs::remove_all(work);
        fs::create_directories(work);
    }
    void TearDown() override { fs::remove_all(work); }

    Image image;
    Collected sink;
    TScanOutcome outcome;
    const std::atomic<bool> stop{false};
    fs::path work;
};

}  // namespace

TEST_F(StreamsTest, StreamsAndFurtherNamesAreListedWithTheirFile) {
    ASSERT_EQ(sink.byName.count("setup.exe"), 1u);
    const TFoundExtras& download = sink.extras["setup.exe"];
    ASSERT_EQ(download.Streams.size(), 1u);
    EXPECT_EQ(download.Streams[0].Name, "Zone.Identifier");
    EXPECT_EQ(download.Streams[0].Size, std::string(ZoneText).size());
    // Small and resident: its text is kept with the list for the details.
    EXPECT_EQ(download.Streams[0].Bytes, ZoneText);
    EXPECT_TRUE(download.Links.empty());

    // One record with two names: listed once, the other name with it.
    ASSERT_EQ(sink.byName.count("original.txt") + sink.byName.count("second-name.txt"), 1u);
    const std::string listed = sink.byName.count("original.txt") ? "original.txt" : "second-name.txt";
    const std::string other = listed == "original.txt" ? "C:\\Other\\second-name.txt" : "C:\\Docs\\original.txt";
    EXPECT_EQ(sink.linkPaths[listed], std::vector<std::string>{other});
    EXPECT_TRUE(sink.extras[listed].Streams.empty());

    // A file with neither has nothing more, and no mark of it.
    ASSERT_EQ(sink.byName.count("plain.txt"), 1u);
    EXPECT_EQ(sink.extras.count("plain.txt"), 0u);
    EXPECT_EQ(sink.byName["plain.txt"].Flags & FoundExtras, 0);
    EXPECT_EQ(sink.byName["photo.jpg"].Flags & FoundExtras, 0);
}

TEST_F(StreamsTest, ARecoveryWritesTheStreamsBesideTheFileAndNeverOverThem) {
    const TFoundFiles& download = sink.byName["setup.exe"];
    const std::string attribute = StreamAttribute(image.file, download.Record, "Zone.Identifier");
    ASSERT_FALSE(attribute.empty()) << "istat names no Zone.Identifier";
    const std::string tsk = Shell("icat " + Quote(image.file) + " " + std::to_string(download.Record) + "-" + attribute);

    Recovery first;
    first.out = (work / "setup.exe").string();
    const TRecoveryOutcome one = RecoverFile(outcome.Volume.get(), download.Record, download.Sequence,
                                             platform::LocalFileSystem(), first);
    EXPECT_EQ(one.End, TRecoveryEnd::Recovered);
    ASSERT_EQ(one.Streams.size(), 1u);
    EXPECT_EQ(one.Streams[0].Write.End, TWriteEnd::Written);
    EXPECT_EQ(Read(work / "setup.exe_Zone.Identifier"), tsk);
    EXPECT_EQ(Read(work / "setup.exe_Zone.Identifier"), ZoneText);
    // The lines of one file come first, then one for the stream.
    ASSERT_GE(first.lines.size(), 2u);
    EXPECT_EQ(first.lines[first.lines.size() - 2].Text, "File recovered");
    EXPECT_EQ(first.lines.back().Colour, clBlue);

    // Recovered to the same file again: the file is replaced as asked, the
    // stream written there already stays, and the new one is numbered as
    // any name is ("a (1).txt").
    Recovery second;
    second.out = first.out;
    const TRecoveryOutcome again = RecoverFile(outcome.Volume.get(), download.Record, download.Sequence,
                                               platform::LocalFileSystem(), second);
    ASSERT_EQ(again.Streams.size(), 1u);
    EXPECT_EQ(again.Streams[0].Target, NumberedName("setup.exe_Zone.Identifier", 1));
    EXPECT_EQ(Read(work / again.Streams[0].Target), ZoneText);
    EXPECT_EQ(Read(work / "setup.exe_Zone.Identifier"), ZoneText);
}

TEST_F(StreamsTest, ABatchWritesStreamsBesideTheirFilesAndNamesNumberedCopies) {
    std::vector<TBatchItem> items;
    for (const auto& [name, f] : sink.byName) items.push_back({f.Record, f.Sequence, f.FileSize, f.State});
    BatchLines lines;
    const TBatchOutcome first =
        RecoverBatch(*outcome.Volume, items, work.string(), platform::LocalFileSystem(), lines, stop);
    EXPECT_EQ(first.Written, items.size());
    EXPECT_EQ(first.Streams, 1u);
    EXPECT_EQ(Read(work / "Downloads" / "setup.exe_Zone.Identifier"), ZoneText);
    EXPECT_EQ(lines.lines.back().Colour, clGreen);

    // Again into the same folder: nothing is replaced; each file and its
    // stream are numbered, and a line names each numbered file.
    BatchLines again;
    const TBatchOutcome second =
        RecoverBatch(*outcome.Volume, items, work.string(), platform::LocalFileSystem(), again, stop);
    EXPECT_EQ(second.Written, items.size());
    EXPECT_EQ(Read(work / "Downloads" / StreamFileName(NumberedName("setup.exe", 1), "Zone.Identifier")), ZoneText);
    EXPECT_EQ(Read(work / "Downloads" / "setup.exe_Zone.Identifier"), ZoneText);
    std::size_t numbered = 0;
    for (const TLogLine& line : again.lines)
        if (line.Text.find("its name was taken in the folder; written as ") != std::string::npos) ++numbered;
    EXPECT_EQ(numbered, items.size());
}

TEST_F(StreamsTest, TheCompanionGivesStreamsAndNamesInJsonAndItsOtherRowsStayAsTheyWere) {
    const std::string json = Shell(std::string(DERUZERA_CLI) + " scan --json " + Quote(image.file) + " 2>/dev/null");
    std::map<std::string, std::string> rows;
    std::istringstream in(json);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("\"name\":\"");
        rows[line.substr(at + 8, line.find('"', at + 8) - at - 8)] = line;
    }
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_NE(rows["setup.exe"].find(",\"streams\":[{\"name\":\"Zone.Identifier\",\"size\":" +
                                     std::to_string(std::string(ZoneText).size()) + "}]}"),
              std::string::npos);
    const std::string listed = rows.count("original.txt") ? "original.txt" : "second-name.txt";
    EXPECT_NE(rows[listed].find(",\"links\":[{\"path\":"), std::string::npos);
    // A row without either ends where it always did.
    const std::string end = ",\"encrypted\":false}";
    EXPECT_EQ(rows["plain.txt"].substr(rows["plain.txt"].size() - end.size()), end);
}

TEST(FolderNames, AFolderWhoseNameLiesInAnExtensionRecordGivesItsFilesTheirPath) {
    // libntfs-3g moves a folder's $FILE_NAME to an extension record once
    // named streams fill the folder's record.
    std::string plan = "format 16M cluster=4096\nmkdir /Deep/Big\ntext /Deep/Big/inside.txt the file\\n\n";
    for (int i = 0; i < 6; ++i) plan += "stream /Deep/Big s" + std::to_string(i) + " " + std::string(150, 'x') + "\n";
    plan += "text /Deep/Big/gone.txt bye\\n\ndelete /Deep/Big/gone.txt\n";
    const Image image = Build("folder-name-out", plan);
    const Entry* folder = Find(image.manifest, "/Deep/Big");
    ASSERT_NE(folder, nullptr);
    const std::string istat = Shell("istat " + Quote(image.file) + " " + std::to_string(folder->Record));
    const auto entry = istat.find("Type: 48-");
    ASSERT_NE(entry, std::string::npos) << "the folder has no attribute list:\n" << istat;
    const auto at = istat.find("MFT Entry: ", entry);
    ASSERT_NE(std::stoll(istat.substr(at + 11)), static_cast<long long>(folder->Record))
        << "the folder's name stayed in its own record";

    // The scan, and the companion's streamed rows, give the file its path.
    platform::MapDrive("C:", image.file);
    Collected sink;
    const std::atomic<bool> stop{false};
    ASSERT_EQ(ScanDrive("C:", platform::OpenMappedDrive, sink, stop).End, TScanEnd::Completed);
    EXPECT_EQ(sink.paths["gone.txt"], "C:\\Deep\\Big\\");
    const std::string json = Shell(std::string(DERUZERA_CLI) + " scan --json " + Quote(image.file) + " 2>/dev/null");
    EXPECT_NE(json.find("\"name\":\"gone.txt\",\"path\":\"C:\\\\Deep\\\\Big\\\\\""), std::string::npos) << json;
}

TEST(BodyFile, MactimeGivesTheTimesTheSleuthKitsOwnBodyFileGives) {
    // Four times set apart, so that each must land in its own column.
    const Image image = Build("bodyfile", R"(format 16M cluster=4096
text /Docs/a.txt first\n
times /Docs/a.txt 1500000000 1600000000 1650000000 1700000000
file /Docs/Deep/b.bin 20K seed=5
times /Docs/Deep/b.bin 1100000000 1200000000 1300000000 1400000000
text /c.txt in the root\n
times /c.txt 900000000 950000000 960000000 970000000
delete /Docs/a.txt
delete /Docs/Deep/b.bin
delete /c.txt
)");
    const fs::path ours = image.file.parent_path() / ("ours-" + std::to_string(::getpid()) + ".body");
    const fs::path theirs = image.file.parent_path() / ("theirs-" + std::to_string(::getpid()) + ".body");
    Shell(std::string(DERUZERA_CLI) + " scan --format bodyfile " + Quote(image.file) + " > " + Quote(ours) + " 2>/dev/null");
    Shell("fls -m C: -r -d " + Quote(image.file) + " > " + Quote(theirs));
    if (fs::file_size(theirs) == 0) GTEST_SKIP() << "fls is not installed";
    // mactime's lines as "date,size,MACB,name": the inode, mode and owner
    // columns are written apart by each tool.
    auto timeline = [](const fs::path& body) {
        std::multiset<std::string> lines;
        std::istringstream in(Shell("TZ=UTC mactime -b " + Quote(body) + " -d -y -z UTC 2>/dev/null"));
        std::string date;
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::stringstream split(line);
            for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
            if (fields.size() < 8 || fields[0] == "Date") continue;
            if (!fields[0].empty()) date = fields[0];
            // The Sleuth Kit adds lines of the $FILE_NAME times apart.
            if (fields[7].find("($FILE_NAME)") != std::string::npos) continue;
            lines.insert(date + "," + fields[1] + "," + fields[2] + "," + fields[7]);
        }
        return lines;
    };
    const std::multiset<std::string> mine = timeline(ours);
    std::multiset<std::string> tsk;
    for (const std::string& line : timeline(theirs))
        for (const char* name : {",\"C:/Docs/a.txt (deleted)\"", ",\"C:/Docs/Deep/b.bin (deleted)\"", ",\"C:/c.txt (deleted)\""})
            if (line.size() > std::strlen(name) && line.compare(line.size() - std::strlen(name), std::string::npos, name) == 0)
                tsk.insert(line);
    EXPECT_EQ(mine.size(), 12u);  // four times of three files
    EXPECT_EQ(mine, tsk);
    fs::remove(ours);
    fs::remove(theirs);
}
