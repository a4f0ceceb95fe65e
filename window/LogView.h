// Shows the event log in a rich-text view: each line in its colour, the caret
// after the last line and the view scrolled one line down after each append.
// Lines written on other threads are queued to the view's thread, in order.
#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <string>

#include "EventLog.h"

class QTextEdit;

class TLogView : public QObject {
    Q_OBJECT

public:
    // Attaches to the log's sink until destroyed.
    explicit TLogView(QTextEdit* memo);
    ~TLogView() override;

    // Appends one line in `colour` (blue-green-red). On the view's thread only.
    void Append(const QString& text, std::uint32_t colour);

    static QColor ToColor(std::uint32_t colour);

private:
    void OnLine(const deruzera::TLogLine& line);

    QPointer<QTextEdit> memo_;
    deruzera::TLogListener previous_;
    std::atomic<int> queued_{0};  // lines on their way to the view's thread
    bool empty_ = true;
};
