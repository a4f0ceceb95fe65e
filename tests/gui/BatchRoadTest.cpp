// Recovering many files from the real window on images made by the builder:
// the selected rows into a folder with their tree and times, a second run
// that replaces nothing, cancelling midway, the folder of a row from its
// context menu, a folder on the drive being read, and the save dialog's
// question before it replaces a file.
#include <QApplication>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest/QTest>
#include <filesystem>
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

const char* const TreePlan = R"(format 32M cluster=4096
mkdir /Users/Ann/Docs
mkdir /Photos/Trip
text /Users/Ann/Docs/a.txt first\n
file /Users/Ann/Docs/report.docx 20K seed=1
file /Photos/Trip/IMG_0001.JPG 300K seed=2
file /Photos/Trip/img_0002.jpg 5K seed=3
file "/Photos/Σύνοδος Ёлка.png" 7K seed=4
sparse /Users/Ann/disk.vhd 3M 0:64K 2M:64K seed=5
file /Old/Sub/deep.bin 100K seed=6
text /keep.txt live\n
delete /Users/Ann/Docs/a.txt
delete /Users/Ann/Docs/report.docx
delete /Photos/Trip/IMG_0001.JPG
delete /Photos/Trip/img_0002.jpg
delete "/Photos/Σύνοδος Ёлка.png"
delete /Users/Ann/disk.vhd
rmtree /Old
)";

// A device that says every path lies on it, as a mounted partition does.
class THoldingDevice final : public deruzera::TDevice {
public:
    explicit THoldingDevice(std::shared_ptr<deruzera::TDevice> inner) : inner_(std::move(inner)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }
    bool HoldsPath(const std::string&) const override { return true; }

private:
    std::shared_ptr<deruzera::TDevice> inner_;
};

class BatchRoadTest : public WindowTest {
protected:
    std::string Image(const std::string& name, const std::string& plan) {
        image = WorkDirectory(name) + "/volume.img";
        std::string why;
        if (!BuildImage(plan, image, manifest, why)) return {};
        return image;
    }
    // A window over the image, scanned, with its results listed.
    TMainForm& Scanned() {
        MapImages({image});
        queries = std::make_unique<TQueriesScope>(platform::DriveMapQueries());
        TMainForm& f = MakeForm();
        if (slowMicros > 0) InstallSlowOpener(f, slowMicros);
        if (holding) {
            f.OpenDevice = [](const std::string& drive) {
                deruzera::TDeviceAccess access = platform::OpenMappedDrive(drive);
                if (access.Device) access.Device = std::make_shared<THoldingDevice>(std::move(access.Device));
                return access;
            };
        }
        f.SelectDriveRow(1);
        Child<QPushButton>(f, "StartButton")->click();
        EXPECT_TRUE(WaitUntil([&] { return !f.ScanRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; }));
        model = f.ResultModel();
        grid = Child<TResultGrid>(f, "ResultGrid");
        return f;
    }
    bool WaitForBatchEnd() {
        return WaitUntil([&] { return !form->BatchRunning() && Child<QPushButton>(*form, "StartButton")->text() == "Scan Drive"; });
    }
    std::vector<TLogViewLine> Log() { return ViewLines(Child<QTextEdit>(*form, "LogMemo")); }
    int RowOf(const std::string& name) {
        for (int row = 1; row <= model->ShownCount(); ++row)
            if (model->EntryName(static_cast<std::uint32_t>(model->EntryAt(row))) == name) return row;
        return -1;
    }
    std::vector<TManifestRow> Deleted() const {
        std::vector<TManifestRow> rows;
        for (const auto& row : manifest)
            if (row.State == "deleted" && row.Kind == "file") rows.push_back(row);
        return rows;
    }
    // Every regular file below `folder`, relative, with "/" in front.
    std::set<std::string> Files(const std::string& folder) {
        std::set<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file()) files.insert("/" + fs::relative(entry.path(), folder).string());
        return files;
    }
    // The file of a manifest row below `folder` as written: its bytes and
    // the modification time of its record.
    void ExpectRecovered(const std::string& folder, const TManifestRow& row, const std::string& as = {}) {
        const std::string path = folder + (as.empty() ? row.Path : as);
        EXPECT_EQ(FileSha256(path), row.Sha256) << path;
        const std::string time = IstatModified(image, row.Record);
        if (!time.empty()) {
            EXPECT_EQ(FileModified(path), time) << path;
        }
    }
    void OpenContextMenuAt(int gridRow) {
        const QPoint at = grid->visualRect(model->index(gridRow - 1, 0)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, grid->viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid->viewport(), &event);
        QApplication::processEvents();
    }

    std::string image;
    std::vector<TManifestRow> manifest;
    int slowMicros = 0;
    bool holding = false;
    TResultModel* model = nullptr;
    TResultGrid* grid = nullptr;
};

}  // namespace

TEST_F(BatchRoadTest, SelectedFilesGoToTheirFoldersWithTheirTimesAndASecondRunReplacesNothing) {
    if (Image("batch-tree", TreePlan).empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    const std::vector<TManifestRow> deleted = Deleted();
    ASSERT_EQ(model->ShownCount(), static_cast<int>(deleted.size()));
    const std::string out = WorkDirectory("batch-tree-out");

    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier);
    ASSERT_EQ(f.SelectedResultRows().size(), deleted.size());
    AnswerFolderDialog(out);
    Child<QToolButton>(f, "SalvaneButton")->click();
    // The worker writes; the progress page shows it, "Cancel" at hand.
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 1);
    EXPECT_EQ(Child<QPushButton>(f, "StartButton")->text(), QString("Cancel"));
    EXPECT_EQ(Child<QLabel>(f, "Panel6")->toolTip(),
              QString::fromStdString("Please wait while the program recovers the files into " + out));
    EXPECT_TRUE(Child<QLabel>(f, "Panel6")->text().startsWith("Please wait while the program recovers the files into "));
    EXPECT_FALSE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_FALSE(Child<QWidget>(f, "AnalizeButton")->isEnabled());
    EXPECT_FALSE(Child<QWidget>(f, "SearchEdit")->isEnabled());
    ASSERT_TRUE(WaitForBatchEnd());

    std::set<std::string> expected;
    for (const TManifestRow& row : deleted) {
        expected.insert(row.Path);
        ExpectRecovered(out, row);
    }
    EXPECT_EQ(Files(out), expected);
    const auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().Text, QString("Recovered %1 of %1 files into %2").arg(deleted.size()).arg(QString::fromStdString(out)));
    EXPECT_EQ(log.back().Colour, QColor("#008000"));
    for (const auto& line : log) EXPECT_FALSE(line.Text.startsWith("Error")) << line.Text.toStdString();
    // Back on the list, the log in view, the commands ready again.
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 0);
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 0);
    EXPECT_TRUE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_TRUE(Child<QWidget>(f, "SearchEdit")->isEnabled());
    EXPECT_TRUE(Child<QLabel>(f, "LogPanel")->text().startsWith("Recovering file "));

    // Two of them again into the same folder: new names, the first copies kept.
    f.SelectResultRow(RowOf("a.txt"));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      grid->visualRect(model->index(RowOf("IMG_0001.JPG") - 1, 1)).center());
    ASSERT_EQ(f.SelectedResultRows().size(), 2u);
    AnswerFolderDialog(out);
    Child<QToolButton>(f, "SalvaneButton")->click();
    ASSERT_TRUE(WaitForBatchEnd());
    EXPECT_EQ(Log().back().Text, QString("Recovered 2 of 2 files into %1").arg(QString::fromStdString(out)));
    for (const TManifestRow& row : deleted) {
        ExpectRecovered(out, row);
        if (row.Path == "/Users/Ann/Docs/a.txt") ExpectRecovered(out, row, "/Users/Ann/Docs/a (1).txt");
        if (row.Path == "/Photos/Trip/IMG_0001.JPG") ExpectRecovered(out, row, "/Photos/Trip/IMG_0001 (1).JPG");
    }
    EXPECT_EQ(Files(out).size(), deleted.size() + 2);

    // A folder dialog that is cancelled writes nothing and says so.
    AnswerFolderDialog("");
    Child<QToolButton>(f, "SalvaneButton")->click();
    EXPECT_EQ(Log().back().Text, QString("Recovery cancelled by user"));
    EXPECT_EQ(Files(out).size(), deleted.size() + 2);
}

TEST_F(BatchRoadTest, CancelMidwayStopsAndLeavesOnlyWholeFiles) {
    std::string plan = "format 32M cluster=4096\n";
    for (int i = 0; i < 12; ++i) plan += "file /Big/part" + std::to_string(i) + ".bin 256K seed=" + std::to_string(i) + "\n";
    for (int i = 0; i < 12; ++i) plan += "delete /Big/part" + std::to_string(i) + ".bin\n";
    if (Image("batch-cancel", plan).empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    slowMicros = 1500;  // about 0.4 s a file
    TMainForm& f = Scanned();
    ASSERT_EQ(model->ShownCount(), 12);
    const std::string out = WorkDirectory("batch-cancel-out");
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier);
    AnswerFolderDialog(out);
    Child<QToolButton>(f, "SalvaneButton")->click();

    // The window answers while the worker writes: the progress comes in.
    auto* status = Child<QLabel>(f, "LogPanel");
    ASSERT_TRUE(WaitUntil([&] { return status->text().startsWith("Recovering file 3 of 12 ("); }, 30000)) << status->text().toStdString();
    EXPECT_TRUE(status->text().contains(" of 3 Mb)")) << status->text().toStdString();
    EXPECT_GT(Child<QProgressBar>(f, "Gauge1")->value(), 0);
    Child<QPushButton>(f, "StartButton")->click();
    ASSERT_TRUE(WaitForBatchEnd());

    const QRegularExpression summary(QStringLiteral("^Recovered (\\d+) of 12 files into (.*) \\(cancelled by user\\)$"));
    const auto match = summary.match(Log().back().Text);
    ASSERT_TRUE(match.hasMatch()) << Log().back().Text.toStdString();
    EXPECT_EQ(match.captured(2), QString::fromStdString(out));
    EXPECT_EQ(Log().back().Colour, QColor("#FF0000"));
    const int written = match.captured(1).toInt();
    EXPECT_GE(written, 2);
    EXPECT_LT(written, 12);
    // What is there is whole; the file being written when it stopped is gone.
    const std::set<std::string> files = Files(out);
    EXPECT_EQ(static_cast<int>(files.size()), written);
    for (const TManifestRow& row : Deleted())
        if (files.count(row.Path)) ExpectRecovered(out, row);
}

TEST_F(BatchRoadTest, RecoverThisFolderTakesEveryFileBelowTheRowsFolder) {
    if (Image("batch-folder", TreePlan).empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    holding = true;  // the folder chosen lies on the drive being read
    TMainForm& f = Scanned();
    const std::string out = WorkDirectory("batch-folder-out");
    // The search shows one file of C:\Photos\; its folder holds more.
    Child<QLineEdit>(f, "SearchEdit")->setText(QStringLiteral("σύνοδος"));
    ASSERT_EQ(model->ShownCount(), 1);

    // First the question about the drive, answered No.
    OpenContextMenuAt(1);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    auto* folderAction = menu->findChild<QAction*>(QStringLiteral("RecoverFolderAction"));
    ASSERT_NE(folderAction, nullptr);
    EXPECT_EQ(folderAction->text(), QString("Recover this folder"));
    AnswerFolderDialog(out);
    QString question;
    AnswerMessageBox(QMessageBox::No, &question);
    folderAction->trigger();
    menu->close();
    EXPECT_EQ(question, QString::fromStdString(deruzera::SameDeviceQuestion()));
    EXPECT_EQ(Log().back().Text, QString("Recovery cancelled by user"));
    EXPECT_TRUE(Files(out).empty());

    // Then Yes.
    OpenContextMenuAt(1);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    AnswerFolderDialog(out);
    AnswerMessageBox(QMessageBox::Yes);
    menu->findChild<QAction*>(QStringLiteral("RecoverFolderAction"))->trigger();
    menu->close();
    ASSERT_TRUE(WaitForBatchEnd());
    EXPECT_EQ(Files(out), (std::set<std::string>{"/Photos/Σύνοδος Ёлка.png", "/Photos/Trip/IMG_0001.JPG",
                                                  "/Photos/Trip/img_0002.jpg"}));
    for (const TManifestRow& row : Deleted())
        if (row.Path.rfind("/Photos/", 0) == 0) ExpectRecovered(out, row);
    EXPECT_EQ(Log().back().Text, QString("Recovered 3 of 3 files into %1").arg(QString::fromStdString(out)));
    EXPECT_EQ(Log()[Log().size() - 2].Text, QString("Writing to the drive being read all the same"));
    // The search still holds.
    EXPECT_EQ(model->ShownCount(), 1);
}

TEST_F(BatchRoadTest, SaveDialogAsksBeforeItReplacesAFile) {
    if (Image("batch-replace", TreePlan).empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    f.SelectResultRow(RowOf("report.docx"));
    const std::string target = WorkDirectory("batch-replace-out") + "/mine.docx";
    std::ofstream(target) << "the user's own file";

    // No: the dialog stays for another name; then it is cancelled.
    QString question;
    bool stillOpen = false;
    WhenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
        AnswerMessageBox(QMessageBox::No, &question);
        dialog->selectFile(QString::fromStdString(target));
        QMetaObject::invokeMethod(dialog, "accept");
        stillOpen = dialog->isVisible();
        dialog->reject();
    });
    Child<QToolButton>(f, "SalvaneButton")->click();
    EXPECT_TRUE(question.startsWith("mine.docx already exists.")) << question.toStdString();
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(Log().back().Text, QString("Recovery cancelled by user"));
    std::ifstream in(target);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "the user's own file");

    // Yes: replaced, with the six lines.
    AnswerSaveDialog(target);
    AnswerMessageBox(QMessageBox::Yes);
    Child<QToolButton>(f, "SalvaneButton")->click();
    EXPECT_EQ(Log().back().Text, QString("File recovered"));
    for (const TManifestRow& row : Deleted())
        if (row.Path == "/Users/Ann/Docs/report.docx") {
            EXPECT_EQ(FileSha256(target), row.Sha256);
        }
}
