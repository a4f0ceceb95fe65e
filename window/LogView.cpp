#include "LogView.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>

TLogView::TLogView(QTextEdit* memo) : QObject(memo), memo_(memo) {
    // One step of the scroll bar is one line of the log.
    memo->verticalScrollBar()->setSingleStep(memo->fontMetrics().lineSpacing());
    previous_ = deruzera::SetLogListener([this](const deruzera::TLogLine& line) { OnLine(line); });
}

TLogView::~TLogView() { deruzera::SetLogListener(std::move(previous_)); }

QColor TLogView::ToColor(std::uint32_t colour) {
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}

void TLogView::OnLine(const deruzera::TLogLine& line) {
    // Runs under the sink's lock, so lines arrive here one at a time and in
    // order. A line of the view's own thread goes straight in unless lines
    // of another thread are still queued ahead of it.
    const QString text = QString::fromStdString(line.Text);
    const std::uint32_t colour = line.Colour;
    if (QThread::currentThread() == thread() && queued_.load() == 0) {
        Append(text, colour);
        return;
    }
    ++queued_;
    QMetaObject::invokeMethod(
        this,
        [this, text, colour] {
            Append(text, colour);
            --queued_;
        },
        Qt::QueuedConnection);
}

void TLogView::Append(const QString& text, std::uint32_t colour) {
    if (!memo_) return;
    QTextDocument* document = memo_->document();
    QTextCharFormat format;
    format.setForeground(ToColor(colour));
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    // Every line gets a block of its own; the block's character format
    // carries the colour too, so an empty line has one.
    if (empty_) {
        cursor.setBlockCharFormat(format);
        empty_ = false;
    } else {
        cursor.insertBlock(cursor.blockFormat(), format);
    }
    QString lines = text;
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QStringList parts = lines.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) cursor.insertBlock(cursor.blockFormat(), format);
        cursor.insertText(parts[i], format);
    }
    // The caret after the new line, nothing selected, and one line down.
    memo_->setTextCursor(cursor);
    memo_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
}
