// The window as a normal user meets it, for the system test: its drive list
// from the machine's drives, a scan of one of them, and a recovery through
// the save dialog.
//
//   window_probe DEVICE NAME TARGET
//
// Prints "listed: DRIVE FILESYSTEM" for DEVICE's row, "found: N" and the
// record numbers found ("records: ..."), the log's last line after the scan,
// and "recovered: SHA256" of the file NAME recovered to TARGET.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <cstdio>
#include <fstream>

#include "EventLog.h"
#include "MainForm.h"
#include "volume/Messages.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "platform/Locale.h"
#include "tools/Sha256.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int seconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > seconds * 1000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Answers the next modal dialog: a question with Yes, the save dialog with `path`.
void Answer(const std::string& path) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, path] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            box->button(QMessageBox::Yes)->click();
            Answer(path);
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            // The dialog leaves a name being typed alone: take the focus off it.
            if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
            dialog->selectFile(QString::fromStdString(path));
            QMetaObject::invokeMethod(dialog, "accept");
        }
    });
    timer->start(20);
}

std::string Sha(const std::string& path) {
    const std::string hash = deruzera::Sha256OfFile(path);
    return hash.empty() ? "-" : hash;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: window_probe DEVICE NAME TARGET\n");
        return 2;
    }
    const std::string device = argv[1], name = argv[2], target = argv[3];
    namespace platform = deruzera::platform;
    platform::InitLocale();
    QApplication::setApplicationDisplayName(QStringLiteral("NTFS Deruzera"));
    platform::MapSystemDrives();

    TMainForm form;
    form.show();
    QApplication::processEvents();
    int row = 0;
    std::string drive;
    for (const auto& mapped : platform::MappedDrives())
        if (mapped.Path == device) drive = mapped.Drive;
    for (int r = 1; r < form.DriveGridRowCount(); ++r)
        if (form.DriveGridCell(0, r).trimmed().toStdString() == drive) row = r;
    if (row == 0) {
        std::printf("listed: none\n");
        return 1;
    }
    std::printf("listed: %s %s\n", drive.c_str(), form.DriveGridCell(1, row).trimmed().toUtf8().constData());
    form.SelectDriveRow(row);
    form.findChild<QPushButton*>(QStringLiteral("StartButton"))->click();
    if (!WaitFor([&] { return !form.ScanRunning(); }, 60)) return 1;
    QApplication::processEvents();
    const auto lines = deruzera::LogLines();
    std::printf("last line: %s\n", lines.empty() ? "" : lines.back().Text.c_str());
    std::printf("found: %lld\nrecords:", static_cast<long long>(form.FoundCount()));
    int nameRow = 0;
    for (int r = 1; r <= form.FoundCount(); ++r) {
        if (form.Results) std::printf(" %lld", static_cast<long long>(form.Results->Files[static_cast<std::size_t>(r - 1)].Record));
        if (form.ResultGridCell(0, r).trimmed().toStdString() == name) nameRow = r;
    }
    std::printf("\n");
    if (nameRow == 0) return 1;
    form.SelectResultRow(nameRow);
    Answer(target);
    form.findChild<QToolButton*>(QStringLiteral("SalvaneButton"))->click();
    const auto after = deruzera::LogLines();
    for (std::size_t i = lines.size(); i < after.size(); ++i) std::printf("log: %s\n", after[i].Text.c_str());
    std::printf("recovered: %s\n", Sha(target).c_str());
    return 0;
}
