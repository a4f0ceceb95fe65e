// A BitLocker drive in the window: its keys are asked for before it is
// scanned, again where those typed don't unlock it, and no scan starts
// where the user cancels. On a Windows-made volume of the fixtures.
#include <QInputDialog>
#include <QPushButton>
#include <QTextEdit>
#include <cstdlib>
#include <filesystem>

#include "GuiFixture.h"
#include "platform/Drives.h"

using namespace gui_testing;
namespace platform = deruzera::platform;

namespace {

class KeysTest : public WindowTest {
protected:
    // The fixture's AES-XTS volume, unpacked into this test's folder; "" where
    // the fixtures are not there.
    std::string Volume() {
        const std::string archive = FixtureFile("bitlocker-images.tar.xz");
        if (archive.empty()) return {};
        const std::string dir = WorkDirectory("bitlocker");
        const std::string command = "tar -xJf '" + archive + "' -C '" + dir +
                                    "' bitlk-images/bitlk-aes-xts-128.img";
        if (std::system(command.c_str()) != 0) return {};
        return dir + "/bitlk-images/bitlk-aes-xts-128.img";
    }
    TMainForm& FormOver(const std::string& image) {
        MapImages({image});
        queries = std::make_unique<TQueriesScope>(platform::DriveMapQueries());
        TMainForm& f = MakeForm();
        f.SelectDriveRow(1);
        return f;
    }
    // Answers the next password prompt with `text` (cancels it where null),
    // keeping what it asked.
    static void Answer(const char* text, QString* asked) {
        WhenModal([text, asked](QWidget* modal) {
            auto* dialog = qobject_cast<QInputDialog*>(modal);
            ASSERT_NE(dialog, nullptr) << "the modal window is not the password prompt";
            *asked = dialog->labelText();
            if (!text) {
                dialog->reject();
                return;
            }
            dialog->setTextValue(QString::fromUtf8(text));
            dialog->accept();
        });
    }
    bool Logged(const QString& part) {
        for (const TLogViewLine& line : ViewLines(Child<QTextEdit>(*form, "LogMemo")))
            if (line.Text.contains(part)) return true;
        return false;
    }
};

TEST_F(KeysTest, ABitLockerDriveIsScannedOnceAKeyUnlocksIt) {
    const std::string image = Volume();
    if (image.empty()) GTEST_SKIP() << "bitlocker-images.tar.xz is not there: set DERUZERA_FIXTURES";
    TMainForm& f = FormOver(image);
    QString first, second;
    // A wrong password, then the recovery password: asked twice, then scanned.
    WhenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QInputDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
        first = dialog->labelText();
        Answer("235818-357951-253979-013365-241120-245575-342914-591910", &second);
        dialog->setTextValue("not its password");
        dialog->accept();
    });
    Child<QPushButton>(f, "StartButton")->click();
    ASSERT_TRUE(WaitUntil([&] { return !f.ScanRunning() && Child<QPushButton>(f, "StartButton")->text() == "Scan Drive"; }));
    EXPECT_FALSE(first.isEmpty());
    EXPECT_FALSE(second.isEmpty());
    EXPECT_NE(first, second);  // the second says the first did not unlock it
    EXPECT_TRUE(Logged("Preparing for scan the drive C:"));
    EXPECT_FALSE(Logged("BitLocker"));  // opened: no line of a locked volume or a wrong key
    // Unlocked once, it is not asked for again.
    EXPECT_EQ(platform::DriveKeysEnd("C:"), deruzera::platform::TSourceEnd::Opened);
}

TEST_F(KeysTest, CancellingThePromptStartsNoScan) {
    const std::string image = Volume();
    if (image.empty()) GTEST_SKIP() << "bitlocker-images.tar.xz is not there: set DERUZERA_FIXTURES";
    TMainForm& f = FormOver(image);
    QString asked;
    Answer(nullptr, &asked);
    Child<QPushButton>(f, "StartButton")->click();
    EXPECT_FALSE(asked.isEmpty());
    EXPECT_FALSE(f.ScanRunning());
    EXPECT_EQ(Child<QPushButton>(f, "StartButton")->text(), QString("Scan Drive"));
    EXPECT_FALSE(Logged("Preparing for scan"));
}

}  // namespace
