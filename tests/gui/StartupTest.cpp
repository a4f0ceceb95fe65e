// The window after start-up: its elements, the log view and the drive list.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest/QTest>
#include <thread>

#include "GuiFixture.h"
#include "EventLog.h"
#include "volume/Log.h"

using namespace gui_testing;
namespace platform = deruzera::platform;

namespace {

struct TPlace {
    const char* Name;
    const char* Parent;  // the element it is placed in, by name
    int X, Y, W, H;
};

// The layout: every element with a fixed place, relative to its parent.
const TPlace Places[] = {
    {"Panel4", "MainForm", 0, 0, 816, 41},         {"UpdateButton", "Panel4", 8, 8, 81, 25},
    {"Bevel1", "Panel4", 96, 8, 2, 26},            {"AnalizeButton", "Panel4", 104, 8, 81, 25},
    {"Bevel2", "Panel4", 192, 8, 2, 26},           {"SalvaneButton", "Panel4", 200, 8, 81, 25},
    {"SpeedButton1", "Panel4", 728, 8, 81, 25},    {"Panel1", "MainForm", 0, 41, 192, 524},
    {"Panel2", "Panel1", 0, 490, 192, 34},         {"DriveGrid", "Panel1", 0, 0, 192, 490},
    {"Splitter1", "MainForm", 192, 41, 2, 524},    {"Panel5", "MainForm", 194, 41, 622, 524},
    {"Main", "Panel5", 0, 0, 622, 436},            {"Image1", "Panel7", 0, 1, 622, 406},
    {"StartButton", "Panel7", 256, 288, 113, 33},  {"Gauge1", "Panel7", 48, 217, 529, 3},
    {"LogPanel", "Panel7", 0, 407, 622, 29},       {"Panel6", "Panel7", 48, 184, 529, 33},
    {"Panel8", "Panel7", 0, 0, 622, 1},            {"Splitter2", "Panel5", 0, 438, 622, 2},
    {"Note", "Panel5", 0, 440, 622, 84},           {"IconImage", "Panel3", 16, 16, 32, 32},
    {"FileNamePanel", "Panel3", 64, 12, 233, 17},  {"FileTypePanel", "Panel3", 64, 28, 345, 17},
    {"PathPanel", "Panel3", 101, 52, 508, 17},     {"Panel9", "Panel3", 64, 52, 32, 17},
    {"FileSizePanel", "Panel3", 360, 12, 89, 17},  {"Panel11", "Panel3", 304, 12, 49, 17},
    {"Panel10", "Panel3", 464, 12, 57, 17},        {"Panel12", "Panel3", 448, 28, 73, 17},
    {"CreationTimePanel", "Panel3", 528, 12, 81, 17}, {"ChangeTimePanel", "Panel3", 528, 28, 81, 17},
};

QColor TextColour(QWidget* w) {
    w->ensurePolished();
    return w->palette().color(w->foregroundRole());
}

QColor Background(QWidget* w) {
    // What the element shows where nothing is drawn over it.
    const QImage image = w->grab().toImage();
    return image.pixelColor(image.width() - 1, image.height() - 1);
}

}  // namespace

TEST_F(WindowTest, EveryElementSitsAtItsPlace) {
    TMainForm& f = MakeForm();
    // The first size is the layout's; the window may grow from it, never shrink.
    EXPECT_EQ(f.size(), QSize(816, 565));
    EXPECT_EQ(f.minimumSize(), QSize(816, 565));
    EXPECT_GT(f.maximumSize().width(), 816);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    // The details page must be laid out to measure its children.
    Child<QStackedWidget>(f, "Note")->setCurrentIndex(1);
    QApplication::processEvents();
    for (const TPlace& p : Places) {
        QWidget* w = Child<QWidget>(f, p.Name);
        QWidget* parent = QString(p.Parent) == "MainForm" ? &f : Child<QWidget>(f, p.Parent);
        ASSERT_TRUE(w && parent);
        const QPoint at = w->mapTo(parent, QPoint(0, 0));
        EXPECT_EQ(QRect(at, w->size()), QRect(p.X, p.Y, p.W, p.H)) << p.Name;
    }
}

TEST_F(WindowTest, StartupStateAndTexts) {
    TMainForm& f = MakeForm();
    EXPECT_EQ(f.windowTitle(), QString("NTFS Deruzera 1.3"));
    EXPECT_EQ(TMainForm::ApplicationTitle(), QString("NTFS Deruzera 1.3"));
    EXPECT_EQ(Child<QLabel>(f, "Panel6")->text(), QString::fromUtf8("Please select the drive and press «Scan Drive» button"));
    EXPECT_EQ(Child<QPushButton>(f, "StartButton")->text(), QString("Scan Drive"));
    EXPECT_EQ(Child<QToolButton>(f, "UpdateButton")->text(), QString("Update"));
    EXPECT_EQ(Child<QToolButton>(f, "AnalizeButton")->text(), QString("Scanning"));
    EXPECT_EQ(Child<QToolButton>(f, "SalvaneButton")->text(), QString("Recovery"));
    EXPECT_EQ(Child<QToolButton>(f, "SpeedButton1")->text(), QString("Support"));
    EXPECT_EQ(Child<QLabel>(f, "Panel9")->text(), QString("Path :"));
    EXPECT_EQ(Child<QLabel>(f, "Panel11")->text(), QString("File Size :"));
    EXPECT_EQ(Child<QLabel>(f, "Panel10")->text(), QString("Creation :"));
    EXPECT_EQ(Child<QLabel>(f, "Panel12")->text(), QString("Modification :"));
    EXPECT_TRUE(Child<QLabel>(f, "LogPanel")->text().isEmpty());
    EXPECT_EQ(Child<QProgressBar>(f, "Gauge1")->value(), 0);
    EXPECT_FALSE(Child<QProgressBar>(f, "Gauge1")->isTextVisible());

    EXPECT_FALSE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_TRUE(Child<QWidget>(f, "AnalizeButton")->isEnabled());
    EXPECT_TRUE(Child<QWidget>(f, "DriveGrid")->isEnabled());
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 0);
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 1);
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->widget(0)->windowTitle(), QString::fromUtf8("Список файлов"));
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->widget(1)->windowTitle(), QString::fromUtf8("Прогресс"));
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->widget(0)->windowTitle(), QString("Log"));
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->widget(1)->windowTitle(), QString("Recover"));

    // The progress page's picture is the stored 623 x 407 JPEG.
    const QPixmap picture = Child<QLabel>(f, "Image1")->pixmap();
    EXPECT_EQ(picture.size(), QSize(623, 407));
    EXPECT_EQ(Child<QToolButton>(f, "UpdateButton")->iconSize(), QSize(16, 16));
    EXPECT_FALSE(Child<QToolButton>(f, "UpdateButton")->icon().isNull());

    // Fonts by pixel height and weight; colours of the texts.
    EXPECT_EQ(Child<QWidget>(f, "Panel6")->font().pixelSize(), 13);
    EXPECT_TRUE(Child<QWidget>(f, "Panel6")->font().bold());
    EXPECT_EQ(Child<QWidget>(f, "StartButton")->font().pixelSize(), 13);
    EXPECT_TRUE(Child<QWidget>(f, "StartButton")->font().bold());
    EXPECT_EQ(Child<QWidget>(f, "FileNamePanel")->font().pixelSize(), 11);
    EXPECT_EQ(Child<QWidget>(f, "DriveGrid")->font().pixelSize(), 11);
    EXPECT_TRUE(Child<QWidget>(f, "Panel2")->font().underline());
    EXPECT_EQ(TextColour(Child<QWidget>(f, "FileNamePanel")), QColor("#0000FF"));
    EXPECT_EQ(TextColour(Child<QWidget>(f, "FileTypePanel")), QColor("#008000"));
    EXPECT_EQ(TextColour(Child<QWidget>(f, "Panel9")), QColor("#808080"));
    EXPECT_EQ(TextColour(Child<QWidget>(f, "Panel2")), QColor("#4B4B4B"));
    EXPECT_EQ(Background(Child<QWidget>(f, "Panel4")), QColor("#F0F0F0"));
    EXPECT_EQ(Background(Child<QWidget>(f, "LogPanel")), QColor("#FFFFE1"));
    EXPECT_EQ(Background(Child<QWidget>(f, "Panel8")), QColor("#00AEEF"));
    EXPECT_EQ(Child<QWidget>(f, "DriveGrid")->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(Child<QWidget>(f, "StartButton")->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(Child<QWidget>(f, "Splitter2")->cursor().shape(), Qt::SplitVCursor);
}

TEST_F(WindowTest, ResultGridStartsWithHeaderAndTwentyOneEmptyRowsThatCannotBeSelected) {
    TMainForm& f = MakeForm();
    auto* grid = Child<QTableView>(f, "ResultGrid");
    EXPECT_EQ(f.ResultGridRowCount(), 22);
    const char* headers[] = {" Filename", " Path", " Size", " Date Created", " Date Modified"};
    const int widths[] = {100, 200, 100, 100, 100};
    for (int c = 0; c < 5; ++c) {
        EXPECT_EQ(f.ResultGridCell(c, 0), QString(headers[c]));
        EXPECT_EQ(grid->columnWidth(c), widths[c]);
    }
    EXPECT_EQ(grid->verticalHeader()->defaultSectionSize(), 18);
    EXPECT_EQ(grid->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
    QAbstractItemModelTester tester(grid->model(), QAbstractItemModelTester::FailureReportingMode::Warning);
    for (int row = 1; row < 22; ++row) {
        EXPECT_TRUE(f.ResultGridCell(0, row).isEmpty());
        bool canSelect = true;
        f.ResultGridSelectCell(0, row, canSelect);
        EXPECT_FALSE(canSelect) << row;
    }
    // A click on an empty row leaves the grid without a current row.
    Child<QStackedWidget>(f, "Main")->setCurrentIndex(0);
    QApplication::processEvents();
    grid->setCurrentIndex(grid->model()->index(3, 0));
    EXPECT_EQ(f.ResultGridRow(), 0);
}

TEST_F(WindowTest, LogViewShowsEachLineInItsColour) {
    TMainForm& f = MakeForm();
    auto* memo = Child<QTextEdit>(f, "LogMemo");
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->lineWrapMode(), QTextEdit::NoWrap);
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    deruzera::LogMessage("This is a NTFS disk", deruzera::clGreen);
    deruzera::LogMessage("Error: Invalid handle value", deruzera::clRed);
    deruzera::LogMessage("", deruzera::clBlue);
    deruzera::LogMessage("  two\nlines  ", deruzera::clRed);
    deruzera::LogMessage("Preparing for recovery", deruzera::clBlack);
    const auto lines = ViewLines(memo);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(lines[0].Text.startsWith("Application was started at "));
    EXPECT_EQ(lines[0].Colour, QColor(Qt::black));
    EXPECT_EQ(lines[1].Text, QString("This is a NTFS disk"));
    EXPECT_EQ(lines[1].Colour, QColor("#008000"));
    EXPECT_EQ(lines[2].Colour, QColor("#FF0000"));
    EXPECT_EQ(lines[3].Text, QString());
    EXPECT_EQ(lines[3].Colour, QColor("#0000FF"));
    EXPECT_EQ(lines[4].Text, QString("  two"));
    EXPECT_EQ(lines[5].Text, QString("lines  "));
    EXPECT_EQ(lines[4].Colour, QColor("#FF0000"));
    EXPECT_EQ(lines[5].Colour, QColor("#FF0000"));
    EXPECT_EQ(lines[6].Colour, QColor(Qt::black));
    // The caret sits after the last line with nothing selected.
    EXPECT_TRUE(memo->textCursor().atEnd());
    EXPECT_FALSE(memo->textCursor().hasSelection());
}

TEST_F(WindowTest, LogViewScrollsToFollowNewLines) {
    TMainForm& f = MakeForm();
    auto* memo = Child<QTextEdit>(f, "LogMemo");
    for (int i = 0; i < 40; ++i) deruzera::LogMessage("line " + std::to_string(i), deruzera::clBlack);
    QApplication::processEvents();
    EXPECT_GT(memo->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());
}

TEST_F(WindowTest, LinesOfAnotherThreadArriveInOrderBeforeLaterOnes) {
    TMainForm& f = MakeForm();
    auto* memo = Child<QTextEdit>(f, "LogMemo");
    std::thread worker([] {
        for (int i = 0; i < 300; ++i) deruzera::LogMessage("worker " + std::to_string(i), deruzera::clGreen);
    });
    worker.join();
    // Written on the window's thread while the worker's lines are still
    // queued: it must come after them.
    deruzera::LogMessage("after", deruzera::clRed);
    ASSERT_TRUE(WaitUntil([&] { return ViewLines(memo).size() == 302; }, 10000));
    const auto lines = ViewLines(memo);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(lines[1 + i].Text, QString("worker %1").arg(i));
    EXPECT_EQ(lines[301].Text, QString("after"));
    EXPECT_EQ(lines[301].Colour, QColor("#FF0000"));
}

// ---- The drive list ----------------------------------------------------------

TEST_F(WindowTest, NoEligibleDriveLeavesHeaderAndOneEmptyRow) {
    queries = std::make_unique<TQueriesScope>(FakeQueries({{'D', platform::DriveFixed, "exFAT", true, 1 << 20}}));
    TMainForm& f = MakeForm();
    EXPECT_EQ(f.DriveGridRowCount(), 2);
    EXPECT_EQ(f.DriveGridCell(0, 0), QString(" Drive"));
    EXPECT_EQ(f.DriveGridCell(1, 0), QString(" Filesystem"));
    EXPECT_EQ(f.DriveGridCell(2, 0), QString(" Size"));
    EXPECT_TRUE(f.DriveGridCell(0, 1).isEmpty());
    auto* grid = Child<QTableWidget>(f, "DriveGrid");
    EXPECT_EQ(grid->columnWidth(0), 40);
    EXPECT_EQ(grid->columnWidth(1), 70);
    EXPECT_EQ(grid->columnWidth(2), 80);
    EXPECT_TRUE(f.SelectedDrive.empty());

    // Selecting the empty row chooses no drive, and says so.
    f.SelectDriveRow(1);
    EXPECT_EQ(f.SelectedDrive, "");
    EXPECT_EQ(Child<QLabel>(f, "LogPanel")->text(), QString("Current drive was changed to \\"));
}

TEST_F(WindowTest, OnlyNtfsDriveCShowsOneRow) {
    queries = std::make_unique<TQueriesScope>(FakeQueries({{'C', platform::DriveFixed, "NTFS", true, 500107862016}}));
    TMainForm& f = MakeForm();
    ASSERT_EQ(f.DriveGridRowCount(), 2);
    EXPECT_EQ(f.DriveGridCell(0, 1), QString(" C:"));
    EXPECT_EQ(f.DriveGridCell(1, 1), QString(" NTFS"));
    EXPECT_EQ(f.DriveGridCell(2, 1), SizeCell(500107862016));
    // The fill selects nothing.
    EXPECT_TRUE(f.SelectedDrive.empty());
    EXPECT_TRUE(Child<QLabel>(f, "LogPanel")->text().isEmpty());
}

TEST_F(WindowTest, DriveListKeepsOnlyFixedAndRemovableFatAndNtfsInLetterOrder) {
    queries = std::make_unique<TQueriesScope>(FakeQueries({
        {'A', platform::DriveRemovable, "FAT", true, 1474560},   // never considered
        {'B', platform::DriveFixed, "NTFS", true, 1 << 30},      // never considered
        {'Z', platform::DriveFixed, "NTFS", true, -1},           // size unreadable
        {'E', 4, "NTFS", true, 1 << 30},                         // network
        {'F', 5, "FAT", true, 1 << 20},                          // optical
        {'H', 6, "FAT32", true, 1 << 20},                        // RAM disk
        {'I', platform::DriveFixed, "exFAT", true, 1 << 20},
        {'J', platform::DriveFixed, "ntfs", true, 1 << 20},      // names are case-sensitive
        {'K', platform::DriveFixed, "NTFS ", true, 1 << 20},
        {'L', platform::DriveRemovable, "NTFS", false, -1},      // no medium: neither name nor size
        {'M', platform::DriveFixed, "UDF", true, 1 << 20},
        {'G', platform::DriveFixed, "FAT", true, 1536},
        {'D', platform::DriveRemovable, "FAT32", true, 1073741824},
    }));
    TMainForm& f = MakeForm();
    ASSERT_EQ(f.DriveGridRowCount(), 4);
    EXPECT_EQ(f.DriveGridCell(0, 1), QString(" D:"));
    EXPECT_EQ(f.DriveGridCell(1, 1), QString(" FAT32"));
    EXPECT_EQ(f.DriveGridCell(2, 1), QString(" 1 Gb"));
    EXPECT_EQ(f.DriveGridCell(0, 2), QString(" G:"));
    EXPECT_EQ(f.DriveGridCell(1, 2), QString(" FAT"));
    EXPECT_EQ(f.DriveGridCell(2, 2), SizeCell(1536));
    EXPECT_EQ(f.DriveGridCell(0, 3), QString(" Z:"));
    EXPECT_EQ(f.DriveGridCell(2, 3), QString(" -1 b"));
}

TEST_F(WindowTest, SelectingADriveSetsItAndSaysSoOnlyWhileTheListIsEnabled) {
    queries = std::make_unique<TQueriesScope>(FakeQueries({{'C', platform::DriveFixed, "NTFS", true, 1 << 30},
                                                          {'E', platform::DriveRemovable, "FAT", true, 1 << 20}}));
    TMainForm& f = MakeForm();
    f.SelectDriveRow(2);
    EXPECT_EQ(f.SelectedDrive, "E:");
    EXPECT_EQ(Child<QLabel>(f, "LogPanel")->text(), QString("Current drive was changed to E:\\"));
    // A click on the row that is current already selects it again.
    auto* view = Child<QTableWidget>(f, "DriveGrid");
    Child<QLabel>(f, "LogPanel")->clear();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(1, 0)).center());
    EXPECT_EQ(Child<QLabel>(f, "LogPanel")->text(), QString("Current drive was changed to E:\\"));

    // While the list is disabled a selection records the drive and nothing else.
    auto* grid = Child<QTableWidget>(f, "DriveGrid");
    grid->setEnabled(false);
    Child<QLabel>(f, "LogPanel")->clear();
    bool canSelect = true;
    f.DriveGridSelectCell(0, 1, canSelect);
    EXPECT_EQ(f.SelectedDrive, "C:");
    EXPECT_TRUE(canSelect);
    EXPECT_TRUE(Child<QLabel>(f, "LogPanel")->text().isEmpty());
    grid->setEnabled(true);

    // A refused selection changes the drive but writes no status.
    canSelect = false;
    f.DriveGridSelectCell(0, 2, canSelect);
    EXPECT_EQ(f.SelectedDrive, "E:");
    EXPECT_FALSE(canSelect);
    EXPECT_TRUE(Child<QLabel>(f, "LogPanel")->text().isEmpty());
}

TEST_F(WindowTest, SplittersMoveTheBordersOfTheirPanels) {
    TMainForm& f = MakeForm();
    auto drag = [](QWidget* bar, QPoint by) {
        const QPoint from = bar->rect().center();
        const QPoint fromGlobal = bar->mapToGlobal(from);
        QMouseEvent press(QEvent::MouseButtonPress, from, fromGlobal, Qt::LeftButton, Qt::LeftButton, {});
        QApplication::sendEvent(bar, &press);
        QMouseEvent move(QEvent::MouseMove, from + by, fromGlobal + by, Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(bar, &move);
        QMouseEvent release(QEvent::MouseButtonRelease, from + by, fromGlobal + by, Qt::LeftButton, Qt::NoButton, {});
        QApplication::sendEvent(bar, &release);
    };
    drag(Child<QWidget>(f, "Splitter1"), QPoint(50, 0));
    EXPECT_EQ(Child<QWidget>(f, "Panel1")->width(), 242);
    EXPECT_EQ(Child<QWidget>(f, "DriveGrid")->width(), 242);
    EXPECT_EQ(Child<QWidget>(f, "Panel2")->geometry(), QRect(0, 490, 242, 34));
    EXPECT_EQ(Child<QWidget>(f, "Splitter1")->x(), 242);
    EXPECT_EQ(Child<QWidget>(f, "Panel5")->geometry(), QRect(244, 41, 572, 524));
    EXPECT_EQ(Child<QWidget>(f, "Main")->size(), QSize(622, 436));  // not aligned: keeps its size

    // Dragging up makes the lower notebook taller, over the upper one.
    drag(Child<QWidget>(f, "Splitter2"), QPoint(0, -100));
    EXPECT_EQ(Child<QWidget>(f, "Note")->geometry(), QRect(0, 340, 572, 184));
    EXPECT_EQ(Child<QWidget>(f, "Splitter2")->geometry(), QRect(0, 338, 572, 2));
    // Neither side gets smaller than 30 pixels.
    drag(Child<QWidget>(f, "Splitter1"), QPoint(-500, 0));
    EXPECT_EQ(Child<QWidget>(f, "Panel1")->width(), 30);
}
