// How long the window takes to list a million found files and to scroll
// through them.
//
//   gui_fill [COUNT]        (default 1000000; QT_QPA_PLATFORM=offscreen works)
//
// Lists COUNT synthetic found files in the window through ScanFinished, and
// measures the time until the window has painted the list and answers a
// queued event again; then pages, jumps and drags through the list, painting
// each step. Exits 1 when the fill takes 2 s or more, or the median scroll
// step a frame (16 ms) or more.
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "MainForm.h"
#include "platform/Drives.h"
#include "platform/Locale.h"

namespace {

// Runs the event loop until a queued call comes back: the window is
// responsive again.
void WaitUntilResponsive() {
    bool answered = false;
    QTimer::singleShot(0, [&] { answered = true; });
    while (!answered) QApplication::processEvents(QEventLoop::AllEvents);
}

double Milliseconds(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    deruzera::platform::InitLocale();
    const long long count = argc > 1 ? std::atoll(argv[1]) : 1000000;

    deruzera::platform::SetDriveQueries({});
    TMainForm form;
    form.show();
    WaitUntilResponsive();

    QElapsedTimer timer;
    timer.start();
    // 977 folders below C:\Users\Public, the files spread over them.
    auto results = std::make_shared<deruzera::TScanResults>();
    results->Volume.CurrentDrive = "C:";
    results->Directories.Add(20, 5, "Users");
    results->Directories.Add(21, 20, "Public");
    for (int d = 0; d < 977; ++d) results->Directories.Add(100 + d, 21, "Folder " + std::to_string(d));
    for (long long i = 0; i < count; ++i) {
        deruzera::TFoundFiles f;
        f.Record = 2000 + i;
        f.ParentRecord = 100 + i % 977;
        f.FileSize = (i * 7919) % (5LL << 30);
        f.Created = 116444736000000000ull + 1796624640ull * 10000000;
        f.Modified = f.Created + 3600ull * 10000000 * 27;
        results->Files.Add(f, "document-" + std::to_string(i) + (i % 3 == 0 ? ".txt" : i % 3 == 1 ? ".jpg" : ".dat"));
    }
    form.Results = results;
    std::printf("made %lld entries in %.0f ms (outside the window's time)\n", count, Milliseconds(timer));

    auto* grid = form.findChild<QTableView*>(QStringLiteral("ResultGrid"));
    timer.restart();
    form.ScanFinished();
    grid->viewport()->repaint();
    WaitUntilResponsive();
    const double fill = Milliseconds(timer);
    std::printf("ScanFinished, first paint and responsive again: %.1f ms (%d grid rows)\n", fill,
                form.ResultGridRowCount());

    // Scrolling: page steps from the top, jumps across the whole list, and a
    // drag of the thumb, each step painted.
    QScrollBar* bar = grid->verticalScrollBar();
    std::vector<double> steps;
    auto step = [&](int value) {
        QElapsedTimer t;
        t.start();
        bar->setValue(value);
        grid->viewport()->repaint();
        QApplication::processEvents();
        steps.push_back(Milliseconds(t));
    };
    for (int i = 0; i < 200; ++i) step(bar->value() + bar->pageStep());
    std::mt19937 random(42);
    for (int i = 0; i < 200; ++i) step(static_cast<int>(random() % static_cast<unsigned>(bar->maximum() + 1)));
    for (int i = 0; i <= 200; ++i) step(static_cast<int>(static_cast<long long>(bar->maximum()) * i / 200));
    std::sort(steps.begin(), steps.end());
    const double median = steps[steps.size() / 2];
    const double worst = steps.back();
    double total = 0;
    for (double s : steps) total += s;
    std::printf("scroll: %zu painted steps, mean %.2f ms, median %.2f ms, worst %.2f ms\n", steps.size(),
                total / static_cast<double>(steps.size()), median, worst);

    // Selecting a row far down shows its details at once.
    timer.restart();
    form.SelectResultRow(static_cast<int>(count));
    WaitUntilResponsive();
    std::printf("select the last row: %.2f ms (row %d)\n", Milliseconds(timer), form.ResultGridRow());

    const bool ok = fill < 2000 && median < 16;
    std::printf("%s\n", ok ? "OK" : "TOO SLOW");
    form.hide();
    return ok ? 0 : 1;
}
