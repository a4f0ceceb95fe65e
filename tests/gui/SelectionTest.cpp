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
#include "volume/Salvane.h"

using namespace gui_testing;

namespace {

deruzera::TFoundFiles Found(const std::string& name, std::int64_t size, std::int64_t offset = 0) {
    deruzera::TFoundFiles f;
    f.RecordOffset = offset;
    f.FileName = name;
    f.FilePath = "C:\\Docs\\";
    f.FileSize = size;
    f.Deleted = true;
    f.Created = "07.12.26 06:24";
    f.Modified = "08.12.26 10:00";
    return f;
}

QString GenericComment() {
    return QMimeDatabase().mimeTypeForName(QStringLiteral("application/octet-stream")).comment();
}

class ResultsTest : public WindowTest {
protected:
    // A window showing the results of a scan that found `files`.
    TMainForm& Listed(const std::vector<deruzera::TFoundFiles>& files) {
        TMainForm& f = MakeForm();
        f.FoundFiles.assign(files.begin(), files.end());
        f.FoundCount = static_cast<std::int64_t>(files.size());
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
    TMainForm& f = Listed({Found("report.txt", 1536, 4096), Found("README", 0), Found("archive.tar.gz", 1023)});
    EXPECT_EQ(f.ResultGridRowCount(), 4);
    EXPECT_EQ(f.ResultGridCell(0, 1), QString(" report.txt"));
    EXPECT_EQ(f.ResultGridCell(1, 1), QString(" C:\\Docs\\"));
    EXPECT_EQ(f.ResultGridCell(2, 1), QString(" 1.5 Kb"));
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
    EXPECT_EQ(Text("FileSizePanel"), QString("1.5 Kb"));
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
    f.ReportResultGridCut();  // as the scan does before its walk
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
    TMainForm& f = Listed({Found("a.txt", 1)});
    // The device fails in a way the recovery doesn't expect.
    deruzera::Volume.CurrentDrive = "C:";
    auto previous = deruzera::SetVolumeOpener([](const std::string&) -> deruzera::THandle {
        throw std::runtime_error("The device was removed");
    });
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
    deruzera::SetVolumeOpener(std::move(previous));
    EXPECT_EQ(text, QString("The device was removed."));
    EXPECT_EQ(title, QString("NTFS Deruzera 1.3"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The window goes on as it was.
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(Child<QWidget>(f, "SalvaneButton")->isEnabled());
    EXPECT_EQ(f.ResultGridRow(), 1);
}
