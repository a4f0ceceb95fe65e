// Selection in the two grids and the details of the selected file.
#include <QLabel>
#include <QMimeDatabase>
#include <QMimeType>

#include "MainForm.h"
#include "ResultModel.h"
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
    if (canSelect && row >= 1) ShowFileDetails(row);
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
    if (const deruzera::TFoundFiles* file = resultModel_->FileAt(row); file && Results && Results->Volume)
        state = QString::fromStdString(deruzera::StateText(*file, Results->Volume->Overwriters().Of(file->Record)));
    ui->StatePanel->setText(state);
    ui->StatePanel->setToolTip(state);
    ToolTipWhereClipped(ui->FileNamePanel);
    ToolTipWhereClipped(ui->PathPanel);

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
