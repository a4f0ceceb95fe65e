// Finding a file among many in the real window: sorting by each column both
// ways, the search field, the type choice, files that can still come back,
// several rows selected, typing a name, and the whole path of a clipped cell.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCollator>
#include <QHeaderView>
#include <QTextDocumentFragment>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTableView>
#include <QToolButton>
#include <QtTest/QTest>
#include <random>

#include "Collation.h"
#include "GuiFixture.h"
#include "ResultGrid.h"
#include "ResultModel.h"
#include "volume/Records.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

using namespace gui_testing;
using deruzera::TFoundFiles;

namespace {

// A tooltip's text as it reads: without its markup and its places to break.
QString PlainToolTip(const QString& tip) {
    return QTextDocumentFragment::fromHtml(tip).toPlainText().remove(QChar(0x200B));
}

constexpr std::uint64_t Epoch1970 = 116444736000000000ull;
constexpr std::uint64_t Second = 10000000ull;
// Seconds since 1970 of a UTC date.
std::uint64_t At(int year, int month, int day, int hour = 12) {
    const QDateTime t(QDate(year, month, day), QTime(hour, 0), Qt::UTC);
    return Epoch1970 + static_cast<std::uint64_t>(t.toSecsSinceEpoch()) * Second;
}

struct TPlanted {
    std::int64_t Parent;
    const char* Name;
    std::int64_t Size;
    std::uint64_t Created, Modified;
};

// Times whose texts sort otherwise than the times do ("01.01.26" before
// "31.12.25"), sizes whose texts do ("10 b" before "900 b"), and sizes
// that tie, to see the sort keep earlier orders.
const TPlanted Planted[] = {
    {20, "report.docx", 1536, At(2025, 12, 31, 23), At(2026, 1, 2)},
    {22, "IMG_0001.JPG", 2 << 20, At(2026, 1, 1, 0), At(2026, 1, 1)},
    {21, "b.png", 900, At(2025, 6, 1), At(2026, 3, 1)},
    {20, "отчёт.txt", 1536, At(2024, 2, 29), At(2025, 12, 31)},
    {5, "Setup.exe", 10, At(2026, 1, 1, 1), At(2024, 1, 1)},
    {20, "README", 1536, At(2023, 7, 14), At(2026, 1, 1, 9)},
    {22, "song.mp3", 3000, At(2025, 1, 1), At(2025, 1, 1)},
    {20, "archive.tar.gz", 5000, At(2022, 5, 5), At(2022, 5, 5)},
    {21, "movie.mp4", 7000000, At(2021, 8, 8), At(2027, 8, 8)},
};

std::shared_ptr<deruzera::TScanResults> PlantedResults() {
    auto results = std::make_shared<deruzera::TScanResults>();
    deruzera::TVolume geometry;
    geometry.CurrentDrive = "C:";
    results->Volume = std::make_shared<deruzera::TNtfsVolume>(nullptr, geometry);
    results->Volume->SetScanned();
    results->Volume->Directories().Add(20, 5, "Docs");
    results->Volume->Directories().Add(21, 5, "Photos");
    results->Volume->Directories().Add(22, 21, "Trip");
    std::int64_t record = 30;
    for (const TPlanted& p : Planted) {
        TFoundFiles f;
        f.Record = record++;
        f.ParentRecord = p.Parent;
        f.FileSize = p.Size;
        f.Created = p.Created;
        f.Modified = p.Modified;
        results->Files.Add(f, p.Name);
    }
    return results;
}

class FindTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    TMainForm& Listed(std::shared_ptr<deruzera::TScanResults> results = PlantedResults()) {
        TMainForm& f = MakeForm();
        f.Results = std::move(results);
        f.ScanFinished();
        QApplication::processEvents();
        model = f.ResultModel();
        grid = Child<TResultGrid>(f, "ResultGrid");
        return f;
    }
    // The names the rows show, in order.
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (int row = 1; row <= model->ShownCount(); ++row) names.emplace_back(model->EntryName(static_cast<std::uint32_t>(model->EntryAt(row))));
        return names;
    }
    std::vector<std::string> SelectedNames() {
        std::vector<std::string> names;
        for (int row : form->SelectedResultRows()) names.emplace_back(model->EntryName(static_cast<std::uint32_t>(model->EntryAt(row))));
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string CurrentName() {
        const QModelIndex current = grid->currentIndex();
        return current.isValid() ? std::string(model->EntryName(static_cast<std::uint32_t>(model->EntryAt(current.row() + 1)))) : "";
    }
    void ClickHeader(int column) {
        QHeaderView* header = grid->horizontalHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(column) + 30, 9));
        QApplication::processEvents();
    }
    void ClickRow(int gridRow, Qt::KeyboardModifiers modifiers = {}) {
        const QRect cell = grid->visualRect(model->index(gridRow - 1, 1));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, modifiers, cell.center());
        QApplication::processEvents();
    }
    int RowOf(const std::string& name) {
        for (int row = 1; row <= model->ShownCount(); ++row)
            if (model->EntryName(static_cast<std::uint32_t>(model->EntryAt(row))) == name) return row;
        return -1;
    }
    // Types text key by key, letters of any script included.
    static void Keys(QWidget* widget, const QString& text) {
        for (const QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &press);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &release);
        }
        QApplication::processEvents();
    }
    void Type(const QString& text) {
        auto* search = Child<QLineEdit>(*form, "SearchEdit");
        search->clear();
        Keys(search, text);
    }
    QString Shown() { return Child<QLabel>(*form, "ShownPanel")->text(); }

    TResultModel* model = nullptr;
    TResultGrid* grid = nullptr;
};

// A column's value of a file, ordered as the column sorts in the C locale.
std::pair<std::string, std::uint64_t> Key(const TResultModel& m, int column, std::uint32_t e) {
    const TFoundFiles& f = m.EntryFile(e);
    switch (column) {
    case TResultModel::ColFileName: return {std::string(m.EntryName(e)), 0};
    case TResultModel::ColPath: return {std::string(m.EntryPath(e)), 0};
    case TResultModel::ColSize: return {"", static_cast<std::uint64_t>(f.FileSize)};
    case TResultModel::ColCreated: return {"", f.Created};
    default: return {"", f.Modified};
    }
}

}  // namespace

TEST_F(FindTest, EachColumnSortsBothWaysStablyAndTheSelectionGoesWithItsRows) {
    // Before any scan a header click sorts nothing and shows no indicator.
    MakeForm();
    grid = Child<TResultGrid>(*form, "ResultGrid");
    model = form->ResultModel();
    ClickHeader(TResultModel::ColSize);
    EXPECT_EQ(grid->horizontalHeader()->sortIndicatorSection(), -1);
    EXPECT_EQ(form->ResultGridRowCount(), 22);

    TMainForm& f = Listed();
    // Names and paths in code point order, whatever the user's locale: the
    // keys below compare bytes.
    model->SetCollation(QLocale::c());
    QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QHeaderView* header = grid->horizontalHeader();
    EXPECT_EQ(header->sortIndicatorSection(), -1);  // listed in the order found
    // Two files chosen with Ctrl, a third made current.
    ClickRow(RowOf("report.docx"));
    ClickRow(RowOf("song.mp3"), Qt::ControlModifier);
    const std::vector<std::string> chosen = {"report.docx", "song.mp3"};
    ASSERT_EQ(SelectedNames(), chosen);

    // Sizes first, so that the sorts after it show whether ties keep it.
    std::vector<std::uint32_t> before;
    for (int column : {TResultModel::ColSize, TResultModel::ColFileName, TResultModel::ColPath,
                       TResultModel::ColCreated, TResultModel::ColModified, TResultModel::ColSize}) {
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            before.clear();
            for (int row = 1; row <= model->ShownCount(); ++row) before.push_back(static_cast<std::uint32_t>(model->EntryAt(row)));
            ClickHeader(column);
            ASSERT_EQ(header->sortIndicatorSection(), column);
            ASSERT_EQ(header->sortIndicatorOrder(), order);
            ASSERT_EQ(model->ShownCount(), static_cast<int>(std::size(Planted)));
            for (int row = 2; row <= model->ShownCount(); ++row) {
                const auto a = static_cast<std::uint32_t>(model->EntryAt(row - 1));
                const auto b = static_cast<std::uint32_t>(model->EntryAt(row));
                const auto ka = Key(*model, column, a), kb = Key(*model, column, b);
                if (ka == kb) {
                    // Stable: equal rows in the order they had.
                    EXPECT_LT(std::find(before.begin(), before.end(), a), std::find(before.begin(), before.end(), b))
                        << "column " << column << " row " << row;
                } else {
                    EXPECT_EQ(ka < kb, order == Qt::AscendingOrder) << "column " << column << " row " << row;
                }
            }
            EXPECT_EQ(SelectedNames(), chosen) << "column " << column;
            EXPECT_EQ(CurrentName(), "song.mp3") << "column " << column;
            // The details still show the two chosen.
            EXPECT_EQ(Child<QLabel>(f, "FileNamePanel")->text(), QString("2 files selected"));
        }
    }
    // Numbers, not texts: 10 b, 900 b, 1.5 Kb (three, in the name order of
    // the sort before), 2.92 Kb, ...
    ClickHeader(TResultModel::ColFileName);  // ascending by name again
    header->setSortIndicator(TResultModel::ColSize, Qt::AscendingOrder);
    EXPECT_EQ(Names(), (std::vector<std::string>{"Setup.exe", "b.png", "README", "report.docx", "отчёт.txt", "song.mp3",
                                                 "archive.tar.gz", "IMG_0001.JPG", "movie.mp4"}));
    // Times, not texts: 31.12.25 23:00 comes before 01.01.26 00:00.
    header->setSortIndicator(TResultModel::ColCreated, Qt::AscendingOrder);
    const auto names = Names();
    EXPECT_LT(std::find(names.begin(), names.end(), "report.docx"), std::find(names.begin(), names.end(), "IMG_0001.JPG"));
}

TEST_F(FindTest, NamesAndPathsSortInTheLocalesCollation) {
    auto results = PlantedResults();
    for (const char* name : {"apfel.txt", "Äpfel.txt", "Zebra.txt", "a.txt", "A.txt", "éclair.txt", "Eclair.txt"}) {
        TFoundFiles file;
        file.Record = 100 + static_cast<std::int64_t>(results->Files.size());
        file.ParentRecord = 5;
        results->Files.Add(file, name);
    }
    Listed(results);
    // In the C locale, code point order: capitals first, "Ä" last.
    model->SetCollation(QLocale::c());
    form->SortResults(TResultModel::ColFileName, Qt::AscendingOrder);
    std::vector<std::string> names = Names();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    // In German and in Swedish, as Qt's own collator (over ICU) orders them.
    for (const char* locale : {"de_DE", "sv_SE"}) {
        model->SetCollation(QLocale(QString::fromLatin1(locale)));
        form->SortResults(TResultModel::ColFileName, Qt::DescendingOrder);
        form->SortResults(TResultModel::ColFileName, Qt::AscendingOrder);
        QCollator collator{QLocale(QString::fromLatin1(locale))};
        // Digits compare as numbers, as the list sorts them.
        if (QString::fromLatin1(locale) != QLatin1String("C")) collator.setNumericMode(true);
        std::vector<std::string> expected = Names();
        std::stable_sort(expected.begin(), expected.end(), [&](const std::string& a, const std::string& b) {
            return collator.compare(QString::fromStdString(a), QString::fromStdString(b)) < 0;
        });
        EXPECT_EQ(Names(), expected) << locale;
        names = Names();
        const auto umlaut = std::find(names.begin(), names.end(), "Äpfel.txt");
        // German puts "Ä" with "A"; Swedish after "Z".
        if (std::string(locale) == "de_DE") EXPECT_LT(umlaut, std::find(names.begin(), names.end(), "b.png"));
        else EXPECT_GT(umlaut, std::find(names.begin(), names.end(), "Zebra.txt"));
    }
}

TEST_F(FindTest, SearchNarrowsTheListAsYouTypeInNameAndPath) {
    TMainForm& f = Listed();
    EXPECT_EQ(Shown(), QString("9 of 9 shown"));
    EXPECT_TRUE(Child<QLineEdit>(f, "SearchEdit")->isEnabled());
    ClickRow(RowOf("README"));

    // A part of a name, in any case.
    Type("RE");
    EXPECT_EQ(Names(), (std::vector<std::string>{"report.docx", "README"}));
    EXPECT_EQ(Shown(), QString("2 of 9 shown"));
    EXPECT_EQ(CurrentName(), "README");  // still shown, still current
    // A part of a path, and across the last backslash.
    Type("trip");
    EXPECT_EQ(Names(), (std::vector<std::string>{"IMG_0001.JPG", "song.mp3"}));
    Type("photos\\b");
    EXPECT_EQ(Names(), (std::vector<std::string>{"b.png"}));
    EXPECT_EQ(CurrentName(), "b.png");  // README went; the first row took its place
    EXPECT_EQ(Child<QLabel>(f, "FileNamePanel")->text(), QString("b.png"));
    // Cyrillic in another case.
    Type("ОТЧЁТ");
    EXPECT_EQ(Names(), (std::vector<std::string>{"отчёт.txt"}));
    // A glob: the name alone, or the whole path and name.
    Type("*.JPG");
    EXPECT_EQ(Names(), (std::vector<std::string>{"IMG_0001.JPG"}));
    Type("c:\\photos\\*");
    EXPECT_EQ(Names(), (std::vector<std::string>{"IMG_0001.JPG", "b.png", "song.mp3", "movie.mp4"}));
    Type("?.png");
    EXPECT_EQ(Names(), (std::vector<std::string>{"b.png"}));
    Type("nothing like it");
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(Shown(), QString("0 of 9 shown"));
    EXPECT_EQ(form->ResultGridRowCount(), 1);
    Type("");
    EXPECT_EQ(Names().size(), std::size(Planted));
    EXPECT_EQ(Shown(), QString("9 of 9 shown"));

    // The search holds while the list is sorted, and a sort holds while searching.
    form->SortResults(TResultModel::ColSize, Qt::DescendingOrder);
    Type("e.");
    EXPECT_EQ(Names(), (std::vector<std::string>{"movie.mp4", "archive.tar.gz"}));
}

TEST_F(FindTest, TypeChoiceAndFilesThatCanStillComeBack) {
    auto results = PlantedResults();
    TMainForm& f = Listed(results);
    auto* kind = Child<QToolButton>(f, "KindButton");
    ASSERT_NE(kind->menu(), nullptr);
    QStringList texts;
    for (QAction* action : kind->menu()->actions())
        if (!action->isSeparator()) texts << action->text();
    EXPECT_EQ(texts, (QStringList{"All files", "Pictures", "Documents", "Audio", "Video", "Archives", "Other files",
                                  "Only files that can still come back"}));
    // Nothing known of the clusters yet: the choice can't be made.
    QAction* comeBack = kind->menu()->actions().back();
    EXPECT_FALSE(comeBack->isEnabled());

    const std::map<int, std::vector<std::string>> expected = {
        {KindPictures, {"IMG_0001.JPG", "b.png"}},
        {KindDocuments, {"report.docx", "отчёт.txt"}},
        {KindAudio, {"song.mp3"}},
        {KindVideo, {"movie.mp4"}},
        {KindArchives, {"archive.tar.gz"}},
        {KindOther, {"Setup.exe", "README"}},
    };
    for (const auto& [k, names] : expected) {
        kind->menu()->actions()[k + 1]->trigger();
        EXPECT_EQ(Names(), names) << k;
        EXPECT_EQ(kind->text(), FileKindName(static_cast<TFileKind>(k)) + QString::fromUtf8(" ▾"));
    }
    // With the search.
    kind->menu()->actions()[KindPictures + 1]->trigger();
    Type("b");
    EXPECT_EQ(Names(), (std::vector<std::string>{"b.png"}));
    Type("");
    kind->menu()->actions()[0]->trigger();
    EXPECT_EQ(kind->text(), QString::fromUtf8("All files ▾"));
    EXPECT_EQ(Names().size(), std::size(Planted));

    // Once states are known, overwritten files can be left out.
    auto known = PlantedResults();
    for (std::size_t i = 0; i < known->Files.size(); ++i)
        known->Files[i].State = i % 3 == 0 ? deruzera::TRecoverability::Overwritten
                                : i % 3 == 1 ? deruzera::TRecoverability::Partial : deruzera::TRecoverability::Intact;
    f.Results = known;
    f.ScanFinished();
    EXPECT_TRUE(comeBack->isEnabled());
    comeBack->trigger();
    EXPECT_EQ(Names(), (std::vector<std::string>{"IMG_0001.JPG", "b.png", "Setup.exe", "README", "archive.tar.gz", "movie.mp4"}));
    EXPECT_EQ(Shown(), QString("6 of 9 shown"));
}

TEST(FileKinds, ExtensionsByTheirMimeTypes) {
    const std::map<const char*, TFileKind> kinds = {
        {".jpg", KindPictures},    {".PNG", KindPictures},   {".svg", KindPictures},   {".docx", KindDocuments},
        {".pdf", KindDocuments},   {".txt", KindDocuments},  {".xlsx", KindDocuments}, {".odt", KindDocuments},
        {".csv", KindDocuments},   {".mp3", KindAudio},      {".flac", KindAudio},     {".mp4", KindVideo},
        {".mkv", KindVideo},       {".zip", KindArchives},   {".7z", KindArchives},    {".rar", KindArchives},
        {".gz", KindArchives},     {".exe", KindOther},      {".dat", KindOther},      {"", KindOther},
    };
    for (const auto& [extension, kind] : kinds) EXPECT_EQ(FileKindOf(QString::fromLatin1(extension)), kind) << extension;
}

TEST_F(FindTest, SeveralRowsWithCtrlShiftAndCtrlA) {
    TMainForm& f = Listed();
    ClickRow(2);
    ClickRow(5, Qt::ShiftModifier);
    EXPECT_EQ(f.SelectedResultRows(), (std::vector<int>{2, 3, 4, 5}));
    ClickRow(3, Qt::ControlModifier);
    ClickRow(8, Qt::ControlModifier);
    EXPECT_EQ(f.SelectedResultRows(), (std::vector<int>{2, 4, 5, 8}));
    EXPECT_EQ(f.ResultGridRow(), 8);
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(f.SelectedResultRows().size(), std::size(Planted));
    // A filter keeps the selection of what it still shows.
    Type("docs");
    EXPECT_EQ(SelectedNames(), (std::vector<std::string>{"README", "archive.tar.gz", "report.docx", "отчёт.txt"}));
    Type("");
    EXPECT_EQ(SelectedNames().size(), 4u);
}

TEST_F(FindTest, TypingANameGoesToIt) {
    Listed();
    grid->setFocus();
    ClickRow(1);
    Keys(grid, "so");
    EXPECT_EQ(CurrentName(), "song.mp3");
    QTest::qWait(QApplication::keyboardInputInterval() + 50);
    // One letter again and again steps through the names that begin with it.
    Keys(grid, "r");
    EXPECT_EQ(CurrentName(), "report.docx");  // past the end, round to row 1
    Keys(grid, "r");
    EXPECT_EQ(CurrentName(), "README");
    QTest::qWait(QApplication::keyboardInputInterval() + 50);
    Keys(grid, "о");  // Cyrillic, in the name's case
    EXPECT_EQ(CurrentName(), "отчёт.txt");
    QTest::qWait(QApplication::keyboardInputInterval() + 50);
    Keys(grid, "setup");
    EXPECT_EQ(CurrentName(), "Setup.exe");
    EXPECT_EQ(Child<QLabel>(*form, "FileNamePanel")->text(), QString("Setup.exe"));
}

TEST_F(FindTest, ClippedCellsAndTheDetailsShowTheWholePathAndName) {
    auto results = PlantedResults();
    results->Volume->Directories().Add(40, 20, "A folder with a name far too long for the path column of the grid and for the "
                                     "path on the page of details below it");
    TFoundFiles file;
    file.Record = 99;
    file.ParentRecord = 40;
    results->Files.Add(file, "a name that is far too long for its column and for the details page.txt");
    TMainForm& f = Listed(results);
    const int longRow = RowOf("a name that is far too long for its column and for the details page.txt");
    const int shortRow = RowOf("b.png");
    const QString full = "C:\\Docs\\A folder with a name far too long for the path column of the grid and for the "
                         "path on the page of details below it\\a name that is far too long for its column and for the details page.txt";
    for (int column : {TResultModel::ColFileName, TResultModel::ColPath}) {
        const QModelIndex cell = model->index(longRow - 1, column);
        EXPECT_TRUE(grid->CellClipped(cell));
        EXPECT_EQ(PlainToolTip(cell.data(Qt::ToolTipRole).toString()), full);
        EXPECT_FALSE(grid->CellClipped(model->index(shortRow - 1, column)));
    }
    f.SelectResultRow(longRow);
    EXPECT_EQ(PlainToolTip(Child<QLabel>(f, "PathPanel")->toolTip()), QString(full).section('\\', 0, -2) + "\\");
    EXPECT_FALSE(Child<QLabel>(f, "FileNamePanel")->toolTip().isEmpty());
    f.SelectResultRow(shortRow);
    EXPECT_TRUE(Child<QLabel>(f, "PathPanel")->toolTip().isEmpty());
}

TEST(Collation, RanksAgreeWithQtsCollatorOnManyNames) {
    // Long shared beginnings (the keys are sorted a few bytes at a time),
    // names that begin others, equal names, case, accents, Cyrillic.
    const std::vector<std::string> parts = {"document-", "Document-", "IMG_", "img_", "é", "e", "ж", "Ж", "1", "10", "2", ".txt", ""};
    std::mt19937 random(3);
    std::vector<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        std::string name;
        const int length = static_cast<int>(random() % 5);
        for (int p = 0; p < length; ++p) name += parts[random() % parts.size()];
        names.push_back(name);
    }
    for (const char* locale : {"C", "en_US", "de_DE"}) {
        const TCollation collation{QLocale(QString::fromLatin1(locale))};
        const std::vector<std::uint32_t> ranks =
            CollationRanks(collation, names.size(), [&](std::size_t i) { return std::string_view(names[i]); });
        ASSERT_EQ(ranks.size(), names.size());
        QCollator collator{QLocale(QString::fromLatin1(locale))};
        // Digits compare as numbers, as the list sorts them.
        if (QString::fromLatin1(locale) != QLatin1String("C")) collator.setNumericMode(true);
        for (int check = 0; check < 20000; ++check) {
            const std::size_t a = random() % names.size(), b = random() % names.size();
            // Qt's C collation compares UTF-16 units; the names here have no
            // characters past U+FFFF, where the two orders would part.
            const int expected = collator.compare(QString::fromStdString(names[a]), QString::fromStdString(names[b]));
            const int got = ranks[a] < ranks[b] ? -1 : ranks[a] > ranks[b] ? 1 : 0;
            ASSERT_EQ(got, expected < 0 ? -1 : expected > 0 ? 1 : 0) << locale << ": " << names[a] << " / " << names[b];
        }
    }
}
