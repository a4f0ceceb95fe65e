#include "GuiFixture.h"

#include "platform/Locale.h"
#include "volume/Mft.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "platform/DriveMap.h"
#include "EventLog.h"

namespace gui_testing {

namespace platform = deruzera::platform;

platform::TDriveQueries FakeQueries(const std::vector<TFakeDrive>& drives) {
    auto find = [drives](const std::string& root) -> const TFakeDrive* {
        for (const auto& d : drives)
            if (!root.empty() && root[0] == d.Letter && root.substr(1) == ":\\") return &d;
        return nullptr;
    };
    platform::TDriveQueries q;
    q.LogicalDrives = [drives] {
        std::uint32_t mask = 0;
        for (const auto& d : drives) mask |= 1u << (d.Letter - 'A');
        return mask;
    };
    q.DriveType = [find](const std::string& root) -> unsigned {
        const TFakeDrive* d = find(root);
        return d ? d->Kind : platform::DriveNoRootDir;
    };
    q.VolumeFileSystem = [find](const std::string& root, std::string& name) {
        const TFakeDrive* d = find(root);
        if (!d || !d->Readable) return false;
        name = d->FileSystem;
        return true;
    };
    q.TotalSize = [find](const std::string& root) -> std::int64_t {
        const TFakeDrive* d = find(root);
        return d ? d->Size : -1;
    };
    return q;
}

TQueriesScope::TQueriesScope(platform::TDriveQueries queries) : previous_(platform::SetDriveQueries(std::move(queries))) {}

TQueriesScope::~TQueriesScope() { platform::SetDriveQueries(std::move(previous_)); }

void WhenModal(std::function<void(QWidget*)> answer, int timeoutMs) {
    WhenModalOf([](QWidget*) { return true; }, std::move(answer), timeoutMs);
}

void WhenModalOf(std::function<bool(QWidget*)> which, std::function<void(QWidget*)> answer, int timeoutMs) {
    auto* timer = new QTimer;
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, started, which, answer, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible() && which(modal)) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
            return;
        }
        if (started->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal dialog appeared";
        }
    });
    timer->start();
}

std::vector<TLogViewLine> ViewLines(QTextEdit* memo) {
    std::vector<TLogViewLine> lines;
    if (memo == nullptr) return lines;
    for (QTextBlock block = memo->document()->begin(); block.isValid(); block = block.next()) {
        QColor colour = block.charFormat().foreground().color();
        // A line's colour is that of its characters; an empty line keeps
        // the colour of its block.
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            colour = it.fragment().charFormat().foreground().color();
            break;
        }
        lines.push_back({block.text(), colour});
    }
    if (lines.size() == 1 && lines[0].Text.isEmpty() && memo->document()->isEmpty()) lines.clear();
    return lines;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

std::string FixtureFile(const std::string& name) {
    const char* env = std::getenv("DERUZERA_FIXTURES");
    const std::filesystem::path file = std::filesystem::path(env && *env ? env : DERUZERA_FIXTURES_DIR) / name;
    return std::filesystem::exists(file) ? file.string() : std::string();
}

std::string CommandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

std::string WorkDirectory(const std::string& name) {
    // A run beside the suite's own (the locale runs) names a root of its
    // own, so that neither removes the other's folders.
    const QString root = qEnvironmentVariable("DERUZERA_GUI_WORK", QStringLiteral(DERUZERA_TEST_WORK));
    const QString path = root + QLatin1Char('/') + QString::fromStdString(name);
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path.toStdString();
}

bool BuildImage(const std::string& plan, const std::string& image, std::vector<TManifestRow>& manifest,
                std::string& why) {
#ifndef DERUZERA_MKIMAGE
    (void)plan;
    (void)image;
    (void)manifest;
    why = "deruzera-mkimage is not built here";
    return false;
#else
    const std::string planFile = image + ".plan";
    const std::string manifestFile = image + ".manifest.tsv";
    std::ofstream(planFile) << plan;
    QProcess builder;
    builder.start(QStringLiteral(DERUZERA_MKIMAGE),
                  {QString::fromStdString(image), QString::fromStdString(planFile), QString::fromStdString(manifestFile)});
    if (!builder.waitForFinished(300000) || builder.exitCode() != 0) {
        why = "deruzera-mkimage failed: " + builder.readAllStandardError().toStdString();
        return false;
    }
    manifest = deruzera::ReadManifest(manifestFile);
    return true;
#endif
}

void WindowTest::SetUp() {
    // Each window opens as at its first start.
    TMainForm::Settings()->clear();
    deruzera::ClearLog();
    platform::ClearDriveMap();
    QApplication::setApplicationDisplayName(QStringLiteral("NTFS Deruzera"));
}

void WindowTest::TearDown() {
    if (form) {
        // A test may leave a scan running; the window stops it on the way out.
        form.reset();
    }
    queries.reset();
    QApplication::processEvents();
    platform::ClearDriveMap();
}

TMainForm& WindowTest::MakeForm() {
    if (!queries) queries = std::make_unique<TQueriesScope>(FakeQueries({}));
    form = std::make_unique<TMainForm>();
    form->show();
    QApplication::processEvents();
    return *form;
}

}  // namespace gui_testing

#include <QAbstractButton>
#include <QFileDialog>
#include <QMessageBox>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <chrono>
#include <thread>

#include "platform/RawDevice.h"
#ifdef DERUZERA_HAVE_SHA256
#include "tools/Sha256.h"
#endif

namespace gui_testing {
namespace {

class TSlowDevice final : public deruzera::TDevice {
public:
    TSlowDevice(std::shared_ptr<deruzera::TDevice> inner, int micros) : inner_(std::move(inner)), micros_(micros) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        // Per KiB asked for, so that reads in large chunks are slow too.
        const auto kib = static_cast<long long>((count + 1023) / 1024);
        std::this_thread::sleep_for(std::chrono::microseconds(micros_ * std::max(kib, 1LL)));
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    std::shared_ptr<deruzera::TDevice> inner_;
    int micros_;
};

}  // namespace

void InstallSlowOpener(TMainForm& form, int micros) {
    form.OpenDevice = [micros](const std::string& drive) {
        deruzera::TDeviceAccess access = platform::OpenMappedDrive(drive);
        if (access.Device) access.Device = std::make_shared<TSlowDevice>(std::move(access.Device), micros);
        return access;
    };
}

std::int64_t RecordCountOf(const std::string& image) {
    deruzera::THandle device = platform::OpenDeviceFile(image);
    if (!device) return -1;
    deruzera::TVolume volume;
    deruzera::TOpenFailure failure;
    if (deruzera::LoadVolume(*device, "C:", volume, nullptr, failure) != deruzera::TScanEnd::Completed) return -1;
    return volume.RecordCount;
}

void AnswerSaveDialog(const std::string& path, QString* proposed) {
    WhenModal([path, proposed](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr) << "the modal window is not the save dialog";
        if (proposed) *proposed = dialog->selectedFiles().value(0);
        if (path.empty()) {
            dialog->reject();
            return;
        }
        // The dialog leaves a name being typed alone: take the focus off it.
        if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
        dialog->selectFile(QString::fromStdString(path));
        QMetaObject::invokeMethod(dialog, "accept");
    });
}

void AnswerFolderDialog(const std::string& folder) {
    WhenModalOf([](QWidget* w) { return w->objectName() == QLatin1String("FolderDialog1"); },
                [folder](QWidget* modal) {
                    auto* dialog = qobject_cast<QFileDialog*>(modal);
                    ASSERT_NE(dialog, nullptr) << "the modal window is not the folder dialog";
                    if (folder.empty()) {
                        dialog->reject();
                        return;
                    }
                    if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
                    dialog->setDirectory(QString::fromStdString(folder));
                    dialog->selectFile(QString::fromStdString(folder));
                    QMetaObject::invokeMethod(dialog, "accept");
                });
}

void AnswerMessageBox(int button, QString* text) {
    WhenModalOf([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                [button, text](QWidget* modal) {
                    auto* box = qobject_cast<QMessageBox*>(modal);
                    if (text) *text = box->text();
                    QAbstractButton* chosen = box->button(static_cast<QMessageBox::StandardButton>(button));
                    ASSERT_NE(chosen, nullptr);
                    chosen->click();
                });
}

std::string IstatModified(const std::string& image, long long record) {
    QProcess istat;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC0"));
    istat.setProcessEnvironment(environment);
    istat.start(QStringLiteral("istat"), {QString::fromStdString(image), QString::number(record)});
    if (!istat.waitForFinished(30000) || istat.exitCode() != 0) return {};
    // The first "File Modified" line is that of $STANDARD_INFORMATION.
    for (const QString& line : QString::fromUtf8(istat.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("File Modified:"))) {
            QString value = line.section(QLatin1Char('\t'), 1).trimmed();
            value.chop(QStringLiteral(" (UTC)").size());
            return value.toStdString();
        }
    }
    return {};
}

std::string FileModified(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    struct tm utc {};
    gmtime_r(&st.st_mtim.tv_sec, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%09ld", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long>(st.st_mtim.tv_nsec));
    return text;
}

QString SizeCell(std::int64_t bytes) {
    return QLatin1Char(' ') + QString::fromStdString(deruzera::SizeToText(bytes, deruzera::platform::DecimalSeparator()));
}

std::string FileSha256(const std::string& path) {
#ifdef DERUZERA_HAVE_SHA256
    return deruzera::Sha256OfFile(path);
#else
    (void)path;
    return {};
#endif
}

std::vector<std::string> MapImages(const std::vector<std::string>& images) {
    platform::MapDrives({});
    std::vector<std::string> drives;
    for (const auto& image : images) drives.push_back(platform::MapSourceDrive(image));
    return drives;
}

}  // namespace gui_testing
