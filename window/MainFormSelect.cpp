// Selection in the two grids and the details of the selected file.
#include <QLabel>
#include <QMimeDatabase>
#include <QMimeType>

#include <QItemSelectionModel>
#include <QRegularExpression>

#include "MainForm.h"
#include "Preview.h"
#include "ResultModel.h"
#include "platform/Locale.h"
#include "volume/SizeText.h"
#include "ui_Main.h"

namespace {

// A cell's text without leading and trailing blanks and control characters
// (codes 0 to 32).
QString TrimCell(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text[first].unicode() <= 32) ++first;
    while (last > first && text[last - 1].unicode() <= 32) --last;
    return text.mid(first, last - first);
}

// The extension of a file name: from its last "." to the end, dot included,
// unless a "\" or ":" follows that dot.
QString ExtensionOf(const QString& name) {
    for (qsizetype i = name.size() - 1; i >= 0; --i) {
        const QChar c = name[i];
        if (c == QLatin1Char('.')) return name.mid(i);
        if (c == QLatin1Char('\\') || c == QLatin1Char(':')) break;
    }
    return {};
}

// The whole text as a tooltip where the label is too narrow for it.
void ToolTipWhereClipped(QLabel* label) {
    const bool clipped = label->fontMetrics().horizontalAdvance(label->text()) > label->contentsRect().width();
    label->setToolTip(clipped ? label->text() : QString());
}

}  // namespace

void TMainForm::ResultGridSelectCell(int /*column*/, int row, bool& canSelect) {
    if (ui->Main->currentIndex() == 0) ui->Note->setCurrentIndex(1);
    canSelect = !ResultGridCell(0, row).isEmpty();
    // The details show the selection: this row, where it is the only one.
    if (canSelect && row >= 1) {
        if (SelectedResultRows().size() > 1) ShowSelectionDetails();
        else ShowFileDetails(row);
    }
}

void TMainForm::SelectionChanged() {
    // The current row is always selected: where it was taken out of a
    // selection of several, the nearest selected row becomes current, and
    // where nothing is left selected, it is selected again.
    QItemSelectionModel* model = ui->ResultGrid->selectionModel();
    const QModelIndex current = ui->ResultGrid->currentIndex();
    if (!settingRow_ && current.isValid() && resultModel_->EntryAt(current.row() + 1) >= 0 &&
        !model->isRowSelected(current.row(), QModelIndex())) {
        const std::vector<int> rows = SelectedResultRows();
        settingRow_ = true;
        if (rows.empty()) {
            model->select(current, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        } else {
            int nearest = rows.front();
            for (int row : rows)
                if (std::abs(row - 1 - current.row()) < std::abs(nearest - 1 - current.row())) nearest = row;
            model->setCurrentIndex(resultModel_->index(nearest - 1, current.column()), QItemSelectionModel::NoUpdate);
        }
        settingRow_ = false;
    }
    if (ui->Main->currentIndex() == 0 && resultModel_->ShownCount() > 0) ShowSelectionDetails();
    UpdateShownCount();
    UpdateRecoverButton();
}

void TMainForm::ShowSelectionDetails() {
    const std::vector<int> rows = SelectedResultRows();
    if (rows.size() == 1) {
        ShowFileDetails(rows.front());
        return;
    }
    if (rows.empty()) return;
    // Several: how many, and their size together.
    std::int64_t total = 0;
    for (int row : rows)
        if (const deruzera::TFoundFiles* file = resultModel_->FileAt(row)) total += std::max<std::int64_t>(file->FileSize, 0);
    ClearDetails();
    ui->FileNamePanel->setText(QString::fromUtf8(SelectedFilesText).arg(rows.size()));
    ui->FileSizePanel->setText(QString::fromStdString(
        deruzera::SizeToText(total, deruzera::platform::DecimalSeparator())));
}

void TMainForm::ClearDetails() {
    for (QLabel* panel : {ui->FileNamePanel, ui->FileTypePanel, ui->PathPanel, ui->FileSizePanel,
                          ui->CreationTimePanel, ui->ChangeTimePanel, ui->StatePanel}) {
        panel->clear();
        panel->setToolTip(QString());
    }
    ui->IconImage->clear();
    ShowExtras(nullptr);
    preview_->Clear();
}

void TMainForm::ShowExtras(const deruzera::TFoundFiles* file) {
    // Further names, named streams and, where a Zone.Identifier says it,
    // where a download came from; the rows are empty for a file without.
    const deruzera::TFoundExtras* extras = file && Results ? Results->Files.Extras(*file) : nullptr;
    QStringList names, streams, zone;
    if (extras) {
        for (const deruzera::TFoundLink& link : extras->Links)
            names << TResultModel::ShownText(Results->Volume ? Results->FolderPath(link.ParentRecord, *file) + link.Name
                                                             : link.Name);
        for (const deruzera::TFoundStream& stream : extras->Streams) {
            streams << TResultModel::ShownText(stream.Name) + QStringLiteral(" (") +
                           QString::fromStdString(deruzera::SizeToText(static_cast<std::int64_t>(stream.Size),
                                                                       deruzera::platform::DecimalSeparator())) +
                           QLatin1Char(')');
            if (QString::fromStdString(stream.Name).compare(QStringLiteral("Zone.Identifier"), Qt::CaseInsensitive) == 0)
                for (const QString& line : QString::fromUtf8(stream.Bytes.data(), static_cast<qsizetype>(stream.Bytes.size()))
                                               .split(QRegularExpression(QStringLiteral("[\\r\\n]+")), Qt::SkipEmptyParts))
                    zone << TResultModel::ShownText(line.trimmed().toStdString());
        }
    }
    const std::pair<QLabel*, QString> rows[] = {{namesPanel_, names.join(QStringLiteral("; "))},
                                                {streamsPanel_, streams.join(QStringLiteral(", "))},
                                                {zonePanel_, zone.join(QStringLiteral("  "))}};
    for (const auto& [panel, text] : rows) {
        panel->setProperty(FullTextProperty, text);
        panel->setToolTip(text.isEmpty() ? QString() : TResultModel::WrappingToolTip(text));
    }
    ElideExtras();
    namesCaption_->setVisible(!names.isEmpty());
    streamsCaption_->setVisible(!streams.isEmpty());
    zoneCaption_->setVisible(!zone.isEmpty());
    if (!zone.isEmpty()) zonePanel_->setToolTip(TResultModel::WrappingToolTip(zone.join(QLatin1Char('\n'))));
}

void TMainForm::ShowFileDetails(int row) {
    // From the file the row shows, not from its cells' text.
    const std::int64_t entry = resultModel_->EntryAt(row);
    auto text = [&](int column) {
        return entry < 0 ? QString() : TrimCell(resultModel_->EntryText(column, static_cast<std::uint32_t>(entry)));
    };
    const QString name = entry < 0 ? QString() : resultModel_->EntryText(TResultModel::ColFileName, static_cast<std::uint32_t>(entry));
    ui->FileNamePanel->setText(TrimCell(name));
    ui->PathPanel->setText(text(TResultModel::ColPath));
    ui->FileSizePanel->setText(text(TResultModel::ColSize));
    ui->CreationTimePanel->setText(text(TResultModel::ColCreated));
    ui->ChangeTimePanel->setText(text(TResultModel::ColModified));
    // Whether its clusters still hold it, and who holds them now; the whole
    // text where the panel cuts it.
    QString state;
    // A file a snapshot gave: its state there, and which snapshot.
    if (const deruzera::TFoundFiles* file = resultModel_->FileAt(row); file && Results && Results->Volume) {
        deruzera::TNtfsVolume* volume = Results->VolumeOf(*file);
        std::string said = deruzera::StateText(*file, PassIndexOf(entry) >= 0 || volume == nullptr
                                                          ? std::vector<std::string>{}
                                                          : volume->Overwriters().Of(file->Record));
        if (file->Snapshot != 0 && volume != nullptr)
            said += "; " + deruzera::SnapshotNote(file->Snapshot, volume->Snapshot().Created);
        state = QString::fromStdString(said);
    }
    ui->StatePanel->setText(state);
    ui->StatePanel->setToolTip(state);
    ToolTipWhereClipped(ui->FileNamePanel);
    ToolTipWhereClipped(ui->PathPanel);
    if (entry >= 0 && TResultModel::UnresolvedPath(resultModel_->EntryPath(static_cast<std::uint32_t>(entry))))
        ui->PathPanel->setToolTip(TResultModel::WrappingToolTip(ui->PathPanel->text() + QLatin1Char('\n') +
                                                                QString::fromUtf8(UnresolvedPathTip)));
    else if (!ui->PathPanel->toolTip().isEmpty())
        ui->PathPanel->setToolTip(TResultModel::WrappingToolTip(ui->PathPanel->toolTip()));
    const deruzera::TFoundFiles* shown = resultModel_->FileAt(row);
    ShowExtras(shown);
    if (shown && Results) preview_->ShowFile(Results, *shown, PassIndexOf(entry));
    else preview_->Clear();

    QString typeName;
    bool found = false;
    try {
        ui->IconImage->setPixmap(QPixmap());
        const std::optional<int> icon = GetFileTypeInfo(ExtensionOf(name), 0, typeName);
        if (icon) {
            found = true;
            ui->IconImage->setPixmap(IconImageList.Icon(*icon));  // null where the list can't give it
        }
    } catch (const std::exception&) {
        found = false;
    }
    if (!found) {
        ui->IconImage->clear();
        typeName = QStringLiteral("Unknown");
    }
    ui->FileTypePanel->setText(typeName);
}

std::optional<int> TMainForm::GetFileTypeInfo(const QString& extension, unsigned /*attributes*/, QString& typeName) {
    if (extension.isEmpty()) return std::nullopt;
    const QString dotted = extension.startsWith(QLatin1Char('.')) ? extension : QLatin1Char('.') + extension;
    // Asked for the extension alone, never for a real file. An extension the
    // database doesn't know gets its generic type.
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(QStringLiteral("file") + dotted, QMimeDatabase::MatchExtension);
    if (!type.isValid()) return std::nullopt;
    typeName = type.comment();
    return IconImageList.IndexOf(type.iconName(), type.genericIconName());
}

void TMainForm::DriveGridSelectCell(int /*column*/, int row, bool& canSelect) {
    SelectedDrive = TrimCell(DriveGridCell(0, row)).toStdString();
    if (ui->DriveGrid->isEnabled() && canSelect)
        ui->LogPanel->setText(QString::fromStdString(deruzera::DriveChangedText(SelectedDrive)));
}

void TMainForm::ElideExtras() {
    // Cut to the room they have, with an ellipsis; the tooltip has them whole.
    for (QLabel* panel : {namesPanel_, streamsPanel_, zonePanel_}) {
        const QString text = panel->property(FullTextProperty).toString();
        panel->setText(panel->fontMetrics().elidedText(text, Qt::ElideRight, panel->width()));
    }
}
