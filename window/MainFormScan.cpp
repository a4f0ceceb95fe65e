// Scan control: starting and cancelling a scan, the worker's reports, and
// the end of the scan.
#include <algorithm>
#include <cstdint>

#include <QHeaderView>
#include <QItemSelectionModel>

#include "LogView.h"
#include "Preview.h"
#include "MainForm.h"
#include "ResultModel.h"
#include "EventLog.h"
#include "BatchWorker.h"
#include "Scanner.h"
#include "volume/Messages.h"
#include "ui_Main.h"

void TMainForm::StartButtonClick() {
    // While a worker runs the button says "Cancel" and stops it.
    if (ScanRunning()) AbortRequested = true;
    else if (BatchRunning()) batch_->Stop();
    else if (AskDriveKeys()) StartScan();
}

void TMainForm::StartScan() {
    ui->AnalizeButton->setEnabled(false);
    recoverAllowed_ = false;
    ui->SalvaneButton->setEnabled(false);
    ui->DriveGrid->setEnabled(false);
    ui->Panel6->setText(QString::fromUtf8(ScanningHint) + QString::fromStdString(SelectedDrive));
    ui->StartButton->setText(QString::fromUtf8(CancelCaption));
    ui->Gauge1->setValue(0);
    ui->LogPanel->clear();
    ui->Note->setCurrentIndex(0);
    ui->Main->setCurrentIndex(1);
    AbortRequested = false;
    SetFindEnabled(false);
    ui->ShownPanel->clear();

    // While the worker runs the grid shows no entries, and nothing is previewed.
    resultModel_->Detach();
    preview_->Clear();
    auto* scanner = new TScanner(SelectedDrive, OpenDevice, AbortRequested);
    scanner_ = scanner;
    // Every report arrives queued on this window's thread, in the order made,
    // and the end after all of them.
    connect(scanner, &TScanner::LineMade, this,
            [](const deruzera::TLogLine& line) { deruzera::LogMessage(line.Text, line.Colour); });
    connect(scanner, &TScanner::WalkBegan, this, [this](qint64 records) {
        Guarded([&] {
            ReportWalking(records);
            // The walk replaces the listed results: its files come in chunks.
            Results = std::make_shared<deruzera::TScanResults>();
            resultModel_->BeginList(Results);
        });
    });
    connect(scanner, &TScanner::ProgressMade, this, [this, scanner](qint64 position, qint64 found) {
        scanner->ProgressTaken();
        Guarded([&] { ReportProgress(position, found); });
    });
    connect(scanner, &TScanner::FilesFound, this,
            [this](const std::shared_ptr<const TFoundChunk>& chunk) { Guarded([&] { FilesFound(chunk); }); });
    connect(scanner, &QThread::finished, this, [this] { Guarded([this] { ScanFinished(); }); },
            Qt::QueuedConnection);
    connect(scanner, &QThread::finished, scanner, &QObject::deleteLater, Qt::QueuedConnection);
    scanner->start();
}

void TMainForm::ScanFinished() {
    // A scan whose walk began replaced the listed results (its files came
    // in chunks); its volume comes with its end. One refused before its
    // walk left them, device and volume included.
    if (scanner_ && scanner_->Outcome().Walked && Results) Results->Volume = scanner_->Outcome().Volume;
    if (FoundCount() > 0) {
        // Listed in the order found, through the search and filters in force.
        {
            const QSignalBlocker quiet(ui->ResultGrid->horizontalHeader());
            ui->ResultGrid->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
        }
        resultModel_->ListEntries(Results);
        // Row 1 is the current row, as a grid's first data row is until the
        // user picks another; chosen by the program, so no selection event.
        settingRow_ = true;
        ui->ResultGrid->setCurrentIndex(resultModel_->index(0, 0));
        ui->ResultGrid->scrollToTop();
        settingRow_ = false;
        if (resultModel_->ShownCount() > 0) {
            // Row 1 is selected as it is current.
            settingRow_ = true;
            ui->ResultGrid->selectionModel()->select(resultModel_->index(0, 0),
                                                     QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            settingRow_ = false;
            ShowFileDetails(1);
        }
        ui->Note->setCurrentIndex(1);
        ui->Main->setCurrentIndex(0);
        recoverAllowed_ = true;
    }
    UpdateRecoverButton();
    ui->Panel6->setText(QString::fromUtf8(IdleHint));
    ui->StartButton->setText(QString::fromUtf8(ScanCaption));
    ui->Gauge1->setValue(0);
    ui->AnalizeButton->setEnabled(true);
    ui->DriveGrid->setEnabled(true);
    SetFindEnabled(FoundCount() > 0);
    UpdateShownCount();
}

bool TMainForm::ScanRunning() const { return scanner_ && !scanner_->isFinished(); }

void TMainForm::WaitForScan() {
    if (scanner_) scanner_->wait();
}

// The worker's reports, on this window's thread.

void TMainForm::ReportWalking(std::int64_t recordCount) {
    // A bar whose maximum is 0 would show a busy animation instead of 0.
    resultModel_->Cut();
    ui->Gauge1->setMaximum(static_cast<int>(std::clamp<std::int64_t>(recordCount, 1, INT32_MAX)));
}

void TMainForm::ReportProgress(std::int64_t position, std::int64_t found) {
    ui->LogPanel->setText(QString::fromStdString(deruzera::CountText(found)));
    ui->Gauge1->setValue(std::min(static_cast<int>(std::clamp<std::int64_t>(position, 0, INT32_MAX)), ui->Gauge1->maximum()));
}

void TMainForm::FilesFound(const std::shared_ptr<const TFoundChunk>& chunk) {
    // Taken in as they come, at a cost that grows with the chunk; listed
    // when the scan ends.
    if (chunk && Results) resultModel_->TakeChunk(*chunk);
}
