// Takes the README's screenshots of the real window: run under Xvfb by
// scripts/screenshots.sh, which grabs the X screen with ImageMagick.
//
//   gui_screenshots OUTDIR DEMO-IMAGE LARGE-IMAGE PREVIEW-IMAGE [PARTITIONED-DISK [DAMAGED-IMAGE]]
//
// The machine's block devices take the first letters, as in the program; the
// demo image, a large image and an image of files to preview follow. Each
// state is shown, painted, and the window grabbed from the screen into
// OUTDIR: at its first size, then as large as the screen. DAMAGED-IMAGE, the
// preview image quick-formatted over, is scanned deep; the preview image
// carved.
#include <QCheckBox>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QToolTip>
#include <QSettings>
#include <QTemporaryDir>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QFileDialog>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "MainForm.h"
#include "Preview.h"
#include "ResultModel.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "platform/Locale.h"
#include "platform/RawDevice.h"

namespace {

QString outDir;

void Settle(int ms = 300) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

QSize snapSize(816, 565);

bool Snap(const QString& name) {
    Settle();
    const QString file = outDir + QLatin1Char('/') + name;
    const QString crop = QStringLiteral("%1x%2+0+0").arg(snapSize.width()).arg(snapSize.height());
    const int rc = QProcess::execute(QStringLiteral("import"), {"-window", "root", "-crop", crop, "+repage", file});
    std::printf("%s %s\n", rc == 0 ? "wrote" : "FAILED", qPrintable(file));
    return rc == 0;
}

bool WaitFor(const std::function<bool()>& done, int ms = 60000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Each read waits a little, so that a scan or a recovery lasts long
// enough to be seen.
std::atomic<int> slowMicros{1500};  // per KiB read
class TSlowDevice final : public deruzera::TDevice {
public:
    explicit TSlowDevice(std::shared_ptr<deruzera::TDevice> inner) : inner_(std::move(inner)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const auto kib = static_cast<long long>((count + 1023) / 1024);
        std::this_thread::sleep_for(std::chrono::microseconds(slowMicros * std::max(kib, 1LL)));
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    std::shared_ptr<deruzera::TDevice> inner_;
};

int RowOfDrive(TMainForm& form, const std::string& drive) {
    for (int row = 1; row < form.DriveGridRowCount(); ++row)
        if (form.DriveGridCell(0, row) == QLatin1Char(' ') + QString::fromStdString(drive)) return row;
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // The window's settings of this run only: it opens at its first size.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    if (argc < 5 || argc > 8) {
        std::fprintf(stderr, "usage: gui_screenshots OUTDIR DEMO-IMAGE LARGE-IMAGE PREVIEW-IMAGE [PARTITIONED-DISK "
                             "[DAMAGED-IMAGE [SHADOW-COPIES-IMAGE]]]\n");
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    deruzera::platform::InitLocale();
    QApplication::setApplicationDisplayName(QStringLiteral("NTFS Deruzera"));
    namespace platform = deruzera::platform;
    platform::MapSystemDrives();
    const std::string demo = platform::MapSourceDrive(argv[2]);
    const std::string large = platform::MapSourceDrive(argv[3]);
    const std::string previews = platform::MapSourceDrive(argv[4]);
    // A disk with two NTFS partitions: a drive for each.
    const std::vector<std::string> partitions =
        argc >= 6 ? platform::MapSourceDrives(argv[5]) : std::vector<std::string>{};
    const std::string damaged = argc > 6 ? platform::MapSourceDrive(argv[6]) : std::string();
    // A Windows volume with shadow copies, scanned with them.
    const std::string shadow = argc > 7 ? platform::MapSourceDrive(argv[7]) : std::string();

    // Where the recovered files go: empty, so that nothing is replaced.
    const QString folder = QDir::tempPath() + QStringLiteral("/deruzera-screenshots");
    QDir(folder).removeRecursively();
    QDir().mkpath(folder + QStringLiteral("/batch"));

    TMainForm form;
    form.move(0, 0);
    form.show();
    form.move(0, 0);
    bool ok = Snap("01-startup.png");

    const int demoRow = RowOfDrive(form, demo);
    const int largeRow = RowOfDrive(form, large);
    if (demoRow < 1 || largeRow < 1) {
        std::fprintf(stderr, "the images are not listed as drives\n");
        return 1;
    }
    form.SelectDriveRow(demoRow);
    ok = Snap("02-drive-selected.png") && ok;

    // A slow scan of the large image, caught half-way, then cancelled.
    form.OpenDevice = [](const std::string& drive) {
        deruzera::TDeviceAccess access = platform::OpenMappedDrive(drive);
        if (access.Device) access.Device = std::make_shared<TSlowDevice>(std::move(access.Device));
        return access;
    };
    form.SelectDriveRow(largeRow);
    auto* start = form.findChild<QPushButton*>(QStringLiteral("StartButton"));
    auto* status = form.findChild<QLabel*>(QStringLiteral("LogPanel"));
    start->click();
    WaitFor([&] { return status->text().startsWith(QStringLiteral("Found ")) && status->text() != QStringLiteral("Found 0 deleted files"); });
    WaitFor([&] { return !form.ScanRunning() || form.findChild<QProgressBar*>(QStringLiteral("Gauge1"))->value() > 1000; });
    ok = Snap("03-scanning.png") && ok;
    start->click();
    WaitFor([&] { return !form.ScanRunning(); });
    Settle();

    // The demo image, scanned whole: the results with the details of a row.
    form.OpenDevice = platform::OpenMappedDrive;
    form.findChild<QToolButton*>(QStringLiteral("AnalizeButton"))->click();
    form.SelectDriveRow(demoRow);
    start->click();
    WaitFor([&] { return !form.ScanRunning() && start->text() == QStringLiteral("Scan Drive"); });
    int letterRow = 1;
    for (int row = 1; row < form.ResultGridRowCount(); ++row)
        if (form.ResultGridCell(0, row) == QStringLiteral(" letter.txt")) letterRow = row;
    form.SelectResultRow(letterRow);
    ok = Snap("04-results.png") && ok;

    // Recovering it: the save dialog is answered, then the log shows the lines.
    QTimer::singleShot(500, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            ok = Snap("05-save-dialog.png") && ok;
            if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
            dialog->selectFile(folder + QStringLiteral("/letter.txt"));
            QMetaObject::invokeMethod(dialog, "accept");
        }
    });
    form.findChild<QToolButton*>(QStringLiteral("SalvaneButton"))->click();
    ok = Snap("06-recovered.png") && ok;

    // Finding files: a search in names and folders, then the list sorted by
    // size, largest first.
    auto* search = form.findChild<QLineEdit*>(QStringLiteral("SearchEdit"));
    search->setText(QStringLiteral("project"));
    form.SelectResultRow(2);
    ok = Snap("07-search.png") && ok;
    search->clear();
    auto* grid = form.findChild<QTableView*>(QStringLiteral("ResultGrid"));
    grid->horizontalHeader()->setSortIndicator(TResultModel::ColSize, Qt::DescendingOrder);
    form.SelectResultRow(1);
    grid->scrollToTop();
    ok = Snap("08-sorted.png") && ok;

    // Many files at once: the large image scanned whole, every file
    // selected and recovered into a folder, caught half-way, then cancelled.
    slowMicros = 0;
    form.OpenDevice = [](const std::string& drive) {
        deruzera::TDeviceAccess access = platform::OpenMappedDrive(drive);
        if (access.Device) access.Device = std::make_shared<TSlowDevice>(std::move(access.Device));
        return access;
    };
    grid->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    form.findChild<QToolButton*>(QStringLiteral("AnalizeButton"))->click();
    form.SelectDriveRow(largeRow);
    start->click();
    WaitFor([&] { return !form.ScanRunning() && start->text() == QStringLiteral("Scan Drive"); });
    slowMicros = 1000;
    grid->selectAll();
    // The folder dialog, answered once it shows.
    auto* answer = new QTimer(&form);
    answer->setInterval(50);
    QObject::connect(answer, &QTimer::timeout, [answer, folder] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()); dialog && dialog->isVisible()) {
            answer->stop();
            if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
            dialog->setDirectory(folder);
            dialog->selectFile(folder + QStringLiteral("/batch"));
            QMetaObject::invokeMethod(dialog, "accept");
        }
    });
    answer->start();
    form.findChild<QToolButton*>(QStringLiteral("SalvaneButton"))->click();
    const QRegularExpression progress(QStringLiteral("^Recovering file (\\d+) of"));
    WaitFor([&] { return !form.BatchRunning() || progress.match(status->text()).captured(1).toInt() >= 300; });
    ok = Snap("09-batch.png") && ok;
    start->click();
    WaitFor([&] { return !form.BatchRunning() && start->text() == QStringLiteral("Scan Drive"); });
    ok = Snap("10-batch-done.png") && ok;
    QDir(folder).removeRecursively();

    // As large as the screen: the demo image's list, every column and the
    // details readable, and the preview beside them.
    snapSize = form.screen()->availableGeometry().size();
    form.move(0, 0);
    form.resize(snapSize);
    Settle();
    form.findChild<QToolButton*>(QStringLiteral("AnalizeButton"))->click();
    form.SelectDriveRow(demoRow);
    start->click();
    WaitFor([&] { return !form.ScanRunning() && start->text() == QStringLiteral("Scan Drive"); });
    auto rowOf = [&](const QString& name) {
        for (int row = 1; row < form.ResultGridRowCount(); ++row)
            if (form.ResultGridCell(0, row) == QLatin1Char(' ') + name) return row;
        return 1;
    };
    form.SelectResultRow(rowOf(QStringLiteral("letter.txt")));
    WaitFor([&] { return !form.Preview()->Busy(); });
    ok = Snap("11-maximised.png") && ok;

    // Previews of files of the preview image: a photo, a picture, a text in
    // UTF-16, a program's bytes, and a download with its Zone.Identifier.
    form.findChild<QToolButton*>(QStringLiteral("AnalizeButton"))->click();
    form.SelectDriveRow(RowOfDrive(form, previews));
    start->click();
    WaitFor([&] { return !form.ScanRunning() && start->text() == QStringLiteral("Scan Drive"); });
    const std::pair<const char*, const char*> shown[] = {{"holiday.jpg", "12-preview-jpeg.png"},
                                                        {"diagram.png", "13-preview-png.png"},
                                                        {"notes-utf16.txt", "14-preview-utf16.png"},
                                                        {"tool.bin", "15-preview-binary.png"},
                                                        {"setup.exe", "16-download.png"}};
    for (const auto& [name, picture] : shown) {
        form.SelectResultRow(rowOf(QString::fromUtf8(name)));
        WaitFor([&] { return !form.Preview()->Busy(); });
        ok = Snap(QString::fromLatin1(picture)) && ok;
    }

    // The passes of the drive list's menu: a deep scan of the image
    // formatted over, and carving of the preview image.
    const auto pass = [&](const std::string& drive, const char* action) {
        form.findChild<QToolButton*>(QStringLiteral("AnalizeButton"))->click();
        form.SelectDriveRow(RowOfDrive(form, drive));
        if (QMenu* menu = form.DriveGridMenu())
            if (auto* chosen = menu->findChild<QAction*>(QString::fromLatin1(action))) chosen->trigger();
        WaitFor([&] { return !form.ScanRunning() && start->text() == QStringLiteral("Scan Drive"); });
    };
    if (!damaged.empty()) {
        pass(damaged, "DeepScanAction");
        form.SelectResultRow(rowOf(QStringLiteral("holiday.jpg")));
        WaitFor([&] { return !form.Preview()->Busy(); });
        ok = Snap("18-deep-scan.png") && ok;
        pass(previews, "CarveAction");
        int carved = 1;
        for (int row = 1; row < form.ResultGridRowCount(); ++row)
            if (form.ResultGridCell(0, row).startsWith(QStringLiteral(" carved-")) &&
                form.ResultGridCell(0, row).endsWith(QStringLiteral(".jpg")))
                carved = row;
        form.SelectResultRow(carved);
        WaitFor([&] { return !form.Preview()->Busy(); });
        ok = Snap("19-carve.png") && ok;
    }

    // A scan with the shadow copies: what only a snapshot still holds.
    if (!shadow.empty()) {
        form.findChild<QToolButton*>(QStringLiteral("AnalizeButton"))->click();
        form.SelectDriveRow(RowOfDrive(form, shadow));
        auto* box = form.findChild<QCheckBox*>(QStringLiteral("SnapshotsBox"));
        box->setChecked(true);
        start->click();
        WaitFor([&] { return !form.ScanRunning() && start->text() == QStringLiteral("Scan Drive"); });
        box->setChecked(false);
        form.SelectResultRow(1);
        WaitFor([&] { return !form.Preview()->Busy(); });
        ok = Snap("20-shadow-copies.png") && ok;
    }

    // The two partitions of one disk, told apart by the drive's tooltip.
    if (partitions.size() == 2) {
        form.showNormal();
        Settle();
        form.move(0, 0);
        form.findChild<QToolButton*>(QStringLiteral("AnalizeButton"))->click();
        const int row = RowOfDrive(form, partitions[1]);
        form.SelectDriveRow(row);
        auto* drives = form.findChild<QTableWidget*>(QStringLiteral("DriveGrid"));
        QRect cell;
        for (int r = 0; r < drives->rowCount(); ++r)
            if (drives->item(r, 0) && drives->item(r, 0)->text().trimmed() == QString::fromStdString(partitions[1]))
                cell = drives->visualItemRect(drives->item(r, 0));
        Settle();
        QToolTip::showText(drives->viewport()->mapToGlobal(cell.bottomRight()),
                           QString::fromStdString(platform::DriveToolTip(partitions[1])), drives);
        ok = Snap("17-two-partitions.png") && ok;
    }

    form.hide();
    return ok ? 0 : 1;
}
