// Scan control: starting and cancelling a scan, the worker's reports, and
// the end of the scan.
#include <algorithm>
#include <cstdint>

#include <QCheckBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>

#include "LogView.h"
#include "Preview.h"
#include "MainForm.h"
#include "ResultModel.h"
#include "EventLog.h"
#include "BatchWorker.h"
#include "Scanner.h"
#include "volume/Messages.h"
#include "platform/Locale.h"
#include "ui_Main.h"

void TMainForm::StartButtonClick() {
    // While a worker runs the button says "Cancel" and stops it.
    if (ScanRunning()) AbortRequested = true;
    else if (BatchRunning()) batch_->Stop();
    else if (AskDriveKeys()) StartScan();
}

void TMainForm::StartScan(const deruzera::TPassOptions& pass) {
    ui->AnalizeButton->setEnabled(false);
    recoverAllowed_ = false;
    ui->SalvaneButton->setEnabled(false);
    ui->DriveGrid->setEnabled(false);
    snapshotsBox_->setEnabled(false);
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
    const bool isPass = pass.Deep || pass.Carve;
    auto* scanner = isPass ? new TScanner(SelectedDrive, OpenDevice, AbortRequested, pass)
                           : new TScanner(SelectedDrive, OpenDevice, AbortRequested);
    if (!isPass && snapshotsBox_->isChecked()) scanner->IncludeSnapshots();
    scanner_ = scanner;
    passListed_ = false;
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
            passListed_ = true;
        });
    });
    connect(scanner, &TScanner::ProgressMade, this, [this, scanner](qint64 position, qint64 found) {
        scanner->ProgressTaken();
        Guarded([&] { ReportProgress(position, found); });
    });
    connect(scanner, &TScanner::PassProgressMade, this, [this, scanner](const deruzera::TPassProgress& progress) {
        scanner->ProgressTaken();
        Guarded([&] { ReportPassProgress(progress); });
    });
    connect(scanner, &TScanner::FilesFound, this, [this, isPass](const std::shared_ptr<const TFoundChunk>& chunk) {
        Guarded([&] {
            // Carving where the volume's walk failed: its first files
            // replace the listed results.
            if (isPass && !passListed_) {
                resultModel_->Cut();
                Results = std::make_shared<deruzera::TScanResults>();
                resultModel_->BeginList(Results);
                passListed_ = true;
            }
            FilesFound(chunk);
        });
    });
    connect(scanner, &QThread::finished, this, [this] { Guarded([this] { ScanFinished(); }); },
            Qt::QueuedConnection);
    connect(scanner, &QThread::finished, scanner, &QObject::deleteLater, Qt::QueuedConnection);
    scanner->start();
}

void TMainForm::ScanFinished() {
    // A scan whose walk began replaced the listed results (its files came
    // in chunks); its volume comes with its end. One refused before its
    // walk left them, device and volume included.
    if (scanner_ && scanner_->IsPass()) {
        // A pass's files are read again through its results; the walk's
        // (carving after it) through the walk's volume, which is the one
        // listed where there is one.
        const deruzera::TPassOutcome& outcome = scanner_->PassOutcome();
        if (passListed_ && Results) {
            Results->Pass = outcome.Results;
            Results->Volume = outcome.Walked && outcome.Walk.Volume ? outcome.Walk.Volume
                              : outcome.Results                     ? outcome.Results->Volume
                                                                    : nullptr;
        }
    } else if (scanner_ && scanner_->Outcome().Walked && Results) {
        Results->Volume = scanner_->Outcome().Volume;
        // The files a snapshot gave are read from its volume.
        deruzera::KeepSnapshotVolumes(*Results, scanner_->SnapshotScans());
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
    snapshotsBox_->setEnabled(true);
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

void TMainForm::ReportPassProgress(const deruzera::TPassProgress& progress) {
    ui->LogPanel->setText(
        QString::fromStdString(deruzera::PassProgressText(progress, deruzera::platform::DecimalSeparator())));
    ui->Gauge1->setMaximum(1000);
    ui->Gauge1->setValue(progress.Total > 0
                             ? static_cast<int>(std::min(progress.Done, progress.Total) * 1000 / progress.Total)
                             : 0);
}

std::int64_t TMainForm::PassIndexOf(std::int64_t entry) const {
    if (!Results || entry < 0 || static_cast<std::size_t>(entry) >= Results->PassIndex.size()) return -1;
    return Results->PassIndex[static_cast<std::size_t>(entry)];
}

QMenu* TMainForm::DriveGridMenu() {
    if (ScanRunning() || BatchRunning() || SelectedDrive.empty()) return nullptr;
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("DriveGridMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [&](const char* text, const char* name, deruzera::TPassOptions pass) {
        QAction* action = menu->addAction(QString::fromUtf8(text));
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, [this, pass] {
            Guarded([&] {
                if (AskDriveKeys()) StartScan(pass);
            });
        });
    };
    deruzera::TPassOptions deep, carve, both;
    deep.Deep = true;
    carve.Carve = true;
    both.Deep = both.Carve = true;
    add(ScanCaption, "ScanAction", {});
    menu->addSeparator();
    add(DeepScanCommand, "DeepScanAction", deep);
    add(CarveCommand, "CarveAction", carve);
    add(DeepCarveCommand, "DeepCarveAction", both);
    return menu;
}

void TMainForm::DriveGridContextMenu(const QPoint& at) {
    const QModelIndex index = ui->DriveGrid->indexAt(at);
    if (!index.isValid() || !ui->DriveGrid->isEnabled()) return;
    // A right click chooses its drive, as a left click does.
    if (index.row() != ui->DriveGrid->currentRow()) ui->DriveGrid->setCurrentCell(index.row(), 0);
    if (QMenu* menu = DriveGridMenu()) menu->popup(ui->DriveGrid->viewport()->mapToGlobal(at));
}

void TMainForm::FilesFound(const std::shared_ptr<const TFoundChunk>& chunk) {
    // Taken in as they come, at a cost that grows with the chunk; listed
    // when the scan ends.
    if (chunk && Results) resultModel_->TakeChunk(*chunk);
}
