// Program start: the application, its title, the drive map and the one window.
//
//   deruzera [IMAGE-OR-DEVICE ...]
//
// The machine's block devices take the letters from C: on; images or devices
// named on the command line take the next free letters after them.
#include <QApplication>
#include <QIcon>
#include <QStringList>

#include "MainForm.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "platform/Locale.h"
#include "platform/Memory.h"

int main(int argc, char* argv[]) {
    deruzera::platform::ReturnLargeBlocksWhenFreed();
    QApplication application(argc, argv);
    deruzera::platform::InitLocale();
    QApplication::setApplicationName(QStringLiteral("deruzera"));
    QApplication::setApplicationVersion(QStringLiteral("1.3.0.0"));
    QApplication::setOrganizationDomain(QStringLiteral("deruzera.github.io"));
    QApplication::setApplicationDisplayName(QStringLiteral("NTFS Deruzera"));
    // The installed launcher and icon (data/): the desktop matches the window
    // to its launcher by this name; run from the build tree there is no icon.
    QApplication::setDesktopFileName(QString::fromLatin1(ApplicationId));
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromLatin1(ApplicationId)));

    namespace platform = deruzera::platform;
    platform::MapSystemDrives();
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) platform::MapSourceDrive(arguments[i].toStdString());

    TMainForm MainForm;
    MainForm.show();
    return QApplication::exec();
}
