// The program's one window: the drive list, the scan with its progress page
// and log, the result list with the details of the selected file, and the
// toolbar commands. Split into files by concern: MainForm.cpp (creation,
// layout, drive list), MainFormSelect.cpp (selection and file details),
// MainFormScan.cpp (scan control), MainFormFind.cpp (sorting, search and
// filters of the result list), MainFormBatch.cpp (recovery of many files),
// MainFormCommands.cpp (toolbar commands, quitting, failure messages).
#pragma once

#include <QPointer>
#include <QWidget>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "IconImageList.h"
#include "volume/Batch.h"
#include "volume/Pass.h"
#include "volume/Recover.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

namespace Ui {
class TMainForm;
}
class QAction;
class QCheckBox;
class QLabel;
class QFileDialog;
class QMenu;
class TBatchWorker;
class TLogView;
class TPreviewPane;
class TResultModel;
class TScanner;
class QSettings;
struct TFoundChunk;

// The maker's web site and the product page on it.
inline constexpr const char* MakerSite = "http://deruzera.example/";
inline constexpr const char* ProductPage = "http://deruzera.example/details/ntfs-deruzera";

// The application's id: the name of its desktop entry, its software
// centre page and icon, and the folder of its settings. Stays as it is.
inline constexpr const char* ApplicationId = "io.github.deruzera.NtfsDeruzera";

// Texts the window shows.
inline constexpr const char* WindowCaption = "NTFS Deruzera 1.3";
inline constexpr const char* IdleHint = "Please select the drive and press «Scan Drive» button";
inline constexpr const char* ScanningHint = "Please wait while the program finishes scanning the drive ";
inline constexpr const char* ScanCaption = "Scan Drive";
inline constexpr const char* CancelCaption = "Cancel";
inline constexpr const char* BatchHint = "Please wait while the program recovers the files into ";
inline constexpr const char* RecoverCommand = "Recovery";
inline constexpr const char* RecoverFolderCommand = "Recover this folder";
inline constexpr const char* ExportCommand = "Export the list…";
inline constexpr const char* SelectedFilesText = "%1 files selected";
inline constexpr const char* SelectedShownText = "%1 of %2 shown, %3 selected (%4)";
inline constexpr const char* ShownText = "%1 of %2 shown";
inline constexpr const char* RecoverableKindText = ", can come back";
inline constexpr const char* UnknownFileSystem = "?";
inline constexpr const char* NamesCaptionText = "Names :";
inline constexpr const char* StreamsCaptionText = "Streams :";
inline constexpr const char* ZoneCaptionText = "Download :";
// The whole text of a label that shows it cut.
inline constexpr const char* FullTextProperty = "fullText";
inline constexpr const char* RecoverTip = "Recover the selected files (%1)";
inline constexpr const char* ExportTitle = "Export the list";
inline constexpr const char* ExportCsvFilter = "CSV, every field (*.csv)";
inline constexpr const char* ExportBodyFilter = "Body file for mactime (*.body)";
inline constexpr const char* ExportFailedText = "Unable to write %1: %2";
// The drive list's menu: the scan, and the passes over the whole drive.
inline constexpr const char* DeepScanCommand = "Deep Scan";
inline constexpr const char* CarveCommand = "Carve Files";
inline constexpr const char* DeepCarveCommand = "Deep Scan and Carve Files";
// Beside the scan: the drive's shadow copies scanned after it.
inline constexpr const char* SnapshotsCheckText = "Include shadow copies";
inline constexpr const char* SnapshotsCheckTip =
    "After the drive, scan its shadow copies (previous versions) for the files they still hold and the drive no "
    "longer has";
inline constexpr const char* NoFileSystemTip =
    "No file system was found on this drive: a deep scan or carving, in the drive's menu, may still find its files.";
inline constexpr const char* UnknownFileSystemTip =
    "The file system can't be told without read access to the device; a scan says why it can't be read.";

class TMainForm : public QWidget {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // The drive string chosen in the drive list.
    std::string SelectedDrive;
    // Set while a scan runs to stop it at the next record (a batch has a
    // flag of its own).
    std::atomic<bool> AbortRequested{false};
    // How a drive string becomes a device: the drive map's read-only open
    // unless replaced.
    deruzera::TDeviceOpener OpenDevice;
    // The listed scan: its device, volume, directories and found files.
    std::shared_ptr<deruzera::TScanResults> Results;
    std::int64_t FoundCount() const { return Results ? static_cast<std::int64_t>(Results->Files.size()) : 0; }

    // ---- Creation and the drive list ----
    void FormCreate();
    void FillDriveGrid();

    // The grids as rows of text cells. Row 0 is the header row.
    int DriveGridRowCount() const;
    QString DriveGridCell(int column, int row) const;
    int ResultGridRowCount() const;
    QString ResultGridCell(int column, int row) const;
    // The result grid's current row, 0 when it has none.
    int ResultGridRow() const;
    // Makes `row` (>= 1) the result grid's current row, as the user would.
    void SelectResultRow(int row);
    void SelectDriveRow(int row);

    // ---- Selection and file details ----
    void ResultGridSelectCell(int column, int row, bool& canSelect);
    void ShowFileDetails(int row);
    // The type name and the icon index of a file extension; nothing on
    // failure (an empty extension). The index may be one the icon list
    // can't give.
    std::optional<int> GetFileTypeInfo(const QString& extension, unsigned attributes, QString& typeName);
    void DriveGridSelectCell(int column, int row, bool& canSelect);

    // ---- Scan control ----
    void StartButtonClick();
    // Before a scan of a BitLocker drive the keys given so far don't
    // unlock: asks for its password or recovery password until one does;
    // false where the user cancels (no scan).
    bool AskDriveKeys();
    // The scan of the selected drive; with `pass` asking for a deep scan or
    // carving, that pass over the whole drive instead.
    void StartScan(const deruzera::TPassOptions& pass = {});
    // The drive list's menu at a drive row: the scan and the passes.
    QMenu* DriveGridMenu();
    // The listed file `entry` a pass found: its index in the pass's
    // results; -1 for a file of a walk, or no entry.
    std::int64_t PassIndexOf(std::int64_t entry) const;
    void ScanFinished();
    // True while the scan's worker runs.
    bool ScanRunning() const;
    // Waits until the scan's worker has ended (tests, quitting).
    void WaitForScan();

    // ---- Commands ----
    void AnalizeButtonClick();
    void SalvaneButtonClick();
    void UpdateButtonClick();
    void SpeedButton1Click();
    void Panel2Click();
    void FormCloseQuery(bool& canClose);
    static void OpenURL(const QString& address);

    // ---- Failures ----
    // The text of the failure box: the message with a full stop appended
    // when its last character sorts above the full stop.
    static QString FailureText(const QString& message);
    void ShowFailure(const QString& message);
    static QString ApplicationTitle();

    // The recovery's save dialog with the proposed name; the chosen path.
    std::optional<std::string> AskTargetPath(const std::string& proposedName);
    // A question of the recovery's, Yes or No (No the default).
    bool AskYesNo(const std::string& question);

    // The scan worker's reports, on this window's thread. The walk begins:
    // the result grid is cut and the progress bar's maximum set.
    void ReportWalking(std::int64_t recordCount);
    // The count of finds in LogPanel and the progress bar's position.
    void ReportProgress(std::int64_t position, std::int64_t found);
    // A pass's progress: its text in LogPanel, the bytes read on the bar.
    void ReportPassProgress(const deruzera::TPassProgress& progress);

    // Recovers the file of the result grid's one selected row.
    void RecoverSelectedFile();
    // Whether "Recovery" can act now: files are listed, one or more rows
    // are selected, and neither a scan nor a batch runs.
    bool CanRecover() const;
    // Enables "Recovery" as CanRecover says.
    void UpdateRecoverButton();

    // ---- Size and settings ----
    // The window's settings: its size, whether maximised, the widths of the
    // result columns, the folders last chosen.
    static std::unique_ptr<QSettings> Settings();
    // Writes the window's size and column widths to the settings.
    void SaveSettings();

    // ---- Preview of the selected file ----
    TPreviewPane* Preview() const { return preview_; }

    // ---- Export of the list ----
    // Asks for a file and writes the rows shown, in their order, as CSV or
    // as a body file. False where nothing was written.
    bool ExportList();
    // Writes the rows shown to `path` as `format` ("csv", "bodyfile",
    // "json"); false (and why) where it can't be written.
    bool ExportListTo(const QString& path, const QString& format, QString* why = nullptr);

    // ---- Finding files: sort, search, filters (MainFormFind.cpp) ----
    TResultModel* ResultModel() const { return resultModel_; }
    // Sorts the list by a column, as a click on its header does; the
    // selection and the current row stay with their files.
    void SortResults(int column, Qt::SortOrder order);
    // Shows the files that the search field, the type choice and the
    // recoverability choice let through; the selection stays with its files.
    void ApplyFind();
    // Chooses a kind of file in the type choice (-1: all files).
    void ChooseKind(int kind);
    void ChooseRecoverableOnly(bool only);
    // The grid rows selected, in order.
    std::vector<int> SelectedResultRows() const;
    // The context menu of a result row; null where the row shows no file.
    QMenu* ResultGridMenu(int gridRow);

    // ---- Recovery of many files (MainFormBatch.cpp) ----
    // Asks for a folder and recovers the files of the selected rows there.
    void RecoverSelectedFiles();
    // Recovers every found file in the folder of a row's file or below it.
    void RecoverFolderOf(int gridRow);
    // Asks for a folder and recovers `entries` (of the listed results) there
    // on a worker, the progress page showing how far it got.
    void RecoverEntries(const std::vector<std::uint32_t>& entries);
    // The folder dialog; the chosen folder.
    std::optional<std::string> AskFolder();
    bool BatchRunning() const;
    // Waits until the batch's worker has ended (tests, quitting).
    void WaitForBatch();
    // The batch worker's progress, on this window's thread.
    void ReportBatchProgress(const deruzera::TBatchProgress& progress);
    void BatchFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs an event handler; a failure that escapes it is shown in the
    // failure box, and the window goes on.
    template <class F>
    void Guarded(F&& handler);

    void SetupGrids();
    void ConnectHandlers();
    // A cell chosen by the user in a grid, by view row (grid row - 1).
    void DriveGridCellChosen(int column, int viewRow);
    void ResultGridCellChosen(int column, int viewRow);
    void SetDriveGridRowCount(int count);
    void ArrangePanels();
    void ArrangeProgressPage();
    void ArrangeDetails();
    void ArrangeColumns();
    void ColumnResized(int column, int oldSize, int newSize);
    void RestoreSettings();
    // The selection changed: details, preview, the count and "Recovery".
    void SelectionChanged();
    void ShowSelectionDetails();
    void ShowExtras(const deruzera::TFoundFiles* file);
    void ClearDetails();
    void MakeDetailRows();
    // The check box under "Scan Drive" that includes the shadow copies.
    void MakeSnapshotsBox();
    void ElideExtras();
    void FilesFound(const std::shared_ptr<const TFoundChunk>& chunk);
    void SetupCommands();
    // Recovers what is highlighted, as "Recovery" does, where it can.
    void RecoverHighlighted();
    // The context menu of the result list where the keyboard asks for it.
    void ResultGridMenuAtCurrent();
    QString LastFolder(const char* key) const;
    void SetLastFolder(const char* key, const QString& folder);
    void Splitter1Dragged(int delta);
    void Splitter2Dragged(int delta);
    void SetupFind();
    void SetFindEnabled(bool enabled);
    void UpdateShownCount();
    void ResultGridContextMenu(const QPoint& at);
    void DriveGridContextMenu(const QPoint& at);
    // The files selected and current, kept across a sort or a filter.
    struct TKeptSelection {
        std::vector<std::uint32_t> Entries;
        std::int64_t Current = -1;
        int Column = 0;
    };
    TKeptSelection KeepSelection() const;
    void RestoreSelection(const TKeptSelection& kept);

    Ui::TMainForm* ui;
    TResultModel* resultModel_ = nullptr;
    TLogView* logView_ = nullptr;
    TIconImageList IconImageList;
    QFileDialog* SaveDialog1 = nullptr;  // made when the first recovery asks
    QPointer<TScanner> scanner_;
    QPointer<TBatchWorker> batch_;
    QFileDialog* FolderDialog1 = nullptr;  // made when the first batch asks
    QMenu* kindMenu_ = nullptr;
    QAction* recoverableAction_ = nullptr;
    int kind_ = -1;  // the kind of file shown, -1 for all
    bool settingRow_ = false;  // a row chosen by the program, not the user
    bool centred_ = false;
    int panel1Width_ = 192;
    int noteHeight_ = 84;
    // The result columns' widths as chosen (or first set), and what the
    // window's extra width adds to each.
    std::vector<int> columnWidths_;
    std::vector<int> columnExtra_;
    bool arranging_ = false;  // the program sets the columns' widths
    TPreviewPane* preview_ = nullptr;
    QAction* recoverAction_ = nullptr;
    QAction* exportAction_ = nullptr;
    // "Recovery" may be enabled: the list is in view after a scan or a
    // batch (the state Results), not before a scan nor on the scan page.
    bool recoverAllowed_ = false;
    // The running pass has replaced the listed results (at its walk, its
    // deep scan or its first carved files).
    bool passListed_ = false;
    // The details page's rows beyond the first ones: further names, named
    // streams, where a download came from.
    QLabel* namesCaption_ = nullptr;
    QLabel* namesPanel_ = nullptr;
    QLabel* streamsCaption_ = nullptr;
    QLabel* streamsPanel_ = nullptr;
    QLabel* zoneCaption_ = nullptr;
    QLabel* zonePanel_ = nullptr;
    QCheckBox* snapshotsBox_ = nullptr;
};

template <class F>
void TMainForm::Guarded(F&& handler) {
    try {
        handler();
    } catch (const std::exception& failure) {
        ShowFailure(QString::fromStdString(failure.what()));
    } catch (...) {
        ShowFailure(QStringLiteral("Unknown failure"));
    }
}
