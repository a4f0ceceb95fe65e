// Finding a file among many: sorting by a header click, the search field,
// the choice of a kind of file and of files that can still come back, the
// count of rows shown, and the result rows' context menu. Placed in the
// toolbar's empty stretch, so nothing of the window's layout moves.
#include <QActionGroup>
#include <QHeaderView>
#include <QItemSelection>
#include <QLineEdit>
#include <QMenu>
#include <QShortcut>

#include "MainForm.h"
#include "ResultGrid.h"
#include "platform/Locale.h"
#include "volume/SizeText.h"
#include "ResultModel.h"
#include "ui_Main.h"

void TMainForm::SetupFind() {
    QHeaderView* header = ui->ResultGrid->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this](int column, Qt::SortOrder order) {
        Guarded([&] { SortResults(column, order); });
    });

    connect(ui->SearchEdit, &QLineEdit::textChanged, this, [this] { Guarded([this] { ApplyFind(); }); });
    auto* find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, [this] {
        if (!ui->SearchEdit->isEnabled()) return;
        ui->SearchEdit->setFocus();
        ui->SearchEdit->selectAll();
    });

    kindMenu_ = new QMenu(ui->KindButton);
    kindMenu_->setObjectName(QStringLiteral("KindMenu"));
    auto* kinds = new QActionGroup(kindMenu_);
    for (int kind = -1; kind < KindCount; ++kind) {
        QAction* action = kindMenu_->addAction(kind < 0 ? QStringLiteral("All files")
                                                        : FileKindName(static_cast<TFileKind>(kind)));
        action->setCheckable(true);
        action->setChecked(kind < 0);
        kinds->addAction(action);
        connect(action, &QAction::triggered, this, [this, kind] { Guarded([&] { ChooseKind(kind); }); });
    }
    kindMenu_->addSeparator();
    recoverableAction_ = kindMenu_->addAction(QStringLiteral("Only files that can still come back"));
    recoverableAction_->setCheckable(true);
    recoverableAction_->setEnabled(false);
    connect(recoverableAction_, &QAction::toggled, this, [this](bool on) { Guarded([&] { ChooseRecoverableOnly(on); }); });
    ui->KindButton->setMenu(kindMenu_);

    connect(ui->ResultGrid, &QWidget::customContextMenuRequested, this, &TMainForm::ResultGridContextMenu);
}

void TMainForm::SetFindEnabled(bool enabled) {
    ui->SearchEdit->setEnabled(enabled);
    ui->KindButton->setEnabled(enabled);
    recoverableAction_->setEnabled(enabled && resultModel_->AnyStateKnown());
}

void TMainForm::UpdateShownCount() {
    const std::size_t found = resultModel_->EntryCount();
    QString text;
    if (found > 0 && resultModel_->ShownCount() > 0 && !ScanRunning()) {
        const std::vector<int> rows = SelectedResultRows();
        if (rows.size() > 1) {
            std::int64_t total = 0;
            for (int row : rows)
                if (const deruzera::TFoundFiles* file = resultModel_->FileAt(row)) total += std::max<std::int64_t>(file->FileSize, 0);
            text = QString::fromUtf8(SelectedShownText)
                       .arg(resultModel_->ShownCount())
                       .arg(found)
                       .arg(rows.size())
                       .arg(QString::fromStdString(deruzera::SizeToText(total, deruzera::platform::DecimalSeparator())));
        } else {
            text = QString::fromUtf8(ShownText).arg(resultModel_->ShownCount()).arg(found);
        }
    } else if (found > 0 && !ScanRunning()) {
        text = QString::fromUtf8(ShownText).arg(0).arg(found);
    }
    // Cut to the room it has; the whole of it on the tooltip.
    const QFontMetrics metrics(ui->ShownPanel->font());
    ui->ShownPanel->setText(metrics.elidedText(text, Qt::ElideRight, ui->ShownPanel->width()));
    ui->ShownPanel->setToolTip(ui->ShownPanel->text() == text ? QString() : text);
}

void TMainForm::ChooseKind(int kind) {
    kind_ = kind;
    const QList<QAction*> actions = kindMenu_->actions();
    if (kind + 1 < actions.size()) actions[kind + 1]->setChecked(true);
    ApplyFind();
}

void TMainForm::ChooseRecoverableOnly(bool only) {
    if (recoverableAction_->isChecked() != only) recoverableAction_->setChecked(only);  // toggles back here
    else ApplyFind();
}

namespace {

// The kind choice's text: the kind shown, whether only files that can
// still come back are, and a mark that a menu opens here.
QString KindText(int kind, bool recoverableOnly) {
    QString text = kind < 0 ? QStringLiteral("All files") : FileKindName(static_cast<TFileKind>(kind));
    if (recoverableOnly) text += QString::fromUtf8(RecoverableKindText);
    return text + QString::fromUtf8(" \u25BE");
}

}  // namespace

void TMainForm::ApplyFind() {
    TResultModel::TFilter filter;
    filter.Text = ui->SearchEdit->text();
    filter.Kinds = kind_ < 0 ? TResultModel::AllKinds : 1u << kind_;
    filter.RecoverableOnly = recoverableAction_->isChecked();
    const QString kindText = KindText(kind_, filter.RecoverableOnly);
    if (ui->KindButton->text() != kindText) {
        ui->KindButton->setText(kindText);
        ArrangePanels();
    }
    if (filter == resultModel_->Filter()) return;
    const TKeptSelection kept = KeepSelection();
    resultModel_->SetFilter(filter);
    RestoreSelection(kept);
    UpdateShownCount();
    UpdateRecoverButton();
    // Nothing left to show: nothing is selected, and the details say so.
    if (resultModel_->ShownCount() == 0) ClearDetails();
}

void TMainForm::SortResults(int column, Qt::SortOrder order) {
    QHeaderView* header = ui->ResultGrid->horizontalHeader();
    if (resultModel_->ShownCount() == 0) {
        // Nothing listed (before a scan, or while one runs): nothing to sort,
        // and no indicator that says otherwise.
        const QSignalBlocker quiet(header);
        header->setSortIndicator(-1, Qt::AscendingOrder);
        return;
    }
    if (header->sortIndicatorSection() != column || header->sortIndicatorOrder() != order) {
        const QSignalBlocker quiet(header);
        header->setSortIndicator(column, order);
    }
    const TKeptSelection kept = KeepSelection();
    resultModel_->sort(column, order);
    RestoreSelection(kept);
}

std::vector<int> TMainForm::SelectedResultRows() const {
    std::vector<int> rows;
    for (const QItemSelectionRange& range : ui->ResultGrid->selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (resultModel_->EntryAt(row + 1) >= 0) rows.push_back(row + 1);
    std::sort(rows.begin(), rows.end());
    return rows;
}

TMainForm::TKeptSelection TMainForm::KeepSelection() const {
    TKeptSelection kept;
    for (const QItemSelectionRange& range : ui->ResultGrid->selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            const std::int64_t entry = resultModel_->EntryAt(row + 1);
            if (entry >= 0) kept.Entries.push_back(static_cast<std::uint32_t>(entry));
        }
    }
    const QModelIndex current = ui->ResultGrid->currentIndex();
    if (current.isValid()) {
        kept.Current = resultModel_->EntryAt(current.row() + 1);
        kept.Column = current.column();
    }
    return kept;
}

void TMainForm::RestoreSelection(const TKeptSelection& kept) {
    // The rows now showing the kept files, as runs of rows.
    std::vector<char> chosen(resultModel_->EntryCount(), 0);
    for (std::uint32_t entry : kept.Entries) chosen[entry] = 1;
    QItemSelection selection;
    int currentRow = -1;
    const int shown = resultModel_->ShownCount();
    for (int row = 0; row < shown;) {
        const auto entry = static_cast<std::uint32_t>(resultModel_->EntryAt(row + 1));
        if (static_cast<std::int64_t>(entry) == kept.Current) currentRow = row;
        if (!chosen[entry]) {
            ++row;
            continue;
        }
        int last = row;
        while (last + 1 < shown && chosen[static_cast<std::size_t>(resultModel_->EntryAt(last + 2))]) {
            ++last;
            if (resultModel_->EntryAt(last + 1) == kept.Current) currentRow = last;
        }
        selection.select(resultModel_->index(row, 0), resultModel_->index(last, TResultModel::ColumnCount - 1));
        row = last + 1;
    }

    // Chosen by the program, not the user: no selection event.
    settingRow_ = true;
    QItemSelectionModel* model = ui->ResultGrid->selectionModel();
    model->select(selection, QItemSelectionModel::ClearAndSelect);
    bool newCurrent = false;
    if (currentRow < 0 && shown > 0) {
        // The current file is no longer shown: the first selected row, or
        // the first row, takes its place.
        currentRow = selection.isEmpty() ? 0 : selection.first().top();
        if (selection.isEmpty()) model->select(resultModel_->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        newCurrent = true;
    }
    if (currentRow >= 0) {
        const QModelIndex current = resultModel_->index(currentRow, kept.Column);
        model->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
        ui->ResultGrid->scrollTo(current);
    }
    settingRow_ = false;
    if (newCurrent) ShowFileDetails(currentRow + 1);
}

QMenu* TMainForm::ResultGridMenu(int gridRow) {
    if (resultModel_->EntryAt(gridRow) < 0 || ScanRunning() || BatchRunning()) return nullptr;
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("ResultMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // What "Recovery" does, with its key; the row's folder; the list.
    recoverAction_->setEnabled(CanRecover());
    menu->addAction(recoverAction_);
    QAction* folder = menu->addAction(QString::fromUtf8(RecoverFolderCommand));
    folder->setObjectName(QStringLiteral("RecoverFolderAction"));
    connect(folder, &QAction::triggered, this, [this, gridRow] { Guarded([&] { RecoverFolderOf(gridRow); }); });
    menu->addSeparator();
    exportAction_->setEnabled(Results && Results->Volume && resultModel_->ShownCount() > 0);
    menu->addAction(exportAction_);
    return menu;
}

void TMainForm::ResultGridContextMenu(const QPoint& at) {
    const QModelIndex index = ui->ResultGrid->indexAt(at);
    if (!index.isValid()) return;
    // A right click on a row outside the selection selects that row, as
    // anywhere else: the menu acts on what is highlighted.
    if (!ui->ResultGrid->selectionModel()->isRowSelected(index.row(), QModelIndex()) &&
        resultModel_->EntryAt(index.row() + 1) >= 0)
        SelectResultRow(index.row() + 1);
    if (QMenu* menu = ResultGridMenu(index.row() + 1)) menu->popup(ui->ResultGrid->viewport()->mapToGlobal(at));
}

void TMainForm::ResultGridMenuAtCurrent() {
    const QModelIndex current = ui->ResultGrid->currentIndex();
    if (!current.isValid()) return;
    const QRect cell = ui->ResultGrid->visualRect(current);
    if (QMenu* menu = ResultGridMenu(current.row() + 1))
        menu->popup(ui->ResultGrid->viewport()->mapToGlobal(cell.bottomLeft() + QPoint(8, 0)));
}
