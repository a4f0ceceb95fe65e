// The toolbar commands, the web links, quitting and the failure box.
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>

#include "BatchWorker.h"
#include "MainForm.h"
#include "ResultModel.h"
#include "EventLog.h"
#include "Scanner.h"
#include "platform/Target.h"
#include "ui_Main.h"

namespace {

// The window's side of a recovery: the save dialog and the event log.
class TWindowRecoveryHost : public deruzera::TRecoveryHost {
public:
    explicit TWindowRecoveryHost(TMainForm& form) : form_(form) {}
    void Line(const deruzera::TLogLine& line) override { deruzera::LogMessage(line.Text, line.Colour); }
    std::optional<std::string> AskTargetPath(const std::string& proposedName, const deruzera::TRecoveryPlan&) override {
        return form_.AskTargetPath(proposedName);
    }
    bool ConfirmOverwritten(const std::string& question) override { return form_.AskYesNo(question); }
    bool ConfirmSameDevice(const std::string& question) override { return form_.AskYesNo(question); }

private:
    TMainForm& form_;
};

}  // namespace

void TMainForm::AnalizeButtonClick() {
    ui->LogPanel->clear();
    ui->SalvaneButton->setEnabled(false);
    ui->Note->setCurrentIndex(0);
    ui->Main->setCurrentIndex(1);
}

void TMainForm::SalvaneButtonClick() {
    ui->Note->setCurrentIndex(0);
    // One row: the file's own save dialog; several: a folder for them all.
    if (SelectedResultRows().size() > 1)
        RecoverSelectedFiles();
    else
        RecoverSelectedFile();
}

void TMainForm::RecoverSelectedFile() {
    // Nothing is logged without a current row, or before a scan has listed
    // files in the grid.
    if (ResultGridRow() < 1 || resultModel_->FileAt(1) == nullptr) return;
    const std::vector<int> selected = SelectedResultRows();
    const deruzera::TFoundFiles* file = resultModel_->FileAt(selected.size() == 1 ? selected.front() : ResultGridRow());
    if (file == nullptr || !Results) return;
    // The recovery reads the device of the listed scan, whatever drive is
    // selected now, and checks the record is still the file that was found.
    TWindowRecoveryHost host(*this);
    deruzera::RecoverFile(Results->Volume.get(), file->Record, file->Sequence, deruzera::platform::LocalFileSystem(),
                          host);
}

void TMainForm::UpdateButtonClick() { OpenURL(QString::fromLatin1(ProductPage)); }

void TMainForm::SpeedButton1Click() { OpenURL(QString::fromLatin1(ProductPage)); }

void TMainForm::Panel2Click() { OpenURL(QString::fromLatin1(MakerSite)); }

void TMainForm::OpenURL(const QString& address) {
    // Handed to the default browser; whether it starts is not reported.
    QDesktopServices::openUrl(QUrl(address));
}

std::optional<std::string> TMainForm::AskTargetPath(const std::string& proposedName) {
    if (SaveDialog1 == nullptr) {
        SaveDialog1 = new QFileDialog(this);
        SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
        SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
        SaveDialog1->setFileMode(QFileDialog::AnyFile);
        // Choosing an existing file asks before it is replaced (the dialog's
        // own question); the original replaced it without one.
    }
    SaveDialog1->selectFile(QString::fromStdString(proposedName));
    if (SaveDialog1->exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = SaveDialog1->selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.first().toStdString();
}

bool TMainForm::AskYesNo(const std::string& question) {
    QMessageBox box(QMessageBox::Warning, ApplicationTitle(), QString::fromStdString(question),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("RecoveryQuestion"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void TMainForm::FormCloseQuery(bool& canClose) {
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), QStringLiteral("Are you sure you want to quit?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("QuitQuestion"));
    box.setDefaultButton(QMessageBox::Yes);
    canClose = box.exec() == QMessageBox::Yes;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    bool canClose = false;
    Guarded([&] { FormCloseQuery(canClose); });
    if (!canClose) {
        event->ignore();
        return;
    }
    // A running scan or batch is stopped and waited for before the window goes.
    if (scanner_) AbortRequested = true;
    if (batch_) batch_->Stop();
    if (scanner_) scanner_->wait();
    if (batch_) batch_->wait();
    // What the workers said before they ended still reaches the log.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    event->accept();
}

QString TMainForm::ApplicationTitle() { return QGuiApplication::applicationDisplayName(); }

QString TMainForm::FailureText(const QString& message) {
    if (!message.isEmpty() && message.back().unicode() > u'.') return message + QLatin1Char('.');
    return message;
}

void TMainForm::ShowFailure(const QString& message) {
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), FailureText(message), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("FailureBox"));
    box.exec();
}
