// The window on builder images as a user drives it: the keyboard through
// the selection and the recovery of exactly what is highlighted, the
// preview and what it reads, a window that grows and remembers its size,
// streams and further names in the details, a drive that can't be read,
// the export of the list, and the paths the window and the companion give.
#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest/QTest>
#include <atomic>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "EventLog.h"
#include "GuiFixture.h"
#include "Preview.h"
#include "ResultGrid.h"
#include "ResultModel.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "volume/Messages.h"

using namespace gui_testing;
namespace platform = deruzera::platform;
namespace fs = std::filesystem;

namespace {

// Counts the bytes every device the window opens is asked for.
class TCountingDevice final : public deruzera::TDevice {
public:
    TCountingDevice(std::shared_ptr<deruzera::TDevice> inner, std::atomic<std::uint64_t>& read)
        : inner_(std::move(inner)), read_(read) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const std::int64_t got = inner_->ReadAt(offset, buffer, count);
        if (got > 0) read_ += static_cast<std::uint64_t>(got);
        return got;
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    std::shared_ptr<deruzera::TDevice> inner_;
    std::atomic<std::uint64_t>& read_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class WindowRoadTest : public WindowTest {
protected:
    // Builds `plan` (with $WORK standing for this test's folder) or skips.
    bool Build(const std::string& name, std::string plan) {
        work = WorkDirectory(name);
        for (std::size_t at; (at = plan.find("$WORK")) != std::string::npos;) plan.replace(at, 5, work);
        image = work + "/volume.img";
        std::string why;
        return BuildImage(plan, image, manifest, why);
    }
    TMainForm& Scanned() {
        MapImages({image});
        queries = std::make_unique<TQueriesScope>(platform::DriveMapQueries());
        TMainForm& f = MakeForm();
        f.OpenDevice = [this](const std::string& drive) {
            deruzera::TDeviceAccess access = platform::OpenMappedDrive(drive);
            if (access.Device) access.Device = std::make_shared<TCountingDevice>(std::move(access.Device), read);
            return access;
        };
        f.SelectDriveRow(1);
        Child<QPushButton>(f, "StartButton")->click();
        EXPECT_TRUE(WaitUntil([&] { return !f.ScanRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; }));
        model = f.ResultModel();
        grid = Child<TResultGrid>(f, "ResultGrid");
        return f;
    }
    int RowOf(const std::string& name) {
        for (int row = 1; row <= model->ShownCount(); ++row)
            if (model->EntryName(static_cast<std::uint32_t>(model->EntryAt(row))) == name) return row;
        return -1;
    }
    std::string NameAt(int row) { return std::string(model->EntryName(static_cast<std::uint32_t>(model->EntryAt(row)))); }
    std::vector<std::string> SelectedNames() {
        std::vector<std::string> names;
        for (int row : form->SelectedResultRows()) names.push_back(NameAt(row));
        return names;
    }
    const TManifestRow& Row(const std::string& path) {
        for (const auto& row : manifest)
            if (row.Path == path) return row;
        ADD_FAILURE() << "no " << path << " in the manifest";
        return manifest.front();
    }
    QString Text(const char* label) { return Child<QLabel>(*form, label)->text(); }
    void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(grid, static_cast<Qt::Key>(key), modifiers);
        QApplication::processEvents();
    }
    // The preview of `row`'s file once it is made.
    const TPreview& PreviewOf(int row) {
        static const TPreview none;
        if (row < 1) {
            ADD_FAILURE() << "no such row";
            return none;
        }
        form->SelectResultRow(row);
        const std::int64_t record = model->FileAt(row)->Record;
        EXPECT_TRUE(WaitUntil([&] { return !form->Preview()->Busy() && form->Preview()->Shown().Record == record; }));
        return form->Preview()->Shown();
    }

    std::string work, image;
    std::vector<TManifestRow> manifest;
    std::atomic<std::uint64_t> read{0};
    TResultModel* model = nullptr;
    TResultGrid* grid = nullptr;
};

const char* const FilesPlan = R"(format 32M cluster=4096
file /Docs/alpha.bin 3K seed=1
file /Docs/beta.bin 5K seed=2
file /Docs/gamma.bin 7K seed=3
file /Docs/delta.bin 9K seed=4
file /Docs/omega.bin 11K seed=5
delete /Docs/alpha.bin
delete /Docs/beta.bin
delete /Docs/gamma.bin
delete /Docs/delta.bin
delete /Docs/omega.bin
)";

}  // namespace

TEST_F(WindowRoadTest, TheKeyboardMovesTheSelectionAndRecoveryTakesExactlyWhatIsHighlighted) {
    if (!Build("keyboard", FilesPlan)) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    ASSERT_EQ(model->ShownCount(), 5);
    f.activateWindow();
    grid->setFocus();

    // A click on row 2, then Ctrl+End: the last row is current, the only
    // one selected, and the details are its file's.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(model->index(1, 0)).center());
    Key(Qt::Key_End, Qt::ControlModifier);
    const std::string last = NameAt(5);
    EXPECT_EQ(f.ResultGridRow(), 5);
    EXPECT_EQ(SelectedNames(), std::vector<std::string>{last});
    EXPECT_EQ(Text("FileNamePanel").toStdString(), last);
    // Ctrl+R recovers that one: the save dialog proposes it and it is
    // written with its own bytes and time.
    QString proposed;
    const std::string out = work + "/out-last.bin";
    AnswerSaveDialog(out, &proposed);
    Key(Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(QFileInfo(proposed).fileName().toStdString(), last);
    const TManifestRow& lastRow = Row("/Docs/" + last);
    EXPECT_EQ(FileSha256(out), lastRow.Sha256);
    const std::string time = IstatModified(image, lastRow.Record);
    if (!time.empty()) {
        EXPECT_EQ(FileModified(out), time);
    }

    // Ctrl+Home: the first, alone; Enter recovers it (cancelled here).
    Key(Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(SelectedNames(), std::vector<std::string>{NameAt(1)});
    EXPECT_EQ(Text("FileNamePanel").toStdString(), NameAt(1));
    AnswerSaveDialog({}, &proposed);
    Key(Qt::Key_Return);
    EXPECT_EQ(QFileInfo(proposed).fileName().toStdString(), NameAt(1));

    // Shift+Down: two selected, the details count them and their size, and
    // Enter recovers both into a folder.
    Key(Qt::Key_Down, Qt::ShiftModifier);
    ASSERT_EQ(SelectedNames().size(), 2u);
    EXPECT_EQ(Text("FileNamePanel"), QString("2 files selected"));
    const std::int64_t both = model->FileAt(1)->FileSize + model->FileAt(2)->FileSize;
    EXPECT_EQ(QLatin1Char(' ') + Text("FileSizePanel"), SizeCell(both));
    const std::string folder = WorkDirectory("keyboard-two");
    AnswerFolderDialog(folder);
    Key(Qt::Key_Enter);
    ASSERT_TRUE(WaitUntil([&] { return !f.BatchRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; }));
    for (int row : {1, 2}) EXPECT_EQ(FileSha256(folder + "/Docs/" + NameAt(row)), Row("/Docs/" + NameAt(row)).Sha256);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder + "/Docs"), fs::directory_iterator{}), 2);

    // Ctrl+click takes the current row out of the two: the other one is
    // then current and alone in the details; the current row is never one
    // that is not selected.
    const QModelIndex current = grid->currentIndex();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::ControlModifier, grid->visualRect(current).center());
    ASSERT_EQ(SelectedNames().size(), 1u);
    EXPECT_EQ(NameAt(f.ResultGridRow()), SelectedNames().front());
    EXPECT_EQ(Text("FileNamePanel").toStdString(), SelectedNames().front());

    // A double click recovers the row clicked.
    AnswerSaveDialog({}, &proposed);
    const QPoint cell = grid->visualRect(model->index(3, 1)).center();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell);  // a double click's first press
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell);
    EXPECT_EQ(QFileInfo(proposed).fileName().toStdString(), NameAt(4));

    // Shift+F10 opens the row's menu, where Recovery shows its key.
    Key(Qt::Key_F10, Qt::ShiftModifier);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    auto* recover = f.findChild<QAction*>(QStringLiteral("RecoverAction"));
    ASSERT_NE(recover, nullptr);
    EXPECT_TRUE(menu->actions().contains(recover));
    EXPECT_EQ(recover->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    menu->close();

    // Tab leaves the list.
    grid->setFocus();
    Key(Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), grid);

    // A search that leaves nothing: nothing is selected, Recovery is off,
    // and its key does nothing.
    Child<QLineEdit>(f, "SearchEdit")->setText(QStringLiteral("no such name"));
    EXPECT_EQ(model->ShownCount(), 0);
    EXPECT_FALSE(Child<QToolButton>(f, "SalvaneButton")->isEnabled());
    const std::size_t lines = deruzera::LogLines().size();
    Key(Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(deruzera::LogLines().size(), lines);
}

TEST_F(WindowRoadTest, ThePreviewShowsPicturesTextAndHexAndReadsNoMoreThanItShows) {
    // The files to preview, made here: a photo, a drawing, UTF-16 and UTF-8
    // text, a program's bytes and a large file of them.
    const std::string host = WorkDirectory("preview-host");
    QImage photo(96, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x) photo.setPixel(x, y, qRgb(x * 2, y * 3, 120));
    ASSERT_TRUE(photo.save(QString::fromStdString(host + "/photo.jpg"), "JPG", 90));
    QImage drawing(40, 30, QImage::Format_ARGB32);
    drawing.fill(Qt::transparent);
    for (int x = 5; x < 35; ++x) drawing.setPixel(x, 15, qRgb(200, 0, 0));
    ASSERT_TRUE(drawing.save(QString::fromStdString(host + "/drawing.png"), "PNG"));
    const QString utf16Text = QString::fromUtf8("Notes in UTF-16: Σημειώσεις, заметки, 备忘录.\r\n");
    {
        QFile file(QString::fromStdString(host + "/notes.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("\xFF\xFE", 2);
        file.write(reinterpret_cast<const char*>(utf16Text.utf16()), utf16Text.size() * 2);
    }
    std::string plan = "format 32M cluster=4096\n"
                       "copy /Pictures/photo.jpg " + host + "/photo.jpg\n"
                       "copy /Pictures/drawing.png " + host + "/drawing.png\n"
                       "copy /Docs/notes.txt " + host + "/notes.txt\n"
                       "text /Docs/plain.txt Plain UTF-8 text: naïve café\\n\n"
                       "file /Bin/tool.bin 64K seed=7\n"
                       "file /Bin/large.bin 2M seed=8\n"
                       "text /Bin/spare.txt a record for the file made below\n"
                       "file /Bin/spoilt.bin 40K seed=9\n";
    // The file that takes spoilt.bin's first clusters is made before the
    // others are deleted: the driver hands it the lowest freed record,
    // spare.txt's, not spoilt.bin's.
    plan += "delete /Bin/spare.txt\ndelete /Bin/spoilt.bin\noverwrite /Bin/spoilt.bin 8K /Bin/new.bin seed=10\n";
    for (const char* path : {"/Pictures/photo.jpg", "/Pictures/drawing.png", "/Docs/notes.txt", "/Docs/plain.txt",
                             "/Bin/tool.bin", "/Bin/large.bin"})
        plan += "delete " + std::string(path) + "\n";
    if (!Build("preview", plan)) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    f.resize(1400, 800);  // room for the preview beside the details
    QApplication::processEvents();
    ASSERT_TRUE(f.Preview()->isVisible());
    // The record read to plan the look, and at most the bytes shown.
    const std::uint64_t record = 4096;
    auto expectRead = [&](std::uint64_t shown) { EXPECT_LE(read.load(), record + shown); };

    read = 0;
    const TPreview& jpeg = PreviewOf(RowOf("photo.jpg"));
    EXPECT_EQ(jpeg.Kind, TPreview::Picture);
    EXPECT_EQ(jpeg.Image.size(), QSize(96, 64));
    expectRead(fs::file_size(host + "/photo.jpg"));

    read = 0;
    const TPreview& png = PreviewOf(RowOf("drawing.png"));
    EXPECT_EQ(png.Kind, TPreview::Picture);
    EXPECT_EQ(png.Image.convertToFormat(QImage::Format_ARGB32), drawing);
    expectRead(fs::file_size(host + "/drawing.png"));

    read = 0;
    const TPreview& utf16 = PreviewOf(RowOf("notes.txt"));
    EXPECT_EQ(utf16.Kind, TPreview::Text);
    EXPECT_EQ(utf16.Encoding, QString("UTF-16LE"));
    EXPECT_EQ(utf16.Content, utf16Text);

    const TPreview& utf8 = PreviewOf(RowOf("plain.txt"));
    EXPECT_EQ(utf8.Kind, TPreview::Text);
    EXPECT_EQ(utf8.Content, QString::fromUtf8("Plain UTF-8 text: naïve café\n"));

    // A program's bytes: the first page in hex, and nothing more read of a
    // file of 64 KiB or of 2 MiB.
    for (const char* name : {"tool.bin", "large.bin"}) {
        read = 0;
        const TPreview& hex = PreviewOf(RowOf(name));
        EXPECT_EQ(hex.Kind, TPreview::Hex) << name;
        EXPECT_EQ(hex.BytesShown, PreviewHeadBytes) << name;
        expectRead(PreviewHeadBytes);
        EXPECT_EQ(hex.Content.count(QLatin1Char('\n')), static_cast<int>(PreviewHeadBytes / 16)) << name;
        // Its first line is the file's first bytes, as The Sleuth Kit reads them.
        QProcess icat;
        icat.start(QStringLiteral("icat"), {QString::fromStdString(image),
                                            QString::number(model->FileAt(RowOf(name))->Record)});
        if (icat.waitForFinished(30000) && icat.exitCode() == 0) {
            const QByteArray first = icat.readAllStandardOutput().left(16);
            EXPECT_EQ(hex.Content.section(QLatin1Char('\n'), 0, 0),
                      preview::HexLines(std::vector<std::uint8_t>(first.begin(), first.end()), 0, {}).trimmed())
                << name;
        }
    }

    // A file others wrote over says so above what would come back: its
    // first 8 KiB are new.bin's, so all of the page shown.
    const TPreview& spoilt = PreviewOf(RowOf("spoilt.bin"));
    EXPECT_EQ(spoilt.Kind, TPreview::Hex);
    EXPECT_TRUE(spoilt.Banner.startsWith(QString::fromUtf8(PreviewPartlyOverwrittenText).section(QLatin1Char('%'), 0, 0) +
                                         QStringLiteral("0 to 4095")))
        << spoilt.Banner.toStdString();
    EXPECT_TRUE(PreviewOf(RowOf("tool.bin")).Banner.isEmpty());

    // The selection moving on cancels the look at the last file: the pane
    // shows the file selected last.
    f.SelectResultRow(RowOf("large.bin"));
    f.SelectResultRow(RowOf("photo.jpg"));
    f.SelectResultRow(RowOf("notes.txt"));
    const std::int64_t notes = model->FileAt(RowOf("notes.txt"))->Record;
    ASSERT_TRUE(WaitUntil([&] { return !f.Preview()->Busy(); }));
    EXPECT_EQ(f.Preview()->Shown().Record, notes);
}

TEST_F(WindowRoadTest, TheWindowGrowsFromItsFirstSizeAndRemembersItsSizeAndColumns) {
    if (!Build("grow", FilesPlan)) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    auto* header = grid->horizontalHeader();
    const QSize listFirst = Child<QWidget>(f, "Main")->size();
    const int noteFirst = Child<QWidget>(f, "Note")->height();
    f.resize(1216, 865);
    QApplication::processEvents();
    // The list, the details and the log take the room: the list the width
    // and two thirds of the height, the lower notebook the rest.
    EXPECT_EQ(Child<QWidget>(f, "Main")->width(), listFirst.width() + 400);
    EXPECT_EQ(Child<QWidget>(f, "Main")->height(), listFirst.height() + 200);
    EXPECT_EQ(Child<QWidget>(f, "Note")->height(), noteFirst + 100);
    EXPECT_EQ(header->sectionSize(TResultModel::ColPath), 200 + 400 - 400 / 3);
    EXPECT_EQ(header->sectionSize(TResultModel::ColFileName), 100 + 400 / 3);
    EXPECT_EQ(Child<QWidget>(f, "SpeedButton1")->x(), 728 + 400);
    // The preview takes the details page's new room, right of its fields.
    EXPECT_TRUE(f.Preview()->isVisible());
    EXPECT_EQ(f.Preview()->geometry().left(), 622);
    EXPECT_EQ(f.Preview()->geometry().right(), Child<QWidget>(f, "Panel3")->width() - 7);

    // The user widens the size column; the window's size and the widths
    // chosen open the next window.
    header->resizeSection(TResultModel::ColSize, 160);
    f.SaveSettings();
    form.reset();
    TMainForm& again = MakeForm();
    EXPECT_EQ(again.size(), QSize(1216, 865));
    auto* header2 = Child<QTableView>(again, "ResultGrid")->horizontalHeader();
    EXPECT_EQ(header2->sectionSize(TResultModel::ColSize), 160);
    EXPECT_EQ(header2->sectionSize(TResultModel::ColPath), 200 + 400 - 400 / 3);
    // It never gets smaller than its first size.
    again.resize(600, 400);
    QApplication::processEvents();
    EXPECT_EQ(again.size(), QSize(816, 565));
}

TEST_F(WindowRoadTest, StreamsAndFurtherNamesShowInTheDetails) {
    if (!Build("streams-details", R"(format 16M cluster=4096
text /Downloads/setup.exe MZ a small program\n
stream /Downloads/setup.exe Zone.Identifier [ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://example.org/setup.exe\r\n
text /Docs/original.txt one record, two names\n
link /Docs/original.txt /Other/second-name.txt
delete /Downloads/setup.exe
delete-in-place /Docs/original.txt
)"))
        GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    f.resize(1000, 760);
    f.SelectResultRow(RowOf("setup.exe"));
    EXPECT_TRUE(Text("StreamsPanel").startsWith(QStringLiteral("Zone.Identifier (")));
    EXPECT_TRUE(Child<QLabel>(f, "ZonePanel")->property(FullTextProperty).toString().contains(
        QStringLiteral("HostUrl=https://example.org/setup.exe")));
    EXPECT_TRUE(Text("NamesPanel").isEmpty());
    const int linked = RowOf("original.txt") > 0 ? RowOf("original.txt") : RowOf("second-name.txt");
    f.SelectResultRow(linked);
    const QString other = NameAt(linked) == "original.txt" ? "C:\\Other\\second-name.txt" : "C:\\Docs\\original.txt";
    EXPECT_EQ(Child<QLabel>(f, "NamesPanel")->property(FullTextProperty).toString(), other);
    EXPECT_TRUE(Text("StreamsPanel").isEmpty());
}

TEST_F(WindowRoadTest, ADriveThatCanNotBeReadIsListedWithItsSizeAndItsScanSaysWhy) {
    queries = std::make_unique<TQueriesScope>(FakeQueries({{'C', platform::DriveFixed, "NTFS", true, 1 << 30},
                                                           {'D', platform::DriveFixed, "", false, 1LL << 30}}));
    TMainForm& f = MakeForm();
    ASSERT_EQ(f.DriveGridRowCount(), 3);
    EXPECT_EQ(f.DriveGridCell(0, 2), QString(" D:"));
    EXPECT_EQ(f.DriveGridCell(1, 2), QString(" ?"));
    EXPECT_EQ(f.DriveGridCell(2, 2), SizeCell(1LL << 30));
    // As the udisks2-less machine answers a user who may not read it.
    deruzera::TDeviceAccess refused;
    refused.Failure = deruzera::TAccessFailure::PermissionDenied;
    refused.Path = "/dev/sdz1";
    refused.BlockDevice = true;
    f.OpenDevice = [refused](const std::string&) { return refused; };
    f.SelectDriveRow(2);
    Child<QPushButton>(f, "StartButton")->click();
    ASSERT_TRUE(WaitUntil([&] { return !f.ScanRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; }));
    const std::vector<deruzera::TLogLine> expected = deruzera::OpenFailedLines(refused);
    ASSERT_EQ(expected.size(), 2u);  // the refusal, and why with what to do
    const auto lines = ViewLines(Child<QTextEdit>(f, "LogMemo"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].Text.toStdString(), expected[0].Text);
    EXPECT_EQ(lines.back().Text.toStdString(), expected[1].Text);
    EXPECT_EQ(lines.back().Colour, QColor(0xFF, 0, 0));
}

TEST_F(WindowRoadTest, TheListIsExportedAsShownAndTheWindowAndTheCompanionAgreeOnEveryPath) {
    // A folder whose name libntfs-3g moves to an extension record, among others.
    std::string plan = "format 32M cluster=4096\nmkdir /Deep/Big\ntext /Deep/Big/inside.txt the file\\n\n";
    for (int i = 0; i < 6; ++i) plan += "stream /Deep/Big s" + std::to_string(i) + " " + std::string(150, 'x') + "\n";
    plan += "text /Deep/Big/gone.txt bye\\n\nfile /Deep/Big/more.bin 9K seed=2\nbulk 4 400 20 3 0.5 1\n"
            "delete /Deep/Big/gone.txt\ndelete /Deep/Big/more.bin\n";
    if (!Build("agree", plan)) GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    ASSERT_GT(model->ShownCount(), 100);

    // Every file: the window's path and the companion's, by record.
    std::map<std::int64_t, std::string> window;
    for (int row = 1; row <= model->ShownCount(); ++row) {
        const auto entry = static_cast<std::uint32_t>(model->EntryAt(row));
        window[model->EntryFile(entry).Record] = std::string(model->EntryPath(entry));
    }
    QProcess cli;
    cli.start(QStringLiteral(DERUZERA_CLI), {QStringLiteral("scan"), QStringLiteral("--format"), QStringLiteral("csv"),
                                              QString::fromStdString(image)});
    ASSERT_TRUE(cli.waitForFinished(60000));
    std::map<std::int64_t, std::string> companion;
    std::istringstream csv(cli.readAllStandardOutput().toStdString());
    std::string line;
    std::getline(csv, line);  // the header
    while (std::getline(csv, line)) {
        // record,offset,"name","path",...: names here hold no quotes.
        const auto firstQuote = line.find('"');
        const auto nameEnd = line.find('"', firstQuote + 1);
        const auto pathStart = line.find('"', nameEnd + 1);
        companion[std::stoll(line)] = line.substr(pathStart + 1, line.find('"', pathStart + 1) - pathStart - 1);
    }
    EXPECT_EQ(window, companion);
    EXPECT_EQ(window[Row("/Deep/Big/gone.txt").Record], "C:\\Deep\\Big\\");

    // The export of the rows shown: the search's, in the list's order.
    Child<QLineEdit>(f, "SearchEdit")->setText(QStringLiteral("Deep"));
    ASSERT_EQ(model->ShownCount(), 2);
    const QString exported = QString::fromStdString(work + "/list.csv");
    ASSERT_TRUE(f.ExportListTo(exported, QStringLiteral("csv")));
    std::istringstream rows(ReadFile(exported.toStdString()));
    std::vector<std::string> lines;
    for (std::string row; std::getline(rows, row);) lines.push_back(row);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("record,offset,name,path,size,", 0), 0u);
    for (int row = 1; row <= 2; ++row)
        EXPECT_EQ(std::stoll(lines[static_cast<std::size_t>(row)]), model->FileAt(row)->Record);
    const QString body = QString::fromStdString(work + "/list.body");
    ASSERT_TRUE(f.ExportListTo(body, QStringLiteral("bodyfile")));
    EXPECT_NE(ReadFile(body.toStdString()).find("|C:/Deep/Big/gone.txt (deleted)|"), std::string::npos);
}

TEST_F(WindowRoadTest, NamesThatWouldReorderARowShowAsTheCompanionShowsThem) {
    // A right-to-left override makes "evil<RLO>txt.exe" read "evilexe.txt";
    // a C1 control (NEL) in a folder's name; an isolate in a stream's name.
    if (!Build("bidi", "format 16M cluster=4096\n"
                       "text /Odd\u0085dir/evil\u202Etxt.exe MZ\\n\n"
                       "stream /Odd\u0085dir/evil\u202Etxt.exe note\u2066x a stream\n"
                       "text /Odd\u0085dir/plain.txt plain\\n\n"
                       "delete /Odd\u0085dir/evil\u202Etxt.exe\n"
                       "delete /Odd\u0085dir/plain.txt\n"))
        GTEST_SKIP() << "deruzera-mkimage is not available";
    TMainForm& f = Scanned();
    f.resize(1000, 760);
    const int evil = RowOf("evil\u202Etxt.exe");
    ASSERT_GT(evil, 0);
    EXPECT_EQ(model->Cell(TResultModel::ColFileName, evil), QString(" evil_txt.exe"));
    EXPECT_EQ(model->Cell(TResultModel::ColPath, evil), QString(" C:\\Odd_dir\\"));
    EXPECT_EQ(model->Cell(TResultModel::ColPath, RowOf("plain.txt")), QString(" C:\\Odd_dir\\"));
    const QString tip = model->index(evil - 1, TResultModel::ColPath).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(QStringLiteral("Odd_dir")) && tip.contains(QStringLiteral("evil_txt.exe"))) << tip.toStdString();
    EXPECT_FALSE(tip.contains(QChar(0x202E)) || tip.contains(QChar(0x85)));
    f.SelectResultRow(evil);
    EXPECT_EQ(Text("FileNamePanel"), QString("evil_txt.exe"));
    EXPECT_EQ(Text("PathPanel"), QString("C:\\Odd_dir\\"));
    EXPECT_TRUE(Text("StreamsPanel").startsWith(QStringLiteral("note_x (")));

    // The companion's listing of the same files: the same name and path.
    QProcess cli;
    cli.start(QStringLiteral(DERUZERA_CLI), {QStringLiteral("scan"), QString::fromStdString(image)});
    ASSERT_TRUE(cli.waitForFinished(60000));
    const QString listed = QString::fromUtf8(cli.readAllStandardOutput());
    EXPECT_TRUE(listed.contains(QStringLiteral("C:\\Odd_dir\\\tevil_txt.exe"))) << listed.toStdString();
    EXPECT_FALSE(listed.contains(QChar(0x202E)));
}
