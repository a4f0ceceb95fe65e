// Scan control: starting and cancelling a scan, the worker's reports, and
// the end of the scan.
#include <algorithm>
#include <cstdint>

#include <QHeaderView>

#include "LogView.h"
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

    // While the worker runs the grid shows no entries.
    resultModel_->Detach();
    auto* scanner = new TScanner(SelectedDrive, OpenDevice, AbortRequested);
    scanner_ = scanner;
    // Every report arrives queued on this window's thread, in the order made,
    // and the end after all of them.
    connect(scanner, &TScanner::LineMade, this,
            [](const deruzera::TLogLine& line) { deruzera::LogMessage(line.Text, line.Colour); });
    connect(scanner, &TScanner::WalkBegan, this, [this](qint64 records) { Guarded([&] { ReportWalking(records); }); });
    connect(scanner, &TScanner::ProgressMade, this,
            [this](qint64 position, qint64 found) { Guarded([&] { ReportProgress(position, found); }); });
    connect(scanner, &QThread::finished, this, [this] { Guarded([this] { ScanFinished(); }); },
            Qt::QueuedConnection);
    connect(scanner, &QThread::finished, scanner, &QObject::deleteLater, Qt::QueuedConnection);
    scanner->start();
}

void TMainForm::ScanFinished() {
    // A scan whose walk began replaces the listed results; one refused
    // before it leaves them, device and volume included.
    if (scanner_) {
        if (std::shared_ptr<deruzera::TScanResults> results = scanner_->TakeResults()) Results = std::move(results);
    }
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
        if (resultModel_->ShownCount() > 0) ShowFileDetails(1);
        ui->Note->setCurrentIndex(1);
        ui->Main->setCurrentIndex(0);
        ui->SalvaneButton->setEnabled(true);
    }
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
