// Shared set-up of the window tests: replaced drive queries, a window made
// and torn down per test, answers to modal dialogs, the log as the view
// shows it, and test images made by deruzera-mkimage.
#pragma once

#include "tools/Manifest.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MainForm.h"
#include "platform/Drives.h"

class QTextEdit;

namespace gui_testing {

// One drive as the replaced queries answer for it.
struct TFakeDrive {
    char Letter = 'C';
    unsigned Kind = deruzera::platform::DriveFixed;
    std::string FileSystem = "NTFS";  // as the platform names it
    bool Readable = true;             // false: the file-system query fails
    std::int64_t Size = 0;
};

deruzera::platform::TDriveQueries FakeQueries(const std::vector<TFakeDrive>& drives);

// Puts queries in force for the lifetime of the object.
class TQueriesScope {
public:
    explicit TQueriesScope(deruzera::platform::TDriveQueries queries);
    ~TQueriesScope();

private:
    deruzera::platform::TDriveQueries previous_;
};

template <class T>
T* Child(QWidget& form, const char* name) {
    T* child = form.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// Runs `answer` on the next modal dialog once it is shown, from within its
// event loop. Fails the test if none appears within `timeoutMs`.
void WhenModal(std::function<void(QWidget*)> answer, int timeoutMs = 10000);
// The same for the next modal dialog that `which` accepts.
void WhenModalOf(std::function<bool(QWidget*)> which, std::function<void(QWidget*)> answer, int timeoutMs = 10000);

struct TLogViewLine {
    QString Text;
    QColor Colour;
};
// The lines of a log view with the colour each one is drawn in.
std::vector<TLogViewLine> ViewLines(QTextEdit* memo);

// Processes events until `done` holds or `timeoutMs` pass.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 30000);

using deruzera::TManifestRow;

// Builds an NTFS image from a plan with deruzera-mkimage. False (and the
// reason) where the builder is missing or fails.
bool BuildImage(const std::string& plan, const std::string& image, std::vector<TManifestRow>& manifest,
                std::string& why);

// A directory for this test's files, emptied first.
std::string WorkDirectory(const std::string& name);

// A sample of the fixtures made elsewhere ($DERUZERA_FIXTURES, or the
// folder the build was told of); "" where it is not there.
std::string FixtureFile(const std::string& name);

// What `command` writes to its standard output, run by the shell.
std::string CommandOutput(const std::string& command);

// A window made with the given drive queries in force and a drive map over
// test images. Base of the window tests.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Makes the window (after the test has set queries and map).
    TMainForm& MakeForm();

    std::unique_ptr<TQueriesScope> queries;
    std::unique_ptr<TMainForm> form;
};

}  // namespace gui_testing

namespace gui_testing {

// Makes every volume the window opens through the drive map answer each
// read only after `micros` microseconds per KiB, so that a scan lasts long
// enough to watch.
void InstallSlowOpener(TMainForm& form, int micros);

// The records the MFT of an image holds, as a scan walks them; -1 where it
// can't be read.
std::int64_t RecordCountOf(const std::string& image);

// Answers the next save dialog with `path` (or cancels it when empty) and
// records the name it proposed.
void AnswerSaveDialog(const std::string& path, QString* proposed = nullptr);

// Answers the next folder dialog with `folder` (or cancels it when empty).
void AnswerFolderDialog(const std::string& folder);

// Answers the next message box with `button` and records its text.
void AnswerMessageBox(int button, QString* text = nullptr);

// The modification time of a file of a builder's image as The Sleuth Kit
// reads it from the record's $STANDARD_INFORMATION, in UTC with 100 ns
// ("2026-12-08 23:08:15.512985900"); empty where istat isn't there.
std::string IstatModified(const std::string& image, long long record);
// A file's modification time in the same form.
std::string FileModified(const std::string& path);

// A size as the window shows it in a cell (" 1.5 Kb" or, in German, " 1,5 Kb").
QString SizeCell(std::int64_t bytes);

// The SHA-256 of a file's bytes, "" when it can't be read.
std::string FileSha256(const std::string& path);

// A visible window, for the roads that run whole scans: the machine's drives
// are left out, and `images` take the letters from C: on.
std::vector<std::string> MapImages(const std::vector<std::string>& images);

}  // namespace gui_testing
