// Recovery of many files at once: the selected rows, or every file in a
// row's folder and below, into a folder the user chooses. The files are
// written on a worker while the progress page shows how far it got and
// "Cancel" stops it; the log gets a line for each failure and one to sum up.
#include <QCheckBox>
#include <QFileDialog>
#include <QFontMetrics>
#include <QMessageBox>

#include "BatchWorker.h"
#include "EventLog.h"
#include "MainForm.h"
#include "ResultModel.h"
#include "platform/Locale.h"
#include "ui_Main.h"

void TMainForm::RecoverSelectedFiles() {
    std::vector<std::uint32_t> entries;
    for (int row : SelectedResultRows()) entries.push_back(static_cast<std::uint32_t>(resultModel_->EntryAt(row)));
    RecoverEntries(entries);
}

void TMainForm::RecoverFolderOf(int gridRow) {
    const std::int64_t entry = resultModel_->EntryAt(gridRow);
    if (entry < 0) return;
    // Every file found there or below, whether the list shows it now or not.
    RecoverEntries(resultModel_->EntriesBelow(resultModel_->EntryPath(static_cast<std::uint32_t>(entry))));
}

std::optional<std::string> TMainForm::AskFolder() {
    if (FolderDialog1 == nullptr) {
        FolderDialog1 = new QFileDialog(this);
        FolderDialog1->setObjectName(QStringLiteral("FolderDialog1"));
        FolderDialog1->setWindowTitle(QStringLiteral("Choose a folder for the recovered files"));
        FolderDialog1->setAcceptMode(QFileDialog::AcceptOpen);
        FolderDialog1->setFileMode(QFileDialog::Directory);
        FolderDialog1->setOption(QFileDialog::ShowDirsOnly);
        // A new folder can be made from the dialog (its own button).
        FolderDialog1->setOption(QFileDialog::ReadOnly, false);
    }
    FolderDialog1->setDirectory(LastFolder("batch-folder"));
    if (FolderDialog1->exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = FolderDialog1->selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    SetLastFolder("batch-folder", chosen.first());
    return chosen.first().toStdString();
}

void TMainForm::RecoverEntries(const std::vector<std::uint32_t>& entries) {
    if (entries.empty() || !Results || ScanRunning() || BatchRunning()) return;
    ui->Note->setCurrentIndex(0);
    const deruzera::TLogLine cancelled = deruzera::CancelledLine();
    const std::optional<std::string> folder = AskFolder();
    if (!folder) {
        deruzera::LogMessage(cancelled.Text, cancelled.Colour);
        return;
    }
    // Writing to the drive being read may overwrite the very files that
    // are still to come back: only when the user says so.
    const bool sameDrive = Results->Volume && Results->Volume->SharedDevice() &&
                           deruzera::OnDriveBeingRead(Results->Volume->Device(), *folder);
    if (sameDrive) {
        if (!AskYesNo(deruzera::SameDeviceQuestion())) {
            deruzera::LogMessage(cancelled.Text, cancelled.Colour);
            return;
        }
        const deruzera::TLogLine answer = deruzera::SameDeviceAnswerLine();
        deruzera::LogMessage(answer.Text, answer.Colour);
    }

    ui->AnalizeButton->setEnabled(false);
    ui->SalvaneButton->setEnabled(false);
    recoverAction_->setEnabled(false);
    ui->DriveGrid->setEnabled(false);
    snapshotsBox_->setEnabled(false);
    SetFindEnabled(false);
    // A long folder is cut in its middle to fit; the tooltip has it whole.
    const QString hint = QString::fromUtf8(BatchHint);
    const QFontMetrics metrics(ui->Panel6->font());
    const QString where = QString::fromStdString(*folder);
    ui->Panel6->setText(hint + metrics.elidedText(where, Qt::ElideMiddle,
                                                  ui->Panel6->width() - metrics.horizontalAdvance(hint) - 8));
    ui->Panel6->setToolTip(hint + where);
    ui->StartButton->setText(QString::fromUtf8(CancelCaption));
    ui->Gauge1->setMaximum(1000);
    ui->Gauge1->setValue(0);
    ui->LogPanel->clear();
    ui->Main->setCurrentIndex(1);
    auto* worker = new TBatchWorker(Results, entries, *folder, sameDrive);
    batch_ = worker;
    connect(worker, &TBatchWorker::LineMade, this,
            [](const deruzera::TLogLine& line) { deruzera::LogMessage(line.Text, line.Colour); });
    connect(worker, &TBatchWorker::ProgressMade, this,
            [this](const deruzera::TBatchProgress& progress) { Guarded([&] { ReportBatchProgress(progress); }); });
    connect(worker, &QThread::finished, this, [this] { Guarded([this] { BatchFinished(); }); }, Qt::QueuedConnection);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater, Qt::QueuedConnection);
    worker->start();
}

bool TMainForm::BatchRunning() const { return batch_ && !batch_->isFinished(); }

void TMainForm::WaitForBatch() {
    if (batch_) batch_->wait();
}

void TMainForm::ReportBatchProgress(const deruzera::TBatchProgress& progress) {
    const int permille = static_cast<int>(progress.Bytes > 0 ? std::min(progress.BytesDone, progress.Bytes) * 1000 / progress.Bytes
                                          : progress.Files > 0 ? progress.Done * 1000 / progress.Files : 0);
    ui->LogPanel->setText(QString::fromStdString(deruzera::BatchProgressText(progress, deruzera::platform::DecimalSeparator())));
    ui->Gauge1->setValue(permille);
}

void TMainForm::BatchFinished() {
    ui->Panel6->setText(QString::fromUtf8(IdleHint));
    ui->Panel6->setToolTip(QString());
    ui->StartButton->setText(QString::fromUtf8(ScanCaption));
    ui->Gauge1->setValue(0);
    ui->AnalizeButton->setEnabled(true);
    ui->DriveGrid->setEnabled(true);
    snapshotsBox_->setEnabled(true);
    recoverAllowed_ = true;
    SetFindEnabled(true);
    // Back to the list, with the log in view.
    ui->Main->setCurrentIndex(0);
    ui->Note->setCurrentIndex(0);
    UpdateRecoverButton();
}
