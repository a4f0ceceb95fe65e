// The deep scan and carving from the real window, on images made by the
// builder: started from the drive list's menu, their files listed at their
// paths, and recovered through the batch with the bytes the builder wrote.
#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest/QTest>
#include <filesystem>
#include <map>
#include <sstream>
#include <set>
#include <fstream>

#include "GuiFixture.h"
#include "ResultGrid.h"
#include "ResultModel.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"

using namespace gui_testing;
namespace platform = deruzera::platform;
namespace fs = std::filesystem;

namespace {

const char* const DeepPlan = R"(format 32M cluster=4096
mkdir /Users/Ann/Docs
text /Users/Ann/Docs/a.txt first\n
file /Users/Ann/Docs/report.docx 20K seed=1
file /Photos/IMG_0001.JPG 300K seed=2
file /Photos/keep.jpg 5K seed=3
file /top.bin 50K seed=4
delete /Users/Ann/Docs/a.txt
delete /Users/Ann/Docs/report.docx
delete /Photos/IMG_0001.JPG
delete /top.bin
)";

class DeepRoadTest : public WindowTest {
protected:
    // A window over `image`, the pass `action` of the drive list's menu run
    // on its first drive to the end.
    TMainForm& Passed(const std::string& image, const char* action) {
        MapImages({image});
        queries = std::make_unique<TQueriesScope>(platform::DriveMapQueries());
        TMainForm& f = MakeForm();
        f.SelectDriveRow(1);
        QMenu* menu = f.DriveGridMenu();
        EXPECT_NE(menu, nullptr);
        if (!menu) return f;
        QAction* pass = menu->findChild<QAction*>(QString::fromLatin1(action));
        EXPECT_NE(pass, nullptr) << action;
        if (pass) pass->trigger();
        EXPECT_TRUE(f.ScanRunning() || f.FoundCount() > 0);
        EXPECT_TRUE(WaitUntil([&] { return !f.ScanRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; }, 60000));
        model = f.ResultModel();
        grid = Child<TResultGrid>(f, "ResultGrid");
        return f;
    }
    // Listed files by "/folder/name", as the ledger names them, to their rows.
    std::map<std::string, int> Listed() {
        std::map<std::string, int> rows;
        for (int row = 1; row <= model->ShownCount(); ++row) {
            const auto entry = static_cast<std::uint32_t>(model->EntryAt(row));
            std::string path(model->EntryPath(entry).substr(2));
            for (char& c : path)
                if (c == '\\') c = '/';
            rows[path + std::string(model->EntryName(entry))] = row;
        }
        return rows;
    }
    bool WaitForBatchEnd() {
        return WaitUntil([&] { return !form->BatchRunning() && Child<QPushButton>(*form, "StartButton")->text() == "Scan Drive"; });
    }
    std::vector<TLogViewLine> Log() { return ViewLines(Child<QTextEdit>(*form, "LogMemo")); }

    TResultModel* model = nullptr;
    TResultGrid* grid = nullptr;
};

}  // namespace

// A volume quick-formatted over by mkntfs: the scan finds none of its old
// files; the deep scan lists every deleted one at its path with its size,
// and one file alone, then all of them, come back through the batch with
// the builder's bytes where their clusters are still their own.
TEST_F(DeepRoadTest, DeepScanOfAVolumeFormattedOverListsAndRecoversItsDeletedFiles) {
    const std::string image = WorkDirectory("deep-road") + "/volume.img";
    std::vector<TManifestRow> manifest;
    std::string why;
    if (!BuildImage(DeepPlan, image, manifest, why)) GTEST_SKIP() << why;
    ASSERT_EQ(std::system(("mkntfs -F -Q -q -c 4096 '" + image + "' >/dev/null 2>&1").c_str()), 0);

    TMainForm& f = Passed(image, "DeepScanAction");
    const std::map<std::string, int> listed = Listed();
    std::vector<TManifestRow> deleted;
    for (const TManifestRow& row : manifest) {
        if (row.Kind != "file" || row.State != "deleted") continue;
        deleted.push_back(row);
        const auto it = listed.find(row.Path);
        ASSERT_NE(it, listed.end()) << row.Path;
        EXPECT_EQ(f.ResultModel()->FileAt(it->second)->FileSize, row.Size) << row.Path;
    }
    ASSERT_EQ(deleted.size(), 4u);

    // One row: the batch, into a folder, at its path.
    const std::string one = WorkDirectory("deep-road-one");
    f.SelectResultRow(listed.at("/Photos/IMG_0001.JPG"));
    AnswerFolderDialog(one);
    Child<QToolButton>(f, "SalvaneButton")->click();
    ASSERT_TRUE(WaitForBatchEnd());
    for (const TManifestRow& row : deleted) {
        if (row.Path == "/Photos/IMG_0001.JPG") {
            EXPECT_EQ(FileSha256(one + row.Path), row.Sha256);
        }
    }
    EXPECT_EQ(Log().back().Text, QString("Recovered 1 of 1 files into %1").arg(QString::fromStdString(one)));

    // Every deleted file selected together.
    f.SelectResultRow(listed.at(deleted[0].Path));
    for (std::size_t i = 1; i < deleted.size(); ++i)
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          grid->visualRect(model->index(listed.at(deleted[i].Path) - 1, 1)).center());
    ASSERT_EQ(f.SelectedResultRows().size(), deleted.size());
    const std::string out = WorkDirectory("deep-road-out");
    AnswerFolderDialog(out);
    Child<QToolButton>(f, "SalvaneButton")->click();
    ASSERT_TRUE(WaitForBatchEnd());
    // The new format's own structures may take a cluster or two of them.
    std::size_t same = 0;
    for (const TManifestRow& row : deleted) {
        const bool equal = FileSha256(out + row.Path) == row.Sha256;
        same += equal;
        if (f.ResultModel()->FileAt(listed.at(row.Path))->State == deruzera::TRecoverability::Intact) {
            EXPECT_TRUE(equal) << row.Path;
        }
    }
    EXPECT_GE(same, deleted.size() - 1);
    EXPECT_EQ(Log().back().Text,
              QString("Recovered %1 of %1 files into %2").arg(deleted.size()).arg(QString::fromStdString(out)));
}

// Carving after the walk: a deleted gzip comes back both as the walk lists
// it and as carved from the free clusters, in one batch, each with its bytes.
TEST_F(DeepRoadTest, CarvingListsCarvedFilesBesideTheWalksAndRecoversBoth) {
    const std::string work = WorkDirectory("carve-road");
    const std::string gz = work + "/r.gz";
    ASSERT_EQ(std::system(("head -c 300000 /dev/urandom | gzip -c > '" + gz + "'").c_str()), 0);
    const std::string image = work + "/volume.img";
    std::vector<TManifestRow> manifest;
    std::string why;
    if (!BuildImage("format 32M\ncopy /x/r.gz " + gz + "\nfile /x/keep.bin 100K seed=3\ndelete /x/r.gz\n", image,
                    manifest, why))
        GTEST_SKIP() << why;

    TMainForm& f = Passed(image, "CarveAction");
    const std::map<std::string, int> listed = Listed();
    ASSERT_EQ(listed.count("/x/r.gz"), 1u);
    std::string carved;
    for (const auto& [path, row] : listed)
        if (path.rfind("/$CarvedFiles/carved-", 0) == 0 && path.ends_with(".gz")) carved = path;
    ASSERT_FALSE(carved.empty());
    EXPECT_EQ(f.ResultModel()->FileAt(listed.at(carved))->FileSize, static_cast<std::int64_t>(fs::file_size(gz)));
    EXPECT_EQ(f.ResultModel()->FileAt(listed.at(carved))->State, deruzera::TRecoverability::Carved);
    // It has no record, so no times to show.
    EXPECT_TRUE(f.ResultGridCell(TResultModel::ColModified, listed.at(carved)).trimmed().isEmpty());

    f.SelectResultRow(listed.at("/x/r.gz"));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      grid->visualRect(model->index(listed.at(carved) - 1, 1)).center());
    ASSERT_EQ(f.SelectedResultRows().size(), 2u);
    const std::string out = WorkDirectory("carve-road-out");
    AnswerFolderDialog(out);
    Child<QToolButton>(f, "SalvaneButton")->click();
    ASSERT_TRUE(WaitForBatchEnd());
    const std::string sha = FileSha256(gz);
    EXPECT_EQ(FileSha256(out + "/x/r.gz"), sha);
    EXPECT_EQ(FileSha256(out + carved), sha);
}

// A volume whose boot sector and its copy at the end are both wiped holds
// no file system anything can tell: the drive list still offers it, and
// its deep scan finds the deleted files at their paths, with their bytes.
TEST_F(DeepRoadTest, AVolumeWithoutBootSectorsIsListedAndItsDeepScanFindsItsFiles) {
    const std::string image = WorkDirectory("deep-road-bare") + "/volume.img";
    std::vector<TManifestRow> manifest;
    std::string why;
    if (!BuildImage(DeepPlan, image, manifest, why)) GTEST_SKIP() << why;
    const auto size = static_cast<long long>(fs::file_size(image));
    for (const long long at : {0LL, size - 512})
        ASSERT_EQ(std::system(("dd if=/dev/zero of='" + image + "' bs=512 count=1 conv=notrunc status=none oflag=seek_bytes seek=" +
                               std::to_string(at))
                                  .c_str()),
                  0);

    TMainForm& f = Passed(image, "DeepScanAction");
    EXPECT_EQ(f.DriveGridCell(1, 1), QString(" ?"));
    const std::map<std::string, int> listed = Listed();
    const std::string out = WorkDirectory("deep-road-bare-out");
    std::vector<std::uint32_t> entries;
    for (const TManifestRow& row : manifest) {
        if (row.Kind != "file" || row.State != "deleted") continue;
        const auto it = listed.find(row.Path);
        ASSERT_NE(it, listed.end()) << row.Path;
        entries.push_back(static_cast<std::uint32_t>(model->EntryAt(it->second)));
    }
    ASSERT_EQ(entries.size(), 4u);
    AnswerFolderDialog(out);
    f.RecoverEntries(entries);
    ASSERT_TRUE(WaitForBatchEnd());
    for (const TManifestRow& row : manifest) {
        if (row.Kind == "file" && row.State == "deleted") {
            EXPECT_EQ(FileSha256(out + row.Path), row.Sha256) << row.Path;
        }
    }

    // The list exported is the companion's deep scan, row for row: where
    // each record was found, and how.
    const std::string csv = WorkDirectory("deep-road-bare-export") + "/list.csv";
    ASSERT_TRUE(f.ExportListTo(QString::fromStdString(csv), QStringLiteral("csv")));
    const auto rows = [](const std::string& text) {
        std::multiset<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.insert(line);
        return lines;
    };
    std::ifstream exported(csv, std::ios::binary);
    const std::string window((std::istreambuf_iterator<char>(exported)), std::istreambuf_iterator<char>());
    EXPECT_NE(window.find(",found_by,source_offset\r\n"), std::string::npos);
    EXPECT_NE(window.find(",deep,"), std::string::npos);
    const std::string companion =
        CommandOutput(std::string(DERUZERA_CLI) + " scan --deep --format csv '" + image + "' 2>/dev/null");
    EXPECT_EQ(rows(window), rows(companion)) << window << "\n---\n" << companion;
}
