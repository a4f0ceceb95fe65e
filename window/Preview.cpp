#include "Preview.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QVBoxLayout>
#include <unicode/ucnv.h>

#include "volume/Bitmap.h"
#include "volume/Pass.h"
#include "volume/Recover.h"
#include "volume/SizeText.h"
#include "volume/Volume.h"

namespace preview {

namespace {

// Share of a text's bytes that may be control characters (other than tab,
// line feed, form feed and carriage return) before it is taken for binary
// data: a stray escape or two in a log, not the bytes of a program.
constexpr double MaxControlShare = 0.01;
// Share of the byte pairs of UTF-16 text without a byte order mark whose
// high byte is 0: Latin text has nearly all, CJK text few, and then a BOM
// is the rule.
constexpr double MinUtf16ZeroShare = 0.4;

bool Control(std::uint8_t b) { return (b < 0x20 && b != '\t' && b != '\n' && b != '\f' && b != '\r') || b == 0x7F; }

// Whether `bytes` are UTF-8 throughout, a character cut at the end aside.
bool ValidUtf8(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::uint8_t lead = bytes[i];
        const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                 : (lead & 0xF8) == 0xF0                   ? 4
                                                                           : 0;
        if (length == 0 || (length == 2 && lead < 0xC2) || lead > 0xF4) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= bytes.size()) return true;  // cut at the end of what was read
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

QString TextEncoding(const std::vector<std::uint8_t>& head) {
    const std::size_t n = head.size();
    if (n >= 2 && head[0] == 0xFF && head[1] == 0xFE) return QStringLiteral("UTF-16LE");
    if (n >= 2 && head[0] == 0xFE && head[1] == 0xFF) return QStringLiteral("UTF-16BE");
    if (n >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) return QStringLiteral("UTF-8");
    std::size_t evenZeros = 0, oddZeros = 0, controls = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (head[i] == 0) (i % 2 ? oddZeros : evenZeros) += 1;
        if (Control(head[i])) ++controls;
    }
    const double pairs = static_cast<double>(n / 2);
    if (n >= 4 && static_cast<double>(oddZeros) >= MinUtf16ZeroShare * pairs && evenZeros == 0) return QStringLiteral("UTF-16LE");
    if (n >= 4 && static_cast<double>(evenZeros) >= MinUtf16ZeroShare * pairs && oddZeros == 0) return QStringLiteral("UTF-16BE");
    if (evenZeros + oddZeros > 0 || static_cast<double>(controls) > MaxControlShare * static_cast<double>(n)) return {};
    return ValidUtf8(head) ? QStringLiteral("UTF-8") : SystemCodePage();
}

QString DecodeText(const std::vector<std::uint8_t>& bytes, const QString& encoding) {
    if (encoding.startsWith(QLatin1String("UTF-16"))) {
        const bool big = encoding.endsWith(QLatin1String("BE"));
        QString text;
        text.reserve(static_cast<qsizetype>(bytes.size() / 2));
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            text += QChar(static_cast<char16_t>(big ? (bytes[i] << 8) | bytes[i + 1] : bytes[i] | (bytes[i + 1] << 8)));
        // A pair cut at the end of what was read, and the byte order mark.
        if (!text.isEmpty() && text.back().isHighSurrogate()) text.chop(1);
        if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
        return text;
    }
    if (encoding == QLatin1String("UTF-8")) {
        std::size_t end = bytes.size();
        // A character cut at the end of what was read is left out.
        for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
            const std::uint8_t b = bytes[bytes.size() - back];
            if ((b & 0xC0) == 0x80) continue;
            const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (length > back) end = bytes.size() - back;
            break;
        }
        QString text = QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(end));
        if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
        return text;
    }
    // An 8-bit code page, through ICU's converters.
    UErrorCode error = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(encoding.toLatin1().constData(), &error);
    if (U_FAILURE(error)) return QString::fromLatin1(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    std::vector<UChar> units(bytes.size() * 2 + 1);
    const int32_t length = ucnv_toUChars(converter, units.data(), static_cast<int32_t>(units.size()),
                                         reinterpret_cast<const char*>(bytes.data()), static_cast<int32_t>(bytes.size()), &error);
    ucnv_close(converter);
    if (U_FAILURE(error)) return {};
    return QString(reinterpret_cast<const QChar*>(units.data()), length);
}

QString SystemCodePage() {
    switch (QLocale::system().language()) {
    case QLocale::Russian: case QLocale::Ukrainian: case QLocale::Belarusian: case QLocale::Bulgarian:
    case QLocale::Serbian: case QLocale::Macedonian:
        return QStringLiteral("windows-1251");
    case QLocale::Polish: case QLocale::Czech: case QLocale::Slovak: case QLocale::Hungarian: case QLocale::Romanian:
    case QLocale::Croatian: case QLocale::Slovenian: case QLocale::Bosnian: case QLocale::Albanian:
        return QStringLiteral("windows-1250");
    case QLocale::Greek: return QStringLiteral("windows-1253");
    case QLocale::Turkish: case QLocale::Azerbaijani: return QStringLiteral("windows-1254");
    case QLocale::Hebrew: return QStringLiteral("windows-1255");
    case QLocale::Arabic: case QLocale::Persian: case QLocale::Urdu: return QStringLiteral("windows-1256");
    case QLocale::Estonian: case QLocale::Latvian: case QLocale::Lithuanian: return QStringLiteral("windows-1257");
    case QLocale::Vietnamese: return QStringLiteral("windows-1258");
    case QLocale::Thai: return QStringLiteral("windows-874");
    default: return QStringLiteral("windows-1252");
    }
}

QString HexLines(const std::vector<std::uint8_t>& bytes, std::uint64_t offset,
                 const std::vector<deruzera::TContentRange>& unread) {
    auto isUnread = [&](std::uint64_t at) {
        for (const deruzera::TContentRange& r : unread)
            if (at >= r.From && at < r.To) return true;
        return false;
    };
    static const char digits[] = "0123456789ABCDEF";
    QString out;
    for (std::size_t line = 0; line < bytes.size(); line += 16) {
        out += QStringLiteral("%1  ").arg(offset + line, 8, 16, QLatin1Char('0')).toUpper();
        QString ascii;
        for (std::size_t i = line; i < line + 16; ++i) {
            if (i >= bytes.size()) {
                out += QStringLiteral("   ");
                continue;
            }
            if (isUnread(offset + i)) {
                out += QStringLiteral("?? ");
                ascii += QLatin1Char('?');
                continue;
            }
            const std::uint8_t b = bytes[i];
            out += QLatin1Char(digits[b >> 4]);
            out += QLatin1Char(digits[b & 15]);
            out += QLatin1Char(' ');
            ascii += b >= 0x20 && b < 0x7F ? QLatin1Char(static_cast<char>(b)) : QLatin1Char('.');
        }
        out += QLatin1Char(' ') + ascii + QLatin1Char('\n');
    }
    return out;
}

}  // namespace preview

// ---- The worker -----------------------------------------------------------------------

TPreviewWorker::TPreviewWorker(std::shared_ptr<deruzera::TScanResults> results, deruzera::TFoundFiles file,
                               std::int64_t passIndex, QObject* parent)
    : QThread(parent), results_(std::move(results)), file_(file), passIndex_(passIndex) {
    qRegisterMetaType<TPreview>();
}

TPreviewWorker::~TPreviewWorker() {
    stop_ = true;
    wait();
}

void TPreviewWorker::run() {
    try {
        const TPreview made = Make();
        if (!stop_) emit Made(made);
    } catch (const std::exception&) {
        TPreview failed;
        failed.Kind = TPreview::Unreadable;
        failed.Record = file_.Record;
        failed.PassIndex = passIndex_;
        if (!stop_) emit Made(failed);
    }
}

TPreview TPreviewWorker::Make() {
    TPreview p;
    p.Record = file_.Record;
    p.PassIndex = passIndex_;
    p.Kind = TPreview::Unreadable;
    // A file a snapshot gave is read from the snapshot's volume.
    deruzera::TNtfsVolume* const on = results_ ? results_->VolumeOf(file_) : nullptr;
    if (on == nullptr || !on->SharedDevice()) return p;
    deruzera::TNtfsVolume& volume = *on;
    // A file a pass found is read through the pass's plan, on the same device.
    if (passIndex_ >= 0 && !results_->Pass) return p;
    const deruzera::TRecoveryPlan plan =
        passIndex_ >= 0 ? results_->Pass->Plan(static_cast<std::size_t>(passIndex_))
                        : deruzera::PlanRecovery(volume, file_.Record, file_.Sequence, deruzera::PlanForFound(file_));
    if (plan.End != deruzera::TPlanEnd::Ready) return p;
    const deruzera::TFileContent& content = plan.Content;
    p.FileSize = content.Size;
    if (content.Size == 0) {
        p.Kind = TPreview::Empty;
        return p;
    }
    deruzera::TDevice& device = volume.Device();
    deruzera::TContentPart read = deruzera::ReadContentPart(device, content, 0, PreviewHeadBytes, &stop_);
    if (read.Stopped) return {};
    // The rest of what is shown, after the first bytes that tell the kind.
    auto more = [&](std::uint64_t upTo) {
        const std::uint64_t have = read.Bytes.size();
        if (upTo <= have) return true;
        deruzera::TContentPart rest = deruzera::ReadContentPart(device, content, have, upTo - have, &stop_);
        if (rest.Stopped) return false;
        read.Bytes.insert(read.Bytes.end(), rest.Bytes.begin(), rest.Bytes.end());
        read.Unread.insert(read.Unread.end(), rest.Unread.begin(), rest.Unread.end());
        read.BadUnits += rest.BadUnits;
        return true;
    };

    QByteArray head(reinterpret_cast<const char*>(read.Bytes.data()), static_cast<qsizetype>(read.Bytes.size()));
    QBuffer buffer(&head);
    buffer.open(QIODevice::ReadOnly);
    const QByteArray format = QImageReader::imageFormat(&buffer);
    bool tooLarge = false;
    if (!format.isEmpty()) {
        if (content.Size > PreviewImageBytes) {
            tooLarge = true;
        } else {
            if (!more(content.Size)) return {};
            QImage image;
            if (image.loadFromData(read.Bytes.data(), static_cast<int>(read.Bytes.size()), format.constData())) {
                p.Kind = TPreview::Picture;
                p.Image = image;
                p.Encoding = QString::fromLatin1(format).toUpper();
            }
        }
    }
    if (p.Kind != TPreview::Picture) {
        const QString encoding = tooLarge ? QString() : preview::TextEncoding(read.Bytes);
        if (!encoding.isEmpty()) {
            if (!more(PreviewTextBytes)) return {};
            p.Kind = TPreview::Text;
            p.Encoding = encoding;
            p.Content = preview::DecodeText(read.Bytes, encoding);
        } else {
            read.Bytes.resize(std::min<std::size_t>(read.Bytes.size(), PreviewHeadBytes));
            p.Kind = tooLarge ? TPreview::TooLarge : TPreview::Hex;
            p.Content = preview::HexLines(read.Bytes, 0, read.Unread);
        }
    }
    p.BytesShown = read.Bytes.size();

    // What of it is not the file's own, in the part shown.
    QStringList notes;
    std::vector<deruzera::TContentRange> overwritten;
    // A file in use (a snapshot's) owns the clusters the bitmap marks taken.
    deruzera::TClusterBitmap* const bitmap = (file_.Flags & deruzera::FoundInUse) ? nullptr : volume.Bitmap();
    if (bitmap != nullptr)
        overwritten = deruzera::OverwrittenRanges(content, *bitmap, volume.Geometry().BytesPerCluster, p.BytesShown);
    if (plan.State == deruzera::TRecoverability::Overwritten) {
        notes << QString::fromUtf8(PreviewOverwrittenText);
    } else if (!overwritten.empty()) {
        std::uint64_t bytes = 0;
        for (const deruzera::TContentRange& r : overwritten) bytes += r.To - r.From;
        notes << QString::fromUtf8(PreviewPartlyOverwrittenText)
                     .arg(overwritten.front().From)
                     .arg(overwritten.front().To - 1)
                     .arg(QString::fromStdString(deruzera::SizeToText(static_cast<std::int64_t>(bytes), QLocale().decimalPoint().toStdString())));
    } else if (plan.State == deruzera::TRecoverability::Partial) {
        notes << QString::fromUtf8(PreviewPartlyElsewhereText);
    }
    std::uint64_t unread = 0;
    for (const deruzera::TContentRange& r : read.Unread) unread += r.To - r.From;
    if (unread > 0) notes << QString::fromUtf8(PreviewUnreadText).arg(unread);
    if (read.BadUnits > 0) notes << QString::fromUtf8(PreviewBadUnitsText);
    if (plan.Encrypted) notes << QString::fromUtf8(PreviewEncryptedText);
    if (p.Kind == TPreview::TooLarge) notes << QString::fromUtf8(PreviewTooLargeText);
    p.Banner = notes.join(QLatin1Char(' '));
    return p;
}

// ---- The pane -------------------------------------------------------------------------

namespace {
// A look waits this long after the selection last moved: stepping through
// the list with the keys starts no read at each row.
constexpr int PreviewDelayMs = 80;
}  // namespace

TPreviewPane::TPreviewPane(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("PreviewPane"));
    qRegisterMetaType<TPreview>();
    caption_ = new QLabel(this);
    caption_->setObjectName(QStringLiteral("PreviewCaption"));
    caption_->setStyleSheet(QStringLiteral("color: #808080;"));
    banner_ = new QLabel(this);
    banner_->setObjectName(QStringLiteral("PreviewBanner"));
    banner_->setWordWrap(true);
    banner_->setStyleSheet(QStringLiteral("color: #B00000;"));
    picture_ = new QLabel(this);
    picture_->setObjectName(QStringLiteral("PreviewPicture"));
    picture_->setAlignment(Qt::AlignCenter);
    text_ = new QPlainTextEdit(this);
    text_->setObjectName(QStringLiteral("PreviewText"));
    text_->setReadOnly(true);
    text_->setFrameShape(QFrame::NoFrame);
    text_->setFocusPolicy(Qt::ClickFocus);
    text_->setStyleSheet(QStringLiteral("background-color: #FFFFFF;"));
    delay_.setSingleShot(true);
    delay_.setInterval(PreviewDelayMs);
    connect(&delay_, &QTimer::timeout, this, &TPreviewPane::Start);
    Clear();
}

TPreviewPane::~TPreviewPane() {
    // The workers hold the scan's results; they end before the pane goes.
    for (auto& worker : cancelled_)
        if (worker) worker->Cancel();
    if (worker_) worker_->Cancel();
    for (auto& worker : cancelled_) delete worker.data();
    delete worker_.data();
}

void TPreviewPane::ShowFile(std::shared_ptr<deruzera::TScanResults> results, const deruzera::TFoundFiles& file,
                            std::int64_t passIndex) {
    if (pending_ && results == results_ && file.Record == file_.Record && passIndex == passIndex_) return;
    if (!pending_ && !worker_ && results == results_ && shown_.Record == file.Record && shown_.PassIndex == passIndex)
        return;
    results_ = std::move(results);
    file_ = file;
    passIndex_ = passIndex;
    if (worker_) {
        worker_->Cancel();
        cancelled_.push_back(worker_);
        worker_ = nullptr;
    }
    pending_ = true;
    delay_.start();
}

void TPreviewPane::Clear() {
    delay_.stop();
    pending_ = false;
    if (worker_) {
        worker_->Cancel();
        cancelled_.push_back(worker_);
        worker_ = nullptr;
    }
    results_.reset();
    shown_ = TPreview{};
    caption_->clear();
    banner_->clear();
    picture_->clear();
    text_->clear();
    Arrange();
}

bool TPreviewPane::Busy() const { return pending_ || worker_; }

void TPreviewPane::Start() {
    pending_ = false;
    // Cancelled workers that have ended go.
    std::erase_if(cancelled_, [](const QPointer<TPreviewWorker>& w) { return !w; });
    auto* worker = new TPreviewWorker(results_, file_, passIndex_);
    worker_ = worker;
    connect(worker, &TPreviewWorker::Made, this, [this, worker](const TPreview& made) {
        if (worker == worker_) Take(made);
    }, Qt::QueuedConnection);
    connect(worker, &QThread::finished, this, [this, worker] {
        if (worker == worker_) worker_ = nullptr;
        worker->deleteLater();
    }, Qt::QueuedConnection);
    worker->start(QThread::LowPriority);
}

void TPreviewPane::Take(const TPreview& preview) {
    shown_ = preview;
    banner_->setText(preview.Banner);
    // What is shown, in a few words.
    QString caption;
    switch (preview.Kind) {
    case TPreview::Picture:
        caption = QString::fromUtf8(PreviewPictureCaption).arg(preview.Encoding).arg(preview.Image.width()).arg(preview.Image.height());
        break;
    case TPreview::Text:
        caption = preview.BytesShown < preview.FileSize
                      ? QString::fromUtf8(PreviewTextPartCaption)
                            .arg(preview.Encoding,
                                 QString::fromStdString(deruzera::SizeToText(static_cast<std::int64_t>(preview.BytesShown),
                                                                              QLocale().decimalPoint().toStdString())))
                      : QString::fromUtf8(PreviewTextCaption).arg(preview.Encoding);
        break;
    case TPreview::Hex:
    case TPreview::TooLarge: caption = QString::fromUtf8(PreviewHexCaption).arg(preview.BytesShown); break;
    default: break;
    }
    caption_->setText(caption);
    text_->clear();
    picture_->clear();
    switch (preview.Kind) {
    case TPreview::Picture: break;
    case TPreview::Text:
        text_->setFont(font());
        text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        text_->setPlainText(preview.Content);
        break;
    case TPreview::Hex:
    case TPreview::TooLarge:
        text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        text_->setLineWrapMode(QPlainTextEdit::NoWrap);
        text_->setPlainText(preview.Content);
        break;
    case TPreview::Empty: text_->setPlainText(QString::fromUtf8(PreviewEmptyText)); break;
    case TPreview::Unreadable: text_->setPlainText(QString::fromUtf8(PreviewUnreadableText)); break;
    case TPreview::Nothing: break;
    }
    Arrange();
}

void TPreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Arrange();
}

void TPreviewPane::Arrange() {
    const int w = width(), h = height();
    int top = 0;
    if (!caption_->text().isEmpty()) {
        caption_->setGeometry(0, 0, w, caption_->sizeHint().height());
        caption_->show();
        top = caption_->height() + 2;
    } else {
        caption_->hide();
    }
    if (!banner_->text().isEmpty()) {
        const int bannerHeight = std::min(h / 2, banner_->heightForWidth(w) > 0 ? banner_->heightForWidth(w) : 16);
        banner_->setGeometry(0, top, w, bannerHeight);
        banner_->show();
        top += bannerHeight + 2;
    } else {
        banner_->hide();
    }
    const QRect room(0, top, w, std::max(0, h - top));
    if (shown_.Kind == TPreview::Picture && !shown_.Image.isNull()) {
        text_->hide();
        picture_->setGeometry(room);
        QSize fit = shown_.Image.size();
        if (fit.width() > room.width() || fit.height() > room.height()) fit.scale(room.size(), Qt::KeepAspectRatio);
        picture_->setPixmap(fit.isEmpty() ? QPixmap() : QPixmap::fromImage(shown_.Image.scaled(fit, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        picture_->show();
    } else {
        picture_->hide();
        text_->setGeometry(room);
        text_->setVisible(shown_.Kind != TPreview::Nothing);
    }
}
