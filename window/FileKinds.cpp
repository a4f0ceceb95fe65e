#include "FileKinds.h"

#include <QMimeDatabase>
#include <QMimeType>
#include <QStringList>

namespace {

// Office, PDF, e-book and print formats; plain text of every sort is a
// document too. Checked before the archives, which some of them are made of
// (a .docx is a zip file).
const char* const DocumentTypes[] = {
    "application/pdf", "application/rtf", "application/msword", "application/vnd.ms-word",
    "application/vnd.ms-excel", "application/vnd.ms-powerpoint", "application/vnd.ms-works",
    "application/vnd.openxmlformats-officedocument.", "application/vnd.oasis.opendocument.",
    "application/epub+zip", "application/postscript", "application/x-mswrite", "application/vnd.wordperfect",
    "application/x-abiword", "application/vnd.apple.pages", "application/vnd.apple.numbers",
    "application/vnd.apple.keynote", "application/x-fictionbook+xml", "application/vnd.visio",
};

const char* const ArchiveTypes[] = {
    "application/zip", "application/x-7z-compressed", "application/vnd.rar", "application/x-rar",
    "application/x-tar", "application/gzip", "application/x-bzip", "application/x-bzip2", "application/x-xz",
    "application/zstd", "application/x-zstd", "application/x-lzma", "application/x-lz4", "application/x-lzip",
    "application/x-compress", "application/x-cpio", "application/vnd.ms-cab-compressed",
    "application/x-lzh-compressed", "application/x-arj", "application/x-archive", "application/x-ace",
};

bool IsDocument(const QMimeType& type) {
    if (type.name().startsWith(QLatin1String("text/")) || type.inherits(QStringLiteral("text/plain"))) return true;
    for (const char* document : DocumentTypes)
        if (type.name().startsWith(QLatin1String(document))) return true;
    return false;
}

bool IsArchive(const QMimeType& type) {
    QStringList names = type.allAncestors();
    names.prepend(type.name());
    for (const QString& name : names)
        for (const char* archive : ArchiveTypes)
            if (name == QLatin1String(archive)) return true;
    return false;
}

}  // namespace

TFileKind FileKindOf(const QString& extension) {
    if (extension.isEmpty()) return KindOther;
    static const QMimeDatabase database;
    const QString dotted = extension.startsWith(QLatin1Char('.')) ? extension : QLatin1Char('.') + extension;
    const QMimeType type = database.mimeTypeForFile(QStringLiteral("file") + dotted, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault()) return KindOther;
    const QString name = type.name();
    if (name.startsWith(QLatin1String("image/"))) return KindPictures;
    if (name.startsWith(QLatin1String("audio/"))) return KindAudio;
    if (name.startsWith(QLatin1String("video/"))) return KindVideo;
    if (IsDocument(type)) return KindDocuments;
    if (IsArchive(type)) return KindArchives;
    return KindOther;
}

QString FileKindName(TFileKind kind) {
    switch (kind) {
    case KindPictures: return QStringLiteral("Pictures");
    case KindDocuments: return QStringLiteral("Documents");
    case KindAudio: return QStringLiteral("Audio");
    case KindVideo: return QStringLiteral("Video");
    case KindArchives: return QStringLiteral("Archives");
    case KindOther: return QStringLiteral("Other files");
    case KindCount: break;
    }
    return {};
}
