// Creation of the window, its layout and the drive list.
#include "MainForm.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTableWidgetItem>

#include "BatchWorker.h"
#include "LogView.h"
#include "ResultModel.h"
#include "Scanner.h"
#include "EventLog.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "platform/Locale.h"
#include "ui_Main.h"

namespace {

// Draws a cell with a grid line along its bottom edge only: the drive list
// has horizontal grid lines and no vertical ones.
class THorizontalLineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(QColor(0xDA, 0xDA, 0xDA));
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

constexpr int RowHeight = 18;
constexpr int ClientWidth = 816;
constexpr int ClientHeight = 565;
constexpr int ToolbarHeight = 41;
constexpr int SplitterSize = 2;
constexpr int Panel2Height = 34;
constexpr int SplitterMinSize = 30;  // neither side of a splitter gets smaller

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent), ui(new Ui::TMainForm) {
    // The pictures live in this library; a static library's resources are
    // registered by hand.
    Q_INIT_RESOURCE(Window);
    setObjectName(QStringLiteral("MainForm"));
    ui->setupUi(this);
    setAttribute(Qt::WA_StyledBackground);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setFixedSize(ClientWidth, ClientHeight);

    OpenDevice = deruzera::platform::OpenMappedDrive;
    resultModel_ = new TResultModel(this);
    ui->ResultGrid->setModel(resultModel_);
    ui->LogMemo->document()->setDocumentMargin(5);
    logView_ = new TLogView(ui->LogMemo);
    SetupGrids();
    ConnectHandlers();
    SetupFind();
    FormCreate();
}

TMainForm::~TMainForm() {
    // Quitting while a scan runs: the worker is asked to stop and waited for
    // before the window it reports to goes away.
    if (scanner_) {
        AbortRequested = true;
        scanner_->wait();
    }
    if (batch_) {
        batch_->Stop();
        batch_->wait();
    }
    // What the workers said before they ended still reaches the log.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    delete scanner_.data();
    delete batch_.data();
    delete logView_;
    logView_ = nullptr;
    delete ui;
}

void TMainForm::SetupGrids() {
    for (QTableView* grid : {static_cast<QTableView*>(ui->DriveGrid), static_cast<QTableView*>(ui->ResultGrid)}) {
        grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        grid->verticalHeader()->setDefaultSectionSize(RowHeight);
        grid->horizontalHeader()->setFixedHeight(RowHeight);
        grid->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        grid->horizontalHeader()->setStretchLastSection(false);
    }
    ui->DriveGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui->DriveGrid->horizontalHeader()->setSectionsClickable(false);
    ui->DriveGrid->setItemDelegate(new THorizontalLineDelegate(ui->DriveGrid));
    ui->ResultGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
}

void TMainForm::ConnectHandlers() {
    connect(ui->StartButton, &QPushButton::clicked, this, [this] { Guarded([this] { StartButtonClick(); }); });
    connect(ui->AnalizeButton, &QToolButton::clicked, this, [this] { Guarded([this] { AnalizeButtonClick(); }); });
    connect(ui->SalvaneButton, &QToolButton::clicked, this, [this] { Guarded([this] { SalvaneButtonClick(); }); });
    connect(ui->UpdateButton, &QToolButton::clicked, this, [this] { Guarded([this] { UpdateButtonClick(); }); });
    connect(ui->SpeedButton1, &QToolButton::clicked, this, [this] { Guarded([this] { SpeedButton1Click(); }); });
    ui->Panel2->installEventFilter(this);

    connect(ui->DriveGrid, &QTableWidget::currentCellChanged, this, [this](int row, int column, int, int) {
        if (row >= 0) DriveGridCellChosen(column, row);
    });
    connect(ui->ResultGrid->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                if (!settingRow_ && current.isValid()) ResultGridCellChosen(current.column(), current.row());
            });
    // A click on the cell that is already current selects it again, as any
    // other click does; the views report only changes of the current cell.
    ui->DriveGrid->viewport()->installEventFilter(this);
    ui->ResultGrid->viewport()->installEventFilter(this);

    connect(ui->Splitter1, &TSplitterBar::Dragged, this, &TMainForm::Splitter1Dragged);
    connect(ui->Splitter2, &TSplitterBar::Dragged, this, &TMainForm::Splitter2Dragged);
}

void TMainForm::FormCreate() {
    const deruzera::TLogLine started = deruzera::StartedLine(deruzera::platform::NowText());
    deruzera::LogMessage(started.Text, started.Colour);
    setWindowTitle(QString::fromUtf8(WindowCaption));
    QGuiApplication::setApplicationDisplayName(windowTitle());
    IconImageList.Bind();
    ui->Panel6->setText(QString::fromUtf8(IdleHint));
    ui->SalvaneButton->setEnabled(false);
    ui->Note->setCurrentIndex(0);
    ui->Main->setCurrentIndex(1);
    FillDriveGrid();

    resultModel_->SetGridRowCount(22);
    const int widths[] = {100, 200, 100, 100, 100};
    for (int column = 0; column < TResultModel::ColumnCount; ++column)
        ui->ResultGrid->setColumnWidth(column, widths[column]);
    ui->StartButton->setFocus();
}

// ---- The drive list -------------------------------------------------------------

void TMainForm::SetDriveGridRowCount(int count) { ui->DriveGrid->setRowCount(std::max(count, 1) - 1); }

int TMainForm::DriveGridRowCount() const { return ui->DriveGrid->rowCount() + 1; }

QString TMainForm::DriveGridCell(int column, int row) const {
    if (row == 0) {
        const QTableWidgetItem* header = ui->DriveGrid->horizontalHeaderItem(column);
        return header ? header->text() : QString();
    }
    const QTableWidgetItem* item = ui->DriveGrid->item(row - 1, column);
    return item ? item->text() : QString();
}

void TMainForm::FillDriveGrid() {
    namespace platform = deruzera::platform;
    QTableWidget* grid = ui->DriveGrid;
    grid->setEnabled(false);
    SetDriveGridRowCount(2);
    grid->setHorizontalHeaderLabels({QStringLiteral(" Drive"), QStringLiteral(" Filesystem"), QStringLiteral(" Size")});
    const int widths[] = {40, 70, 80};
    for (int column = 0; column < 3; ++column) grid->setColumnWidth(column, widths[column]);

    const platform::TDriveQueries& queries = platform::DriveQueries();
    const std::uint32_t mask = queries.LogicalDrives ? queries.LogicalDrives() : 0;
    // A: and B: are never considered.
    for (int i = 2; i <= 25; ++i) {
        const std::string letter(1, static_cast<char>('A' + i));
        const std::string drive = letter + ":";
        const std::string root = drive + "\\";
        if ((mask & (1u << i)) == 0) continue;
        const unsigned kind = queries.DriveType ? queries.DriveType(root) : platform::DriveUnknown;
        if (kind != platform::DriveFixed && kind != platform::DriveRemovable) continue;
        const std::string fileSystem = platform::GetFileSystemName(letter);
        // A BitLocker volume is listed too: its keys are asked for when it is scanned.
        if (fileSystem != "FAT" && fileSystem != "FAT32" && fileSystem != "NTFS" && fileSystem != "BitLocker") continue;
        const std::int64_t size = queries.TotalSize ? queries.TotalSize(root) : -1;

        const int row = grid->rowCount() - 1;
        const QString tip = QString::fromStdString(platform::DriveToolTip(drive));
        const QString cells[] = {QLatin1Char(' ') + QString::fromStdString(drive),
                                 QLatin1Char(' ') + QString::fromStdString(fileSystem),
                                 QLatin1Char(' ') + QString::fromStdString(deruzera::SizeToText(size, platform::DecimalSeparator()))};
        for (int column = 0; column < 3; ++column) {
            auto* item = new QTableWidgetItem(cells[column]);
            item->setToolTip(tip);
            grid->setItem(row, column, item);
        }
        grid->setRowCount(grid->rowCount() + 1);
    }
    // While the fill runs the grid ends in an empty row; it goes unless it
    // is the only one.
    if (DriveGridRowCount() > 2) SetDriveGridRowCount(DriveGridRowCount() - 1);
    grid->setEnabled(true);
}

void TMainForm::SelectDriveRow(int row) {
    if (row < 1) return;
    ui->DriveGrid->setCurrentCell(row - 1, 0);
}

// ---- The result grid as rows ------------------------------------------------

int TMainForm::ResultGridRowCount() const { return resultModel_->GridRowCount(); }

QString TMainForm::ResultGridCell(int column, int row) const { return resultModel_->Cell(column, row); }

int TMainForm::ResultGridRow() const {
    const QModelIndex current = ui->ResultGrid->currentIndex();
    return current.isValid() ? current.row() + 1 : 0;
}

void TMainForm::SelectResultRow(int row) {
    if (row < 1) return;
    // A plain click: whatever keys are held, this row alone is selected.
    ui->ResultGrid->selectionModel()->setCurrentIndex(resultModel_->index(row - 1, 0),
                                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// ---- Layout -----------------------------------------------------------------

void TMainForm::ArrangePanels() {
    const int height = ClientHeight - ToolbarHeight;
    ui->Panel1->setGeometry(0, ToolbarHeight, panel1Width_, height);
    ui->DriveGrid->setGeometry(0, 0, panel1Width_, height - Panel2Height);
    ui->Panel2->setGeometry(0, height - Panel2Height, panel1Width_, Panel2Height);
    ui->Splitter1->setGeometry(panel1Width_, ToolbarHeight, SplitterSize, height);
    const int workWidth = ClientWidth - panel1Width_ - SplitterSize;
    ui->Panel5->setGeometry(panel1Width_ + SplitterSize, ToolbarHeight, workWidth, height);
    // Main keeps its place and size; Note and its splitter hang from the
    // bottom and take the work area's width.
    ui->Note->setGeometry(0, height - noteHeight_, workWidth, noteHeight_);
    ui->Splitter2->setGeometry(0, height - noteHeight_ - SplitterSize, workWidth, SplitterSize);
}

void TMainForm::Splitter1Dragged(int delta) {
    panel1Width_ = std::clamp(panel1Width_ + delta, SplitterMinSize, ClientWidth - SplitterSize - SplitterMinSize);
    ArrangePanels();
}

void TMainForm::Splitter2Dragged(int delta) {
    const int height = ClientHeight - ToolbarHeight;
    noteHeight_ = std::clamp(noteHeight_ - delta, SplitterMinSize, height - SplitterSize - SplitterMinSize);
    ArrangePanels();
}

void TMainForm::showEvent(QShowEvent* event) {
    if (!centred_) {
        centred_ = true;
        if (const QScreen* display = screen()) {
            const QRect area = display->availableGeometry();
            move(area.center() - QPoint(ClientWidth / 2, ClientHeight / 2));
        }
    }
    QWidget::showEvent(event);
}

void TMainForm::DriveGridCellChosen(int column, int viewRow) {
    Guarded([&] {
        bool canSelect = true;
        DriveGridSelectCell(column, viewRow + 1, canSelect);
    });
}

void TMainForm::ResultGridCellChosen(int column, int viewRow) {
    Guarded([&] {
        bool canSelect = true;
        ResultGridSelectCell(column, viewRow + 1, canSelect);
    });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress &&
        (watched == ui->DriveGrid->viewport() || watched == ui->ResultGrid->viewport())) {
        QTableView* grid = watched == ui->DriveGrid->viewport() ? static_cast<QTableView*>(ui->DriveGrid) : ui->ResultGrid;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QModelIndex hit = grid->indexAt(mouse->position().toPoint());
        if (mouse->button() == Qt::LeftButton && grid->isEnabled() && hit.isValid() && hit == grid->currentIndex()) {
            if (grid == ui->DriveGrid)
                DriveGridCellChosen(hit.column(), hit.row());
            else
                ResultGridCellChosen(hit.column(), hit.row());
        }
        return false;  // the grid handles the press as usual
    }
    if (watched == ui->Panel2 && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton && ui->Panel2->rect().contains(mouse->position().toPoint())) {
            Guarded([this] { Panel2Click(); });
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
