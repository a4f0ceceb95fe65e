// A scan with shadow copies in the window, on the Windows-made volume of
// the fixtures (vsstest.qcow2: syslog is gone from the live volume and held
// by the first of its two snapshots). What the window lists, recovers,
// previews and exports for a snapshot's file is checked against what the
// companion gives for the same scan.
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <cstdlib>
#include <filesystem>

#include "GuiFixture.h"
#include "Preview.h"
#include "ResultModel.h"
#include "platform/DriveMap.h"
#include "volume/Scan.h"

using namespace gui_testing;
namespace fs = std::filesystem;

namespace {

class SnapshotsTest : public WindowTest {
protected:
    // The fixture copied into this test's folder; "" where it is not there.
    std::string Image() {
        const std::string fixture = FixtureFile("vsstest.qcow2");
        if (fixture.empty()) return {};
        const fs::path copy = fs::path(WorkDirectory("snapshots")) / "vsstest.qcow2";
        fs::copy_file(fixture, copy);
        return copy.string();
    }
    bool Scan(TMainForm& f) {
        Child<QPushButton>(f, "StartButton")->click();
        return WaitUntil([&] { return !f.ScanRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; });
    }
};

TEST_F(SnapshotsTest, TheCheckBoxAddsWhatOnlyASnapshotHoldsAndItComesBackFromThere) {
    const std::string image = Image();
    if (image.empty()) GTEST_SKIP() << "vsstest.qcow2 is not there: set DERUZERA_FIXTURES to the folder of fixtures";
    MapImages({image});
    queries = std::make_unique<TQueriesScope>(deruzera::platform::DriveMapQueries());
    TMainForm& f = MakeForm();
    f.SelectDriveRow(1);
    auto* box = Child<QCheckBox>(f, "SnapshotsBox");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisibleTo(&f));
    EXPECT_FALSE(box->isChecked());

    // The live volume alone holds no deleted file.
    ASSERT_TRUE(Scan(f));
    EXPECT_EQ(f.FoundCount(), 0);

    // With its snapshots: syslog, from the first, on the snapshot's volume.
    box->setChecked(true);
    ASSERT_TRUE(Scan(f));
    EXPECT_TRUE(box->isEnabled());
    ASSERT_EQ(f.FoundCount(), 1);
    const deruzera::TFoundFiles& syslog = f.Results->Files[0];
    EXPECT_EQ(f.Results->Files.NameText(syslog), "syslog");
    EXPECT_EQ(syslog.Snapshot, 1);
    EXPECT_EQ(syslog.FileSize, 1247);
    ASSERT_NE(f.Results->VolumeOf(syslog), nullptr);
    EXPECT_NE(f.Results->VolumeOf(syslog), f.Results->Volume.get());
    // The details name the snapshot by its date.
    f.SelectResultRow(1);
    EXPECT_TRUE(Child<QLabel>(f, "StatePanel")->text().contains("2013-12-03 06:35:09"))
        << Child<QLabel>(f, "StatePanel")->text().toStdString();

    // Its preview is the snapshot's bytes, all its own: the clusters the
    // snapshot's bitmap marks taken are the file's.
    ASSERT_TRUE(WaitUntil([&] { return !f.Preview()->Busy(); }));
    EXPECT_EQ(f.Preview()->Shown().Kind, TPreview::Text);
    EXPECT_EQ(f.Preview()->Shown().BytesShown, 1247u);
    EXPECT_TRUE(f.Preview()->Shown().Banner.isEmpty()) << f.Preview()->Shown().Banner.toStdString();

    // The companion recovers it from the same snapshot: the reference bytes.
    const std::string cli = DERUZERA_CLI, byCli = WorkDirectory("snapshots-cli");
    ASSERT_EQ(CommandOutput(cli + " recover '" + image + "' --to '" + byCli +
                  "' --match 'C:\\syslog' --with-snapshots >/dev/null 2>&1; echo $?"),
              "0\n");
    const std::string expected = FileSha256(byCli + "/syslog");
    ASSERT_FALSE(expected.empty());

    // One file, through the save dialog: read from the snapshot, not
    // refused as a file in use.
    const std::string single = WorkDirectory("snapshots-one") + "/syslog";
    AnswerSaveDialog(single);
    Child<QToolButton>(f, "SalvaneButton")->click();
    EXPECT_EQ(FileSha256(single), expected);

    // The batch, into a folder.
    const std::string out = WorkDirectory("snapshots-batch");
    AnswerFolderDialog(out);
    f.RecoverEntries({0});
    ASSERT_TRUE(WaitUntil([&] { return !f.BatchRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; }));
    EXPECT_EQ(FileSha256(out + "/syslog"), expected);

    // The list exported: its row carries the snapshot as the companion's does.
    const std::string csv = WorkDirectory("snapshots-export") + "/list.csv";
    ASSERT_TRUE(f.ExportListTo(QString::fromStdString(csv), "csv"));
    QFile written(QString::fromStdString(csv));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(written.readAll());
    EXPECT_TRUE(text.contains("syslog"));
    EXPECT_TRUE(text.contains("2013-12-03T06:35:09Z")) << text.toStdString();
}

}  // namespace
