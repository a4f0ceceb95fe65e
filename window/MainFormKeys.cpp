// The keys of a BitLocker drive, asked for before it is scanned.
#include <QInputDialog>
#include <QLineEdit>

#include "MainForm.h"
#include "platform/Drives.h"
#include "platform/SourceEnds.h"

bool TMainForm::AskDriveKeys() {
    using namespace deruzera::platform;
    for (TSourceEnd end = DriveKeysEnd(SelectedDrive); end != TSourceEnd::Opened; end = DriveKeysEnd(SelectedDrive)) {
        bool given = false;
        const QString text = QInputDialog::getText(this, ApplicationTitle(),
                                                   QString::fromStdString(DriveKeysPrompt(SelectedDrive, end)),
                                                   QLineEdit::Password, QString(), &given)
                                 .trimmed();
        if (!given) return false;
        // Digits in groups are a recovery password; anything else a password.
        TBitLockerKeys keys;
        const std::string typed = text.toStdString();
        bool digits = !typed.empty();
        for (const char c : typed) digits = digits && ((c >= '0' && c <= '9') || c == '-');
        if (digits && typed.size() >= 48) keys.RecoveryPassword = typed;
        else keys.Password = typed;
        SetDriveKeys(SelectedDrive, keys);
    }
    return true;
}
