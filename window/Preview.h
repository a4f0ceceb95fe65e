// A look at the selected file before it is recovered: its picture (any
// format Qt's image plugins read), its text (UTF-8, UTF-16, or the
// system's 8-bit code page), or its first bytes in hex. Read through the
// volume reader on a worker, never more of the file than is shown, and
// nothing written anywhere; a new selection cancels the look at the last.
#pragma once

#include <QImage>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "volume/Content.h"
#include "volume/Records.h"
#include "volume/Scan.h"

class QLabel;
class QPlainTextEdit;

// The most of a file each kind of look reads: the bytes that tell the kind
// (a hex page), a few pages of text, and a picture as large as a camera's.
inline constexpr std::uint64_t PreviewHeadBytes = 4096;
inline constexpr std::uint64_t PreviewTextBytes = 16 * 1024;
inline constexpr std::uint64_t PreviewImageBytes = 24 * 1024 * 1024;

// The preview's own texts.
inline constexpr const char* PreviewOverwrittenText =
    "Wholly overwritten: other files' data is where this file's was; this is what would come back.";
inline constexpr const char* PreviewPartlyOverwrittenText =
    "Partly overwritten: bytes %1 to %2 are other files' data now (%3 of what is shown); this is what would come back.";
inline constexpr const char* PreviewPartlyElsewhereText =
    "Partly overwritten further on: what is shown is still the file's own.";
inline constexpr const char* PreviewUnreadText =
    "%1 bytes of what is shown could not be read from the device (?? in hex) and would come back as zeros.";
inline constexpr const char* PreviewBadUnitsText =
    "Some compressed parts would not decompress and would come back as zeros.";
inline constexpr const char* PreviewEncryptedText =
    "Encrypted: these are its stored, encrypted bytes, which only its owner's key reads.";
inline constexpr const char* PreviewTooLargeText = "A picture too large to preview: its first bytes in hex.";
inline constexpr const char* PreviewEmptyText = "The file is empty.";
inline constexpr const char* PreviewPictureCaption = "%1 picture, %2 × %3 pixels";
inline constexpr const char* PreviewTextCaption = "Text in %1";
inline constexpr const char* PreviewTextPartCaption = "Text in %1, its first %2";
inline constexpr const char* PreviewHexCaption = "Its first %1 bytes, in hex";
inline constexpr const char* PreviewUnreadableText = "Nothing to show: the file's data can't be found in its record.";

// What the preview shows of one file.
struct TPreview {
    enum TKind { Nothing, Picture, Text, Hex, Empty, Unreadable, TooLarge };
    TKind Kind = Nothing;
    std::int64_t Record = -1;
    std::int64_t PassIndex = -1;  // a file a pass found: its index in the pass's results
    QImage Image;
    QString Content;     // the text, or the hex lines
    QString Encoding;    // the text's: "UTF-8", "UTF-16LE", "windows-1252", ...
    QString Banner;      // what of it is not the file's own, or empty
    std::uint64_t BytesShown = 0;
    std::uint64_t FileSize = 0;
};
Q_DECLARE_METATYPE(TPreview)

// Decides what a file's first bytes are and makes the look at `bytes`
// (which may be the whole file or its start): the kind is taken from
// `head`, the first bytes. Pure; the worker and the tests use it.
namespace preview {
// The encoding of text in `head`: "UTF-16LE", "UTF-16BE", "UTF-8", the
// 8-bit code page's name, or "" where it is no text.
QString TextEncoding(const std::vector<std::uint8_t>& head);
QString DecodeText(const std::vector<std::uint8_t>& bytes, const QString& encoding);
// The system's 8-bit code page, as Windows would pick it for the
// language of the user's locale ("windows-1252", "windows-1251", ...).
QString SystemCodePage();
// Lines of 16 bytes: offset, the bytes in hex, the bytes as ASCII; bytes in
// `unread` (from the content's start, the bytes starting at `offset`) are
// shown as "??".
QString HexLines(const std::vector<std::uint8_t>& bytes, std::uint64_t offset,
                 const std::vector<deruzera::TContentRange>& unread);
}  // namespace preview

// Makes the preview of one file on a thread of its own.
class TPreviewWorker : public QThread {
    Q_OBJECT
public:
    // `passIndex`: the file's index in the pass that found it, -1 for a
    // file of a walk.
    TPreviewWorker(std::shared_ptr<deruzera::TScanResults> results, deruzera::TFoundFiles file,
                   std::int64_t passIndex = -1, QObject* parent = nullptr);
    ~TPreviewWorker() override;
    void Cancel() { stop_ = true; }

signals:
    void Made(TPreview preview);

protected:
    void run() override;

private:
    TPreview Make();
    std::shared_ptr<deruzera::TScanResults> results_;
    deruzera::TFoundFiles file_;
    std::int64_t passIndex_ = -1;
    std::atomic<bool> stop_{false};
};

// The preview pane: a line on what is not the file's own, and the picture
// or the text.
class TPreviewPane : public QWidget {
    Q_OBJECT
public:
    explicit TPreviewPane(QWidget* parent = nullptr);
    ~TPreviewPane() override;
    // Shows `file` of `results` once its look is made; a look still being
    // made at the last file is cancelled.
    // `passIndex` as for TPreviewWorker.
    void ShowFile(std::shared_ptr<deruzera::TScanResults> results, const deruzera::TFoundFiles& file,
                  std::int64_t passIndex = -1);
    void Clear();
    // True while a look is being made or waits to be.
    bool Busy() const;
    const TPreview& Shown() const { return shown_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Start();
    void Take(const TPreview& preview);
    void Arrange();

    QLabel* caption_ = nullptr;
    QLabel* banner_ = nullptr;
    QLabel* picture_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QTimer delay_;
    std::shared_ptr<deruzera::TScanResults> results_;
    deruzera::TFoundFiles file_;
    std::int64_t passIndex_ = -1;
    bool pending_ = false;
    QPointer<TPreviewWorker> worker_;
    std::vector<QPointer<TPreviewWorker>> cancelled_;
    TPreview shown_;
};
