// Whole roads through the window on images made by the builder: scan,
// cancel, refusal, recovery, the toolbar commands and quitting.
#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>
#include <QtTest/QTest>
#include <fstream>

#include "GuiFixture.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "EventLog.h"
#include "volume/Device.h"

using namespace gui_testing;
namespace platform = deruzera::platform;

namespace {

const char* const SmallPlan = R"(format 16M cluster=4096
mkdir /Docs
text /Docs/keep.txt still here\n
file /Docs/report.txt 1536 seed=1
file /Docs/big.bin 300K seed=2
text /root.txt a file in the root\n
delete /Docs/report.txt
delete /Docs/big.bin
delete /root.txt
)";

const char* const LargePlan = "format 64M\nbulk 7 6000 80 3 0.5 2\n";

// A URL handler that remembers what the window asked to open.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void Open(const QUrl& url) { Opened << url; }
};

class ScanRoadTest : public WindowTest {
protected:
    // Builds `plan` into an image of this test, or skips the test.
    std::string Image(const std::string& name, const std::string& plan, std::vector<TManifestRow>& manifest) {
        const std::string image = WorkDirectory(name) + "/volume.img";
        std::string why;
        if (!BuildImage(plan, image, manifest, why)) return {};
        return image;
    }

    TMainForm& FormOver(const std::vector<std::string>& images) {
        MapImages(images);
        queries = std::make_unique<TQueriesScope>(platform::DriveMapQueries());
        return MakeForm();
    }

    void ClickScan() { Child<QPushButton>(*form, "StartButton")->click(); }
    bool WaitForScanEnd() {
        return WaitUntil([&] { return !form->ScanRunning() && Child<QPushButton>(*form, "StartButton")->text() == "Scan Drive"; });
    }
    std::vector<TLogViewLine> Log() { return ViewLines(Child<QTextEdit>(*form, "LogMemo")); }
    // The lines from the one that reads `first` on.
    std::vector<TLogViewLine> LogFrom(const QString& first) {
        const auto lines = Log();
        for (std::size_t i = lines.size(); i-- > 0;)
            if (lines[i].Text == first) return {lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end()};
        return {};
    }
    int RowOf(const QString& name) {
        for (int row = 1; row < form->ResultGridRowCount(); ++row)
            if (form->ResultGridCell(0, row) == QLatin1Char(' ') + name) return row;
        return -1;
    }
    void ExpectLine(const TLogViewLine& line, const QString& text, const char* colour) {
        EXPECT_EQ(line.Text, text);
        EXPECT_EQ(line.Colour, QColor(colour)) << text.toStdString();
    }
    void ExpectIdleControls() {
        EXPECT_EQ(Child<QPushButton>(*form, "StartButton")->text(), QString("Scan Drive"));
        EXPECT_EQ(Child<QLabel>(*form, "Panel6")->text(),
                  QString::fromUtf8("Please select the drive and press «Scan Drive» button"));
        EXPECT_EQ(Child<QProgressBar>(*form, "Gauge1")->value(), 0);
        EXPECT_TRUE(Child<QWidget>(*form, "AnalizeButton")->isEnabled());
        EXPECT_TRUE(Child<QWidget>(*form, "DriveGrid")->isEnabled());
    }
};

const TManifestRow* Find(const std::vector<TManifestRow>& manifest, const std::string& path) {
    for (const auto& row : manifest)
        if (row.Path == path) return &row;
    return nullptr;
}

}  // namespace

TEST_F(ScanRoadTest, ScanListsDeletedFilesAndRecoversThemByteForByte) {
    std::vector<TManifestRow> manifest;
    const std::string image = Image("road", SmallPlan, manifest);
    if (image.empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = FormOver({image});
    ASSERT_EQ(f.DriveGridCell(1, 1), QString(" NTFS"));

    f.SelectDriveRow(1);
    EXPECT_EQ(Child<QLabel>(f, "LogPanel")->text(), QString("Current drive was changed to C:\\"));
    ClickScan();
    // Scanning, until the worker's end reaches the window.
    EXPECT_EQ(Child<QPushButton>(f, "StartButton")->text(), QString("Cancel"));
    EXPECT_EQ(Child<QLabel>(f, "Panel6")->text(), QString("Please wait while the program finishes scanning the drive C:"));
    EXPECT_FALSE(Child<QWidget>(f, "AnalizeButton")->isEnabled());
    EXPECT_FALSE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_FALSE(Child<QWidget>(f, "DriveGrid")->isEnabled());
    EXPECT_TRUE(Child<QLabel>(f, "LogPanel")->text().isEmpty());
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 1);
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 0);
    ASSERT_TRUE(WaitForScanEnd());

    const auto scanLines = LogFrom("Preparing for scan the drive C:\\ ...");
    ASSERT_EQ(scanLines.size(), 5u);
    ExpectLine(scanLines[0], "Preparing for scan the drive C:\\ ...", "#000000");
    ExpectLine(scanLines[1], "This is a NTFS disk", "#008000");
    ExpectLine(scanLines[2], "Scanning for deleted files on drive C:\\ ...", "#000000");
    ExpectLine(scanLines[3], "Scanning process completed", "#008000");
    ExpectLine(scanLines[4], "Found 3 deleted files", "#008000");

    // Results.
    ExpectIdleControls();
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 0);
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 1);
    EXPECT_TRUE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    ASSERT_EQ(f.ResultGridRowCount(), 4);
    for (const char* path : {"/Docs/report.txt", "/Docs/big.bin", "/root.txt"}) {
        const TManifestRow* entry = Find(manifest, path);
        ASSERT_TRUE(entry && entry->State == "deleted") << path;
        const QString name = QString::fromStdString(entry->Path.substr(entry->Path.rfind('/') + 1));
        const int row = RowOf(name);
        ASSERT_GE(row, 1) << path;
        EXPECT_EQ(f.ResultGridCell(1, row), QString(entry->Path == "/root.txt" ? " C:\\" : " C:\\Docs\\"));
        EXPECT_EQ(f.ResultGridCell(2, row), SizeCell(entry->Size));
        EXPECT_TRUE(f.ResultGridCell(3, row).startsWith(' '));
        EXPECT_EQ(f.ResultGridCell(3, row).size(), 15);  // " dd.mm.yy hh:mm"
    }
    EXPECT_EQ(f.ResultGridCell(2, RowOf("report.txt")), SizeCell(1536));
    // Row 1 is current and its details are shown.
    EXPECT_EQ(f.ResultGridRow(), 1);
    EXPECT_EQ(Child<QLabel>(f, "FileNamePanel")->text(), f.ResultGridCell(0, 1).trimmed());
    EXPECT_EQ(Child<QLabel>(f, "PathPanel")->text(), f.ResultGridCell(1, 1).trimmed());

    // "Recovery" at once works on row 1; cancelling the dialog writes nothing.
    QString proposed;
    AnswerSaveDialog("", &proposed);
    Child<QToolButton>(f, "SalvaneButton")->click();
    EXPECT_TRUE(proposed.endsWith(QLatin1Char('/') + f.ResultGridCell(0, 1).trimmed())) << proposed.toStdString();
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 0);
    ASSERT_FALSE(Log().empty());
    ExpectLine(Log().back(), "Recovery cancelled by user", "#FF0000");

    // Another row, recovered to a file that exists already: replaced once
    // the user says so.
    const int bigRow = RowOf("big.bin");
    f.SelectResultRow(bigRow);
    EXPECT_EQ(Child<QLabel>(f, "FileNamePanel")->text(), QString("big.bin"));
    const std::string target = WorkDirectory("road-out") + "/copy of big.bin";
    std::ofstream(target) << "old content";
    AnswerSaveDialog(target);
    AnswerMessageBox(QMessageBox::Yes);
    Child<QToolButton>(f, "SalvaneButton")->click();
    const auto recovery = LogFrom("Preparing for recovery");
    ASSERT_EQ(recovery.size(), 6u);
    ExpectLine(recovery[0], "Preparing for recovery", "#000000");
    ExpectLine(recovery[1], "File: big.bin", "#0000FF");
    ExpectLine(recovery[2], "Path: C:\\Docs\\", "#0000FF");
    ExpectLine(recovery[3], "Data recovered", "#008000");
    ExpectLine(recovery[4], "Recovered file written : copy of big.bin (307200 Bytes)", "#0000FF");
    ExpectLine(recovery[5], "File recovered", "#008000");
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 0);
    const std::string sha = FileSha256(target);
    if (!sha.empty()) {
        EXPECT_EQ(sha, Find(manifest, "/Docs/big.bin")->Sha256);
    }
}

TEST_F(ScanRoadTest, CancelEndsTheScanWithItsAbortLines) {
    std::vector<TManifestRow> manifest;
    const std::string image = Image("cancel", LargePlan, manifest);
    if (image.empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    long long deleted = 0;
    for (const auto& row : manifest) deleted += row.State == "deleted" && row.Kind == "file";
    TMainForm& f = FormOver({image});
    InstallSlowOpener(f, 400);
    f.SelectDriveRow(1);
    ClickScan();
    // The count and progress come in while it runs.
    ASSERT_TRUE(WaitUntil([&] { return Child<QLabel>(f, "LogPanel")->text().startsWith("Found "); }, 20000));
    EXPECT_GT(Child<QProgressBar>(f, "Gauge1")->value(), 0);
    EXPECT_EQ(Child<QProgressBar>(f, "Gauge1")->maximum(), RecordCountOf(image));
    ClickScan();  // "Cancel"
    EXPECT_EQ(Child<QPushButton>(f, "StartButton")->text(), QString("Cancel"));
    ASSERT_TRUE(WaitForScanEnd());

    const auto lines = Log();
    ASSERT_GE(lines.size(), 2u);
    ExpectLine(lines[lines.size() - 2], "Scanning aborted by user", "#FF0000");
    const QString count = QStringLiteral("Found %1 deleted files").arg(f.FoundCount());
    ExpectLine(lines.back(), count, "#FF0000");
    EXPECT_LT(f.FoundCount(), deleted);
    ExpectIdleControls();
    if (f.FoundCount() > 0) {
        EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 0);
        EXPECT_TRUE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
        EXPECT_EQ(f.ResultGridRowCount(), f.FoundCount() + 1);
    } else {
        EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 1);
        EXPECT_FALSE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    }
}

TEST_F(ScanRoadTest, RefusedScanKeepsThePreviousResultsAndTheirVolume) {
    std::vector<TManifestRow> manifest;
    const std::string image = Image("refused", SmallPlan, manifest);
    if (image.empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    const std::string plain = WorkDirectory("refused-plain") + "/zeros.img";
    std::ofstream(plain, std::ios::binary) << std::string(1 << 20, '\0');
    TMainForm& f = FormOver({image, plain});
    // The plain image holds no file system: listed as one whose file
    // system is not known, for a deep scan.
    ASSERT_EQ(f.DriveGridRowCount(), 3);
    EXPECT_EQ(f.DriveGridCell(1, 2), QString(" ?"));
    f.SelectDriveRow(1);
    ClickScan();
    ASSERT_TRUE(WaitForScanEnd());
    ASSERT_EQ(f.ResultGridRowCount(), 4);
    const QString firstName = f.ResultGridCell(0, 1);

    f.SelectDriveRow(2);
    ClickScan();
    ASSERT_TRUE(WaitForScanEnd());
    const auto lines = LogFrom("Preparing for scan the drive D:\\ ...");
    ASSERT_EQ(lines.size(), 2u);
    ExpectLine(lines[1], "Error: This is not a NTFS disk", "#FF0000");
    // The previous list is shown again, and recovery reads the volume it came from.
    EXPECT_EQ(f.ResultGridRowCount(), 4);
    EXPECT_EQ(f.ResultGridCell(0, 1), firstName);
    EXPECT_TRUE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 0);
    f.SelectResultRow(RowOf("report.txt"));
    const std::string target = WorkDirectory("refused-out") + "/report.txt";
    AnswerSaveDialog(target);
    Child<QToolButton>(f, "SalvaneButton")->click();
    ExpectLine(Log().back(), "File recovered", "#008000");
    const std::string sha = FileSha256(target);
    if (!sha.empty()) {
        EXPECT_EQ(sha, Find(manifest, "/Docs/report.txt")->Sha256);
    }
}

// A device whose reads fail past the program's own handling once the walk
// has begun: a fault of the program, not of the disk.
class TThrowingDevice final : public deruzera::TDevice {
public:
    explicit TThrowingDevice(std::shared_ptr<deruzera::TDevice> inner) : inner_(std::move(inner)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset >= 64 * 1024) throw std::logic_error("a fault planted by the test");
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    std::shared_ptr<deruzera::TDevice> inner_;
};

TEST_F(ScanRoadTest, AScanWorkerThatFailsEndsWithARedLine) {
    std::vector<TManifestRow> manifest;
    const std::string image = Image("failing-worker", SmallPlan, manifest);
    if (image.empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = FormOver({image});
    f.OpenDevice = [](const std::string& drive) {
        deruzera::TDeviceAccess access = platform::OpenMappedDrive(drive);
        if (access.Device) access.Device = std::make_shared<TThrowingDevice>(std::move(access.Device));
        return access;
    };
    f.SelectDriveRow(1);
    ClickScan();
    ASSERT_TRUE(WaitForScanEnd());
    // Never silence, never "completed": the last line is red, and the
    // window is back to idle.
    const auto lines = LogFrom("Preparing for scan the drive C:\\ ...");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back().Colour.name(), QString("#ff0000")) << lines.back().Text.toStdString();
    // Green only where the disk was found to be NTFS, before the walk.
    for (std::size_t i = 2; i < lines.size(); ++i)
        EXPECT_NE(lines[i].Colour.name(), QString("#008000")) << lines[i].Text.toStdString();
    EXPECT_EQ(Child<QPushButton>(f, "StartButton")->text(), QString("Scan Drive"));
    EXPECT_TRUE(Child<QWidget>(f, "DriveGrid")->isEnabled());
}

TEST_F(ScanRoadTest, ScanWithoutADriveAndScanningBackToIdle) {
    std::vector<TManifestRow> manifest;
    const std::string image = Image("idle", SmallPlan, manifest);
    if (image.empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = FormOver({image});
    ClickScan();
    EXPECT_EQ(Child<QLabel>(f, "Panel6")->text(), QString("Please wait while the program finishes scanning the drive "));
    ASSERT_TRUE(WaitForScanEnd());
    ExpectLine(Log().back(), "Error: No drive detected", "#FF0000");
    ExpectIdleControls();
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 1);
    EXPECT_FALSE(Child<QWidget>(f, "SalvaneButton")->isEnabled());

    // Recovery before any scan listed files logs nothing.
    const std::size_t before = Log().size();
    f.SalvaneButtonClick();
    EXPECT_EQ(Log().size(), before);

    f.SelectDriveRow(1);
    ClickScan();
    ASSERT_TRUE(WaitForScanEnd());
    ASSERT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 0);
    Child<QLabel>(f, "LogPanel")->setText("Found 3 deleted files");
    Child<QToolButton>(f, "AnalizeButton")->click();
    EXPECT_TRUE(Child<QLabel>(f, "LogPanel")->text().isEmpty());
    EXPECT_FALSE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 1);
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 0);
    EXPECT_EQ(Child<QPushButton>(f, "StartButton")->text(), QString("Scan Drive"));
    EXPECT_EQ(f.ResultGridRowCount(), 4);  // kept, shown again only by a scan
}

TEST_F(ScanRoadTest, RowsShowWhetherAFileCanComeBackAndRecoveryAsksFirst) {
    std::vector<TManifestRow> manifest;
    const std::string image = Image("states", "format 32M cluster=4096\nfile /Docs/kept.bin 20K seed=1\n"
                                              "file /Docs/half.bin 100K seed=2\nfile /Docs/gone.bin 40K seed=3\n"
                                              "delete /Docs/kept.bin\ndelete /Docs/half.bin\ndelete /Docs/gone.bin\n"
                                              "overwrite /Docs/half.bin 40K /Docs/new.bin seed=4\n"
                                              "overwrite /Docs/gone.bin 40K /Docs/all.bin seed=5\n",
                                     manifest);
    if (image.empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = FormOver({image});
    f.SelectDriveRow(1);
    ClickScan();
    ASSERT_TRUE(WaitForScanEnd());
    ASSERT_EQ(f.ResultGridRowCount(), 4);
    auto* grid = Child<QTableView>(f, "ResultGrid");
    // Each row's dot: green intact, orange partly, red wholly overwritten.
    auto dotColour = [&](int row) {
        const QPixmap dot = grid->model()->index(row - 1, 0).data(Qt::DecorationRole).value<QIcon>().pixmap(8, 8);
        return dot.isNull() ? QColor() : QColor(dot.toImage().pixel(4, 4));
    };
    EXPECT_EQ(dotColour(RowOf("kept.bin")), QColor(0x00, 0x80, 0x00));
    EXPECT_EQ(dotColour(RowOf("half.bin")), QColor(0xE0, 0x8A, 0x00));
    EXPECT_EQ(dotColour(RowOf("gone.bin")), QColor(0xD0, 0x00, 0x00));
    // The details say it in words, with the share and who holds it now.
    f.SelectResultRow(RowOf("half.bin"));
    EXPECT_EQ(Child<QLabel>(f, "StatePanel")->text(), QString("partly overwritten, 40 % of its data, now used by C:\\Docs\\new.bin"));
    f.SelectResultRow(RowOf("kept.bin"));
    EXPECT_EQ(Child<QLabel>(f, "StatePanel")->text(), QString("intact: no other file uses its clusters"));

    // Recovering a partly overwritten file asks first; No writes nothing.
    f.SelectResultRow(RowOf("half.bin"));
    QString question;
    WhenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        question = box->text();
        box->button(QMessageBox::No)->click();
    });
    Child<QToolButton>(f, "SalvaneButton")->click();
    EXPECT_EQ(question, QString("40 % of this file's data lies in clusters that other files now use: the copy will hold "
                                "their data there. Recover it all the same?"));
    ExpectLine(Log().back(), "Recovery cancelled by user", "#FF0000");
    // Yes: written, and the log ends by saying what is not the file's own.
    const std::string target = WorkDirectory("states-out") + "/half.bin";
    WhenModal([&](QWidget* modal) {
        qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click();
        AnswerSaveDialog(target);
    });
    Child<QToolButton>(f, "SalvaneButton")->click();
    const auto lines = LogFrom("Preparing for recovery");
    ASSERT_EQ(lines.size(), 7u);
    ExpectLine(lines[4], "Recovering it all the same: 40 % of it lies in clusters that other files now use", "#000000");
    ExpectLine(lines[6], "40 % of the copy comes from clusters that other files now use", "#FF0000");
    EXPECT_EQ(QFileInfo(QString::fromStdString(target)).size(), 102400);
}

TEST_F(ScanRoadTest, WebLinksOpenTheProductPageAndTheMakersSite) {
    TMainForm& f = MakeForm();
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "Open");
    Child<QToolButton>(f, "UpdateButton")->click();
    Child<QToolButton>(f, "SpeedButton1")->click();
    QWidget* panel = Child<QWidget>(f, "Panel2");
    QTest::mouseClick(panel, Qt::LeftButton, {}, panel->rect().center());
    QDesktopServices::unsetUrlHandler("http");
    ASSERT_EQ(catcher.Opened.size(), 3);
    EXPECT_EQ(catcher.Opened[0], QUrl("http://deruzera.example/details/ntfs-deruzera"));
    EXPECT_EQ(catcher.Opened[1], catcher.Opened[0]);
    EXPECT_EQ(catcher.Opened[2], QUrl("http://deruzera.example/"));
}

TEST_F(ScanRoadTest, QuitQuestionNoKeepsTheScanYesStopsItAndCloses) {
    std::vector<TManifestRow> manifest;
    const std::string image = Image("quit", LargePlan, manifest);
    if (image.empty()) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = FormOver({image});
    InstallSlowOpener(f, 400);
    f.SelectDriveRow(1);
    ClickScan();
    ASSERT_TRUE(WaitUntil([&] { return Child<QLabel>(f, "LogPanel")->text().startsWith("Found "); }, 20000));

    QString text, title;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::Icon icon = QMessageBox::Critical;
    WhenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        text = box->text();
        title = box->windowTitle();
        icon = box->icon();
        defaultButton = box->standardButton(box->defaultButton());
        box->button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(f.close());
    EXPECT_EQ(text, QString("Are you sure you want to quit?"));
    EXPECT_EQ(title, QString("NTFS Deruzera 1.3"));
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_EQ(defaultButton, QMessageBox::Yes);
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(f.ScanRunning());
    EXPECT_FALSE(f.AbortRequested);

    WhenModal([](QWidget* modal) { qobject_cast<QMessageBox*>(modal)->button(QMessageBox::Yes)->click(); });
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.isVisible());
    // The worker was told to stop and has ended before the window went.
    EXPECT_TRUE(f.AbortRequested);
    EXPECT_FALSE(f.ScanRunning());
    const auto sink = deruzera::LogLines();
    ASSERT_GE(sink.size(), 2u);
    EXPECT_EQ(sink[sink.size() - 2].Text, "Scanning aborted by user");
}

#include "ScanRoadTest.moc"
