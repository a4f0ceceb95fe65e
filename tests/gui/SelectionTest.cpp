// Result rows and their details, and the failure box.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QStackedWidget>
#include <QTableView>
#include <QToolButton>
#include <QtTest/QTest>

#include "GuiFixture.h"
#include "volume/Device.h"
#include "volume/Device.h"
#include "volume/Records.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

using namespace gui_testing;

namespace {

struct TListed {
    std::string Name;
    std::int64_t Size = 0;
};
TListed Found(const std::string& name, std::int64_t size) { return {name, size}; }

constexpr std::uint64_t Epoch1970 = 116444736000000000ull;
constexpr std::uint64_t Second = 10000000ull;

// The results of a scan of drive C: that found `files` in C:\Docs, created
// 07.12.26 06:24 and changed 08.12.26 10:00 (UTC), read from `device`.
std::shared_ptr<deruzera::TScanResults> ResultsOf(const std::vector<TListed>& files,
                                                  std::shared_ptr<deruzera::TDevice> device = nullptr) {
    auto results = std::make_shared<deruzera::TScanResults>();
    deruzera::TVolume geometry;
    geometry.CurrentDrive = "C:";
    geometry.FileRecordSize = 1024;
    geometry.MFTOffset = 16384;
    results->Volume = std::make_shared<deruzera::TNtfsVolume>(std::move(device), geometry);
    results->Volume->SetScanned();
    results->Volume->Directories().Add(20, 5, "Docs");
    std::int64_t record = 30;
    for (const TListed& listed : files) {
        deruzera::TFoundFiles f;
        f.Record = record++;
        f.ParentRecord = 20;
        f.FileSize = listed.Size;
        f.Created = Epoch1970 + 1796624640ull * Second;
        f.Modified = Epoch1970 + 1796724000ull * Second;
        results->Files.Add(f, listed.Name);
    }
    return results;
}

QString GenericComment() {
    return QMimeDatabase().mimeTypeForName(QStringLiteral("application/octet-stream")).comment();
}

class ResultsTest : public WindowTest {
protected:
    // A window showing the results of a scan that found `files`.
    void SetUp() override {
        WindowTest::SetUp();
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    TMainForm& Listed(const std::vector<TListed>& files, std::shared_ptr<deruzera::TDevice> device = nullptr) {
        TMainForm& f = MakeForm();
        f.Results = ResultsOf(files, std::move(device));
        f.ScanFinished();
        QApplication::processEvents();
        return f;
    }
    QString Text(const char* name) { return Child<QLabel>(*form, name)->text(); }
    bool HasIcon() {
        const QPixmap p = Child<QLabel>(*form, "IconImage")->pixmap();
        return !p.isNull();
    }
};

}  // namespace

TEST_F(ResultsTest, ScanFinishedListsRowsWithOneLeadingBlankAndShowsRowOne) {
    TMainForm& f = Listed({Found("report.txt", 1536), Found("README", 0), Found("archive.tar.gz", 1023)});
    EXPECT_EQ(f.ResultGridRowCount(), 4);
    EXPECT_EQ(f.ResultGridCell(0, 1), QString(" report.txt"));
    EXPECT_EQ(f.ResultGridCell(1, 1), QString(" C:\\Docs\\"));
    EXPECT_EQ(f.ResultGridCell(2, 1), SizeCell(1536));
    EXPECT_EQ(f.ResultGridCell(3, 1), QString(" 07.12.26 06:24"));
    EXPECT_EQ(f.ResultGridCell(4, 1), QString(" 08.12.26 10:00"));
    EXPECT_EQ(f.ResultGridCell(2, 3), QString(" 1023 b"));
    EXPECT_EQ(f.ResultGridRow(), 1);

    // Results: the list and the details in view, recovery possible.
    EXPECT_EQ(Child<QStackedWidget>(f, "Main")->currentIndex(), 0);
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 1);
    EXPECT_TRUE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_EQ(Text("FileNamePanel"), QString("report.txt"));
    EXPECT_EQ(Text("PathPanel"), QString("C:\\Docs\\"));
    EXPECT_EQ(Text("FileSizePanel"), SizeCell(1536).mid(1));
    EXPECT_EQ(Text("CreationTimePanel"), QString("07.12.26 06:24"));
    EXPECT_EQ(Text("ChangeTimePanel"), QString("08.12.26 10:00"));
    EXPECT_EQ(Text("FileTypePanel"), QMimeDatabase().mimeTypeForName("text/plain").comment());
    EXPECT_TRUE(HasIcon());
    EXPECT_EQ(Child<QLabel>(f, "IconImage")->pixmap().size(), QSize(32, 32));
}

TEST_F(ResultsTest, ExtensionRulesGiveTypeNameGenericTypeOrUnknown) {
    TMainForm& f = Listed({Found("report.txt", 1), Found("README", 1), Found("archive.tar.gz", 1), Found("file.", 1),
                           Found("data.qqzzxy", 1), Found("", 1), Found("odd.\\name", 1)});
    auto* grid = Child<QTableView>(f, "ResultGrid");
    QMimeDatabase db;

    f.SelectResultRow(2);  // README: no extension
    EXPECT_EQ(Text("FileNamePanel"), QString("README"));
    EXPECT_EQ(Text("FileTypePanel"), QString("Unknown"));
    EXPECT_FALSE(HasIcon());

    f.SelectResultRow(3);  // the last extension only
    EXPECT_EQ(Text("FileTypePanel"), db.mimeTypeForName("application/gzip").comment());
    EXPECT_NE(Text("FileTypePanel"), db.mimeTypeForFile("x.tar.gz", QMimeDatabase::MatchExtension).comment());
    EXPECT_TRUE(HasIcon());

    f.SelectResultRow(4);  // a trailing dot is an extension of its own, asked about
    EXPECT_EQ(Text("FileTypePanel"), GenericComment());
    EXPECT_TRUE(HasIcon());

    f.SelectResultRow(5);  // unknown to the database: its generic answer
    EXPECT_EQ(Text("FileTypePanel"), GenericComment());
    EXPECT_NE(Text("FileTypePanel"), QString("Unknown"));

    f.SelectResultRow(6);  // an empty name is listed and selectable
    EXPECT_EQ(f.ResultGridRow(), 6);
    EXPECT_EQ(Text("FileNamePanel"), QString());
    EXPECT_EQ(Text("FileTypePanel"), QString("Unknown"));

    f.SelectResultRow(7);  // a backslash after the dot: no extension
    EXPECT_EQ(Text("FileTypePanel"), QString("Unknown"));
    (void)grid;
}

TEST_F(ResultsTest, SelectingARowWhileTheLogIsShownBringsTheDetailsBack) {
    TMainForm& f = Listed({Found("a.txt", 1), Found("b.pdf", 2)});
    Child<QStackedWidget>(f, "Note")->setCurrentIndex(0);
    f.SelectResultRow(2);
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 1);
    EXPECT_EQ(Text("FileNamePanel"), QString("b.pdf"));
    // The grid's own click goes the same way.
    Child<QStackedWidget>(f, "Note")->setCurrentIndex(0);
    auto* grid = Child<QTableView>(f, "ResultGrid");
    const QRect cell = grid->visualRect(grid->model()->index(0, 1));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(f.ResultGridRow(), 1);
    EXPECT_EQ(Text("FileNamePanel"), QString("a.txt"));
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 1);
    // So does a click on the cell that is current already (after a recovery
    // brought the log to the front).
    Child<QStackedWidget>(f, "Note")->setCurrentIndex(0);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(Child<QStackedWidget>(f, "Note")->currentIndex(), 1);
}

TEST_F(ResultsTest, ModelStaysConsistentThroughListCutAndDetach) {
    TMainForm& f = Listed({Found("a.txt", 1), Found("b.txt", 2), Found("c.txt", 3)});
    auto* grid = Child<QTableView>(f, "ResultGrid");
    QAbstractItemModelTester tester(grid->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    f.ReportWalking(64);  // as the scan does before its walk
    QApplication::processEvents();
    EXPECT_EQ(f.ResultGridRowCount(), 2);
    EXPECT_TRUE(f.ResultGridCell(0, 1).isEmpty());
    f.ScanFinished();
    EXPECT_EQ(f.ResultGridRowCount(), 4);
    EXPECT_EQ(f.ResultGridCell(0, 3), QString(" c.txt"));
}

TEST(FailureText, FullStopIsAddedOnlyAfterCharactersAboveIt) {
    EXPECT_EQ(TMainForm::FailureText("Device gone"), QString("Device gone."));
    EXPECT_EQ(TMainForm::FailureText("Device gone."), QString("Device gone."));
    EXPECT_EQ(TMainForm::FailureText("code 5"), QString("code 5."));
    EXPECT_EQ(TMainForm::FailureText("Really!"), QString("Really!"));
    EXPECT_EQ(TMainForm::FailureText("(x)"), QString("(x)"));
    EXPECT_EQ(TMainForm::FailureText("ends in é"), QString("ends in é."));
    EXPECT_EQ(TMainForm::FailureText(""), QString(""));
}

TEST_F(ResultsTest, FailureEscapingAHandlerIsShownAndTheWindowGoesOn) {
    // The device fails in a way the recovery doesn't expect.
    struct TRemoved final : deruzera::TDevice {
        std::int64_t ReadAt(std::int64_t, void*, std::size_t) override { throw std::runtime_error("The device was removed"); }
        std::int64_t Size() const override { return 1 << 20; }
    };
    TMainForm& f = Listed({Found("a.txt", 1)}, std::make_shared<TRemoved>());
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    WhenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        text = box->text();
        title = box->windowTitle();
        icon = box->icon();
        buttons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });
    Child<QToolButton>(f, "SalvaneButton")->click();
    EXPECT_EQ(text, QString("The device was removed."));
    EXPECT_EQ(title, QString("NTFS Deruzera 1.3"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The window goes on as it was.
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_EQ(f.ResultGridRow(), 1);
}
