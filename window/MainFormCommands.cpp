// The toolbar commands, the web links, quitting and the failure box.
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include "BatchWorker.h"
#include "MainForm.h"
#include "ResultModel.h"
#include "EventLog.h"
#include "Scanner.h"
#include "cli/Listing.h"
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
    recoverAllowed_ = false;
    ui->SalvaneButton->setEnabled(false);
    ui->Note->setCurrentIndex(0);
    ui->Main->setCurrentIndex(1);
}

void TMainForm::SalvaneButtonClick() {
    ui->Note->setCurrentIndex(0);
    // Exactly what is highlighted: one row, the file's own save dialog;
    // several, a folder for them all.
    if (SelectedResultRows().size() > 1)
        RecoverSelectedFiles();
    else
        RecoverSelectedFile();
}

bool TMainForm::CanRecover() const {
    return Results && resultModel_->ShownCount() > 0 && !SelectedResultRows().empty() && !ScanRunning() &&
           !BatchRunning();
}

void TMainForm::UpdateRecoverButton() {
    const bool can = recoverAllowed_ && CanRecover();
    ui->SalvaneButton->setEnabled(can);
    if (recoverAction_) recoverAction_->setEnabled(can);
}

void TMainForm::RecoverHighlighted() {
    if (!ui->SalvaneButton->isEnabled()) return;
    SalvaneButtonClick();
}

void TMainForm::SetupCommands() {
    // "Recovery" has a key of its own, shown in the result list's menu and
    // on the button's tooltip.
    recoverAction_ = new QAction(QString::fromUtf8(RecoverCommand), this);
    recoverAction_->setObjectName(QStringLiteral("RecoverAction"));
    recoverAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    recoverAction_->setShortcutContext(Qt::WindowShortcut);
    recoverAction_->setEnabled(false);
    addAction(recoverAction_);
    connect(recoverAction_, &QAction::triggered, this, [this] { Guarded([this] { RecoverHighlighted(); }); });
    ui->SalvaneButton->setToolTip(QString::fromUtf8(RecoverTip).arg(
        recoverAction_->shortcut().toString(QKeySequence::NativeText)));

    exportAction_ = new QAction(QString::fromUtf8(ExportCommand), this);
    exportAction_->setObjectName(QStringLiteral("ExportAction"));
    connect(exportAction_, &QAction::triggered, this, [this] { Guarded([this] { ExportList(); }); });
}

void TMainForm::RecoverSelectedFile() {
    // Nothing is logged where no row is selected, or before a scan has
    // listed files in the grid.
    if (ResultGridRow() < 1 || resultModel_->FileAt(1) == nullptr) return;
    const std::vector<int> selected = SelectedResultRows();
    if (selected.size() != 1) return;
    const deruzera::TFoundFiles* file = resultModel_->FileAt(selected.front());
    if (file == nullptr || !Results) return;
    // A file a pass found has no record of the volume to ask again: it goes
    // through the batch, into a folder, as the companion recovers it.
    if (const std::int64_t entry = resultModel_->EntryAt(selected.front()); PassIndexOf(entry) >= 0) {
        RecoverEntries({static_cast<std::uint32_t>(entry)});
        return;
    }
    // The recovery reads the device of the listed scan (the snapshot's, for
    // a file a snapshot gave), whatever drive is selected now, and checks
    // the record is still the file that was found.
    TWindowRecoveryHost host(*this);
    deruzera::RecoverFile(Results->VolumeOf(*file), file->Record, file->Sequence, deruzera::platform::LocalFileSystem(),
                          host, deruzera::PlanForFound(*file));
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
    // In the folder chosen last (the home folder the first time).
    SaveDialog1->setDirectory(LastFolder("save-folder"));
    SaveDialog1->selectFile(QString::fromStdString(proposedName));
    if (SaveDialog1->exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = SaveDialog1->selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    SetLastFolder("save-folder", QFileInfo(chosen.first()).absolutePath());
    return chosen.first().toStdString();
}

bool TMainForm::ExportList() {
    if (!Results || !Results->Volume || resultModel_->ShownCount() == 0) return false;
    QFileDialog dialog(this, QString::fromUtf8(ExportTitle));
    dialog.setObjectName(QStringLiteral("ExportDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    const QStringList filters = {QString::fromUtf8(ExportCsvFilter), QString::fromUtf8(ExportBodyFilter)};
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    dialog.setDirectory(LastFolder("export-folder"));
    dialog.selectFile(QStringLiteral("deleted-files.csv"));
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        dialog.setDefaultSuffix(filter == filters[1] ? QStringLiteral("body") : QStringLiteral("csv"));
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    const QString path = dialog.selectedFiles().first();
    SetLastFolder("export-folder", QFileInfo(path).absolutePath());
    const bool body = dialog.selectedNameFilter() == filters[1] || path.endsWith(QStringLiteral(".body"));
    QString why;
    if (!ExportListTo(path, body ? QStringLiteral("bodyfile") : QStringLiteral("csv"), &why)) {
        ShowFailure(why);
        return false;
    }
    return true;
}

bool TMainForm::ExportListTo(const QString& path, const QString& format, QString* why) {
    deruzera::cli::TListFormat listFormat = deruzera::cli::TListFormat::Csv;
    if (!Results || !Results->Volume || !deruzera::cli::ParseListFormat(format.toStdString(), listFormat)) return false;
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        if (why) *why = QString::fromUtf8(ExportFailedText).arg(path, out.errorString());
        return false;
    }
    deruzera::cli::TOutput output([&out](std::string_view piece) {
        return out.write(piece.data(), static_cast<qint64>(piece.size())) == static_cast<qint64>(piece.size());
    });
    // The rows shown, in their order, as the companion writes a scan's: in
    // batches of one volume each (the live volume's or a snapshot's, whose
    // folders give their paths), and a pass's files with where it found
    // them (its own folders giving theirs).
    const std::unique_ptr<deruzera::cli::TFoundWriter> writer =
        deruzera::cli::TFoundWriter::Make(listFormat, output, !Results->Snapshots.empty(), Results->Pass != nullptr);
    deruzera::TFoundFileList shown;
    std::vector<deruzera::TFoundPlace> places;
    const deruzera::TNtfsVolume* shownOn = nullptr;
    auto write = [&] {
        if (shownOn != nullptr && !shown.empty())
            writer->Write(deruzera::TFoundBatch{shown, *shownOn, places.empty() ? nullptr : places.data()});
        shown.clear();
        places.clear();
    };
    for (int row = 1; row <= resultModel_->ShownCount(); ++row) {
        const std::int64_t entry = resultModel_->EntryAt(row);
        if (entry < 0) continue;
        const deruzera::TFoundFiles& file = Results->Files[static_cast<std::size_t>(entry)];
        const std::int64_t passIndex = PassIndexOf(entry);
        const deruzera::TNtfsVolume* on =
            passIndex >= 0 && Results->Pass ? Results->Pass->Volume.get() : Results->VolumeOf(file);
        if (on == nullptr) continue;
        if (on != shownOn || (passIndex >= 0) != !places.empty()) {
            write();
            shownOn = on;
        }
        if (passIndex >= 0 && Results->Pass) places.push_back(Results->Pass->Places[static_cast<std::size_t>(passIndex)]);
        const deruzera::TFoundExtras* extras = Results->Files.Extras(file);
        shown.Add(file, Results->Files.Name(file), extras ? *extras : deruzera::TFoundExtras{});
    }
    write();
    writer->Finish();
    if (output.Failed() || !out.commit()) {
        if (why) *why = QString::fromUtf8(ExportFailedText).arg(path, out.errorString());
        return false;
    }
    return true;
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
    SaveSettings();
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
