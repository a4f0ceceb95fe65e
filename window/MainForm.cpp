// Creation of the window, its layout and the drive list.
#include "MainForm.h"

#include <QCheckBox>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QLabel>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QStyledItemDelegate>
#include <QTableWidgetItem>

#include "BatchWorker.h"
#include "LogView.h"
#include "Preview.h"
#include "ResultGrid.h"
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
// Places at the first size that the window moves as it grows.
constexpr int SupportLeft = 728;
constexpr int KindButtonLeft = 472;
constexpr int KindButtonWidth = 104;
constexpr int MainWidth = 622;
constexpr int MainHeight = 436;
constexpr int LogPanelHeight = 29;
constexpr QPoint Panel6Place(48, 184);
constexpr QPoint Gauge1Place(48, 217);
constexpr QPoint StartButtonPlace(256, 288);
// The smallest drive without a file system that the list shows: below it
// lie extended partitions' tables, never a volume.
constexpr std::int64_t MinBareDriveSize = 1 << 20;
// Between "Scan Drive" and the check box under it.
constexpr int SnapshotsBoxGap = 10;
// The details page: the fields take its first width, less a margin on the
// right; rows below the first four come at this pitch.
constexpr int DetailsWidth = 622;
constexpr int DetailsMargin = 13;
constexpr int DetailRowTop = 84;
constexpr int DetailRowPitch = 16;
constexpr int DetailRowsBottom = DetailRowTop + 3 * DetailRowPitch;
// A preview narrower or lower than this shows too little to tell a file by.
constexpr int MinPreviewWidth = 160;
constexpr int MinPreviewHeight = 64;
// A result column is never narrower than a letter or two, nor wider than
// any screen, whatever the settings hold.
constexpr int MinColumnWidth = 20;
constexpr int MaxColumnWidth = 4000;

// Draws a cell's text cut in its middle where it doesn't fit: a path keeps
// its drive and its last folders.
class TMiddleElideDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideMiddle;
    }
};

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent), ui(new Ui::TMainForm) {
    // The pictures live in this library; a static library's resources are
    // registered by hand.
    Q_INIT_RESOURCE(Window);
    setObjectName(QStringLiteral("MainForm"));
    ui->setupUi(this);
    setAttribute(Qt::WA_StyledBackground);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    // Opens at its first size and grows; it never gets smaller.
    setMinimumSize(ClientWidth, ClientHeight);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    resize(ClientWidth, ClientHeight);

    OpenDevice = deruzera::platform::OpenMappedDrive;
    resultModel_ = new TResultModel(this);
    ui->ResultGrid->setModel(resultModel_);
    ui->ResultGrid->setItemDelegateForColumn(TResultModel::ColPath, new TMiddleElideDelegate(ui->ResultGrid));
    ui->LogMemo->document()->setDocumentMargin(5);
    logView_ = new TLogView(ui->LogMemo);
    MakeDetailRows();
    MakeSnapshotsBox();
    preview_ = new TPreviewPane(ui->Panel3);
    preview_->hide();
    SetupGrids();
    ConnectHandlers();
    SetupFind();
    SetupCommands();
    FormCreate();
    RestoreSettings();
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
    // A drive's menu offers the deep scan and carving beside the scan.
    ui->DriveGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->DriveGrid, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { Guarded([&] { DriveGridContextMenu(at); }); });
    connect(ui->ResultGrid->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                if (!settingRow_ && current.isValid()) ResultGridCellChosen(current.column(), current.row());
            });
    connect(ui->ResultGrid->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { Guarded([this] { SelectionChanged(); }); });
    // Enter and a double click recover what is highlighted; the menu key
    // and Shift+F10 open the row's menu.
    connect(ui->ResultGrid, &QAbstractItemView::activated, this, [this] { Guarded([this] { RecoverHighlighted(); }); });
    connect(ui->ResultGrid, &TResultGrid::MenuKeyPressed, this, [this] { Guarded([this] { ResultGridMenuAtCurrent(); }); });
    // A click on the cell that is already current selects it again, as any
    // other click does; the views report only changes of the current cell.
    ui->DriveGrid->viewport()->installEventFilter(this);
    ui->ResultGrid->viewport()->installEventFilter(this);

    ui->Panel3->installEventFilter(this);
    ui->Panel7->installEventFilter(this);
    connect(ui->ResultGrid->horizontalHeader(), &QHeaderView::sectionResized, this, &TMainForm::ColumnResized);
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
    columnWidths_ = {100, 200, 100, 100, 100};
    columnExtra_.assign(TResultModel::ColumnCount, 0);
    ArrangeColumns();
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
        // A drive whose file system can't be asked (the user may not read
        // it, and nothing else can say) is listed all the same, with its
        // size: a scan of it then says why it can't be read and what to do.
        // One with no medium has no size, and is left out.
        // One that was read and holds no file system at all (its boot
        // sectors wiped) is listed as well, for a deep scan or carving;
        // not below the size of the smallest volume, as an extended
        // partition's table is.
        std::string fileSystem;
        const bool known = platform::AskFileSystemName(letter, fileSystem);
        const bool none = known && fileSystem.empty();
        if (!known || none) fileSystem = std::string(UnknownFileSystem);
        const std::int64_t size = queries.TotalSize ? queries.TotalSize(root) : -1;
        // A BitLocker volume is listed too: its keys are asked for when it is scanned.
        if (known && !none && fileSystem != "FAT" && fileSystem != "FAT32" && fileSystem != "NTFS" &&
            fileSystem != "BitLocker")
            continue;
        if (!known && size <= 0) continue;
        if (none && size < MinBareDriveSize) continue;

        const int row = grid->rowCount() - 1;
        QString tip = QString::fromStdString(platform::DriveToolTip(drive));
        if (!known || none)
            tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) +
                   QString::fromUtf8(none ? NoFileSystemTip : UnknownFileSystemTip);
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

// At its first size every element is where the layout puts it. The window
// grows from there: the toolbar's right end and the drive list's height go
// with it, and the work area takes the rest, its lower notebook a third of
// the height gained, its upper one the rest.
void TMainForm::ArrangePanels() {
    const int windowWidth = std::max(width(), ClientWidth);
    const int windowHeight = std::max(height(), ClientHeight);
    ui->Panel4->setGeometry(0, 0, windowWidth, ToolbarHeight);
    const int widthGained = windowWidth - ClientWidth;
    ui->SpeedButton1->move(SupportLeft + widthGained, ui->SpeedButton1->y());
    // The kind choice as wide as its text needs; the count takes what is left.
    const int kindWidth = std::max(KindButtonWidth, ui->KindButton->sizeHint().width());
    ui->KindButton->setGeometry(KindButtonLeft, ui->KindButton->y(), kindWidth, ui->KindButton->height());
    const int shownLeft = KindButtonLeft + kindWidth + 6;
    ui->ShownPanel->setGeometry(shownLeft, ui->ShownPanel->y(),
                                std::max(0, SupportLeft + widthGained - 6 - shownLeft), ui->ShownPanel->height());
    UpdateShownCount();

    const int height = windowHeight - ToolbarHeight;
    ui->Panel1->setGeometry(0, ToolbarHeight, panel1Width_, height);
    ui->DriveGrid->setGeometry(0, 0, panel1Width_, height - Panel2Height);
    ui->Panel2->setGeometry(0, height - Panel2Height, panel1Width_, Panel2Height);
    ui->Splitter1->setGeometry(panel1Width_, ToolbarHeight, SplitterSize, height);
    const int workWidth = windowWidth - panel1Width_ - SplitterSize;
    ui->Panel5->setGeometry(panel1Width_ + SplitterSize, ToolbarHeight, workWidth, height);
    const int heightGained = windowHeight - ClientHeight;
    const int noteHeight = std::clamp(noteHeight_ + heightGained / 3, SplitterMinSize, height - SplitterSize - SplitterMinSize);
    // Note and its splitter hang from the bottom and take the work area's
    // width; Main keeps at least its first size (the work area cuts it
    // where the drive list is wider) and takes what the window gains.
    ui->Note->setGeometry(0, height - noteHeight, workWidth, noteHeight);
    ui->Splitter2->setGeometry(0, height - noteHeight - SplitterSize, workWidth, SplitterSize);
    ui->Main->setGeometry(0, 0, std::max(MainWidth, workWidth), std::max(MainHeight, height - noteHeight - 2 * SplitterSize));
    ArrangeColumns();
}

void TMainForm::Splitter1Dragged(int delta) {
    panel1Width_ = std::clamp(panel1Width_ + delta, SplitterMinSize, std::max(width(), ClientWidth) - SplitterSize - SplitterMinSize);
    ArrangePanels();
}

void TMainForm::Splitter2Dragged(int delta) {
    const int height = std::max(this->height(), ClientHeight) - ToolbarHeight;
    noteHeight_ = std::clamp(noteHeight_ - delta, SplitterMinSize, height - SplitterSize - SplitterMinSize);
    ArrangePanels();
}

void TMainForm::ArrangeProgressPage() {
    // The picture and the strips fill the page; the hint, the bar and the
    // button stay together in its middle.
    const int w = ui->Panel7->width(), h = ui->Panel7->height();
    const int dx = std::max(0, (w - MainWidth) / 2), dy = std::max(0, (h - MainHeight) / 2);
    ui->Panel8->setGeometry(0, 0, w, 1);
    ui->Image1->setGeometry(0, 1, w, std::max(1, h - 1 - LogPanelHeight));
    // The picture is drawn as it is up to its own size, and stretched to
    // cover a larger page (it is a gradient: it stretches without showing).
    const QSize picture = ui->Image1->pixmap().size();
    ui->Image1->setScaledContents(ui->Image1->width() > picture.width() || ui->Image1->height() > picture.height());
    ui->LogPanel->setGeometry(0, h - LogPanelHeight, w, LogPanelHeight);
    ui->Panel6->move(Panel6Place.x() + dx, Panel6Place.y() + dy);
    ui->Gauge1->move(Gauge1Place.x() + dx, Gauge1Place.y() + dy);
    ui->StartButton->move(StartButtonPlace.x() + dx, StartButtonPlace.y() + dy);
    // Centred under the button.
    if (snapshotsBox_)
        snapshotsBox_->move(ui->StartButton->geometry().center().x() - snapshotsBox_->width() / 2,
                            ui->StartButton->geometry().bottom() + SnapshotsBoxGap);
}

void TMainForm::ArrangeDetails() {
    // The fields keep their places; the texts that run long (path, state
    // and the rows below them) reach to the preview, or to the right edge
    // less the first size's margin. The preview takes the room right of
    // the fields once there is enough, else below them.
    const int w = ui->Panel3->width(), h = ui->Panel3->height();
    const bool right = w - DetailsWidth >= MinPreviewWidth && h >= MinPreviewHeight;
    const bool below = !right && h - DetailRowsBottom >= MinPreviewHeight;
    const int textRight = right ? DetailsWidth - DetailsMargin : w - DetailsMargin;
    for (QLabel* label : {ui->PathPanel, ui->StatePanel, namesPanel_, streamsPanel_, zonePanel_})
        label->resize(std::max(0, textRight - label->x()), label->height());
    ElideExtras();
    if (right) preview_->setGeometry(DetailsWidth, 4, w - DetailsWidth - 6, h - 8);
    else if (below) preview_->setGeometry(16, DetailRowsBottom + 4, w - 32, h - DetailRowsBottom - 8);
    preview_->setVisible(right || below);
}

void TMainForm::ArrangeColumns() {
    // What the list gains beyond its first width goes to the name (a third)
    // and the path (the rest); the widths chosen stay as they are.
    if (columnWidths_.size() != TResultModel::ColumnCount) return;
    const int gained = std::max(0, ui->Main->width() - MainWidth);
    columnExtra_.assign(TResultModel::ColumnCount, 0);
    columnExtra_[TResultModel::ColFileName] = gained / 3;
    columnExtra_[TResultModel::ColPath] = gained - gained / 3;
    arranging_ = true;
    for (int column = 0; column < TResultModel::ColumnCount; ++column)
        ui->ResultGrid->setColumnWidth(column, columnWidths_[static_cast<std::size_t>(column)] +
                                                   columnExtra_[static_cast<std::size_t>(column)]);
    arranging_ = false;
}

void TMainForm::ColumnResized(int column, int /*oldSize*/, int newSize) {
    // A width the user chose, less what the window's width adds to it.
    if (arranging_ || column < 0 || column >= static_cast<int>(columnWidths_.size())) return;
    const auto c = static_cast<std::size_t>(column);
    columnWidths_[c] = std::max(MinColumnWidth, newSize - (c < columnExtra_.size() ? columnExtra_[c] : 0));
}

std::unique_ptr<QSettings> TMainForm::Settings() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QString::fromLatin1(ApplicationId),
                                       QStringLiteral("window"));
}

void TMainForm::RestoreSettings() {
    const std::unique_ptr<QSettings> settings = Settings();
    const QSize size = settings->value(QStringLiteral("size")).toSize();
    if (size.isValid() && (size.width() > ClientWidth || size.height() > ClientHeight))
        resize(size.expandedTo(QSize(ClientWidth, ClientHeight)));
    const QVariantList widths = settings->value(QStringLiteral("columns")).toList();
    if (widths.size() == TResultModel::ColumnCount) {
        std::vector<int> chosen;
        for (const QVariant& width : widths) chosen.push_back(std::clamp(width.toInt(), MinColumnWidth, MaxColumnWidth));
        columnWidths_ = chosen;
    }
    if (settings->value(QStringLiteral("maximised"), false).toBool()) setWindowState(windowState() | Qt::WindowMaximized);
    ArrangePanels();
}

void TMainForm::SaveSettings() {
    const std::unique_ptr<QSettings> settings = Settings();
    settings->setValue(QStringLiteral("maximised"), isMaximized());
    // The size before it was maximised is the one to open at next time.
    settings->setValue(QStringLiteral("size"), isMaximized() ? normalGeometry().size() : size());
    QVariantList widths;
    for (int width : columnWidths_) widths << width;
    settings->setValue(QStringLiteral("columns"), widths);
}

QString TMainForm::LastFolder(const char* key) const {
    const QString folder = Settings()->value(QString::fromLatin1(key)).toString();
    return !folder.isEmpty() && QDir(folder).exists() ? folder : QDir::homePath();
}

void TMainForm::SetLastFolder(const char* key, const QString& folder) {
    Settings()->setValue(QString::fromLatin1(key), folder);
}

void TMainForm::MakeSnapshotsBox() {
    snapshotsBox_ = new QCheckBox(QString::fromUtf8(SnapshotsCheckText), ui->Panel7);
    snapshotsBox_->setObjectName(QStringLiteral("SnapshotsBox"));
    snapshotsBox_->setToolTip(QString::fromUtf8(SnapshotsCheckTip));
    snapshotsBox_->setCursor(Qt::PointingHandCursor);
    // White on the page's blue; the style draws the box itself, as anywhere.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    snapshotsBox_->setFont(font);
    QPalette palette = snapshotsBox_->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    snapshotsBox_->setPalette(palette);
    snapshotsBox_->adjustSize();
    ArrangeProgressPage();
}

void TMainForm::MakeDetailRows() {
    // Below the state: further names, named streams, where a download came
    // from; seen once the details page is taller than at first.
    auto label = [this](const char* name, int x, int y, int w, bool caption) {
        auto* made = new QLabel(ui->Panel3);
        made->setObjectName(QString::fromLatin1(name));
        made->setGeometry(x, y, w, DetailRowPitch);
        made->setStyleSheet(caption ? QStringLiteral("color: #808080;") : QStringLiteral("color: #000000;"));
        return made;
    };
    namesCaption_ = label("NamesCaption", 64, DetailRowTop, 36, true);
    namesPanel_ = label("NamesPanel", 101, DetailRowTop, 508, false);
    streamsCaption_ = label("StreamsCaption", 64, DetailRowTop + DetailRowPitch, 36, true);
    streamsPanel_ = label("StreamsPanel", 101, DetailRowTop + DetailRowPitch, 508, false);
    zoneCaption_ = label("ZoneCaption", 64, DetailRowTop + 2 * DetailRowPitch, 36, true);
    zonePanel_ = label("ZonePanel", 101, DetailRowTop + 2 * DetailRowPitch, 508, false);
    namesCaption_->setText(QString::fromUtf8(NamesCaptionText));
    streamsCaption_->setText(QString::fromUtf8(StreamsCaptionText));
    zoneCaption_->setText(QString::fromUtf8(ZoneCaptionText));
    // The values begin past the widest caption, as "Path :" and "State :"
    // have theirs.
    int captions = 0;
    for (QLabel* caption : {namesCaption_, streamsCaption_, zoneCaption_}) {
        caption->ensurePolished();
        captions = std::max(captions, caption->fontMetrics().horizontalAdvance(caption->text()));
    }
    for (QLabel* caption : {namesCaption_, streamsCaption_, zoneCaption_}) caption->resize(captions + 2, DetailRowPitch);
    const int valueLeft = std::max(101, 64 + captions + 6);
    for (QLabel* value : {namesPanel_, streamsPanel_, zonePanel_}) value->move(valueLeft, value->y());
    ShowExtras(nullptr);
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ArrangePanels();
}

void TMainForm::showEvent(QShowEvent* event) {
    if (!centred_) {
        centred_ = true;
        if (const QScreen* display = screen(); display && !isMaximized()) {
            const QRect area = display->availableGeometry();
            move(area.center() - QPoint(width() / 2, height() / 2));
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
    if (event->type() == QEvent::Resize) {
        if (watched == ui->Panel3) ArrangeDetails();
        else if (watched == ui->Panel7) ArrangeProgressPage();
    }
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
