// The kinds of file the result list can be narrowed to, by the MIME type
// that a file's extension gives.
#pragma once

#include <QString>
#include <cstdint>

enum TFileKind : std::uint8_t { KindPictures, KindDocuments, KindAudio, KindVideo, KindArchives, KindOther, KindCount };

// The kind of files with extension `extension` (dot included, any case);
// KindOther for an empty or unknown one.
TFileKind FileKindOf(const QString& extension);

// The name of a kind as the type choice shows it.
QString FileKindName(TFileKind kind);
