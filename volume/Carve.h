// Carving: files found by their content in stretches of a source that no
// volume structure describes any more (the free clusters of a volume, or the
// whole source where no volume is known). Each file's length comes from its
// format's own structure (markers, chunk lengths, central directory, boxes),
// never from a fixed maximum.
//
// The pass reads the stretches once, in order, in large chunks, and tests
// every aligned position for the signatures of the formats it knows. A
// candidate is followed through its structure, reading past the chunk where
// it must; a file found is reported as a value and the positions inside it
// are not tested again, so a thumbnail inside a JPEG or a PNG stored in a ZIP
// is not reported twice. Each file is taken as stored contiguously from its
// first byte: a fragmented file comes out cut where its structure breaks and
// is marked incomplete.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Content.h"
#include "Device.h"
#include "Records.h"

namespace deruzera {

// The families of formats the pass knows. Each family gives its files an
// extension by their content (a ZIP holding "word/" is a docx).
enum class TCarveFormat : std::uint8_t {
    Jpeg, Png, Gif, Bmp, Tiff, Pdf, Zip, IsoMedia, Riff, Mp3, Flac, Ogg, Matroska, Sqlite, SevenZip, Rar, Gzip,
};
inline constexpr std::size_t CarveFormatCount = 17;

// "jpeg", "png", ..., "gzip": the family's name for options and logs.
const char* CarveFormatName(TCarveFormat format);

// One file found by its content.
struct TCarvedFile {
    std::int64_t SourceOffset = 0;   // the byte on the device where it begins
    std::uint64_t Length = 0;        // bytes, as its structure gives them
    TCarveFormat Format = TCarveFormat::Jpeg;
    const char* Extension = "";      // "jpg", "docx", "mp4"... without the dot (static text)
    // Its structure was followed to its end. False: it begins as its format
    // says but breaks off (a read error, the end of the stretch, a failed
    // check) and is likely incomplete; Length then covers what was sound.
    bool Complete = false;
    // Where its bytes lie on the device, in file order (one range for now:
    // contiguous from SourceOffset).
    std::vector<TByteRange> Ranges;
};

// "carved-OFFSET.EXT", OFFSET the source offset in decimal.
std::string CarvedName(const TCarvedFile& file);

// The content plan of a carved file, for the writer that recovers every
// file: its ranges as extents of the device.
TFileContent CarvedContent(const TCarvedFile& file);

// How a carving pass ended.
enum class TCarveEnd { Completed, Aborted };

struct TCarveOutcome {
    TCarveEnd End = TCarveEnd::Completed;
    std::uint64_t BytesTotal = 0;   // bytes of the stretches asked for (known sizes)
    std::uint64_t BytesDone = 0;    // bytes passed, read or skipped inside carved files
    std::uint64_t FoundCount = 0;
    std::uint64_t ReadErrors = 0;   // reads that failed and were skipped
    std::uint64_t UnreadBytes = 0;  // bytes skipped because they could not be read
};

// The caller's side of a carving pass. Called on the pass's thread, in order.
class TCarveSink {
public:
    virtual ~TCarveSink() = default;
    // After each chunk: bytes passed so far of `total`, and files found.
    virtual void Progress(std::uint64_t /*done*/, std::uint64_t /*total*/, std::uint64_t /*found*/) {}
    // Files found since the last batch, in order of their offsets.
    virtual void Found(std::span<const TCarvedFile> /*batch*/) {}
};

struct TCarveOptions {
    // Signatures are looked for at Origin + k × Alignment: the cluster size
    // and the volume's first byte in a volume, 512 and 0 on a bare source.
    std::uint32_t Alignment = 512;
    std::int64_t Origin = 0;
    // The families looked for: bit (1 << format).
    std::uint32_t Formats = (1u << CarveFormatCount) - 1;
};

// Carves the stretches `ranges` of `device` (sorted or not; overlapping and
// adjacent ones are merged; a Length past the device's end stops at it; a
// range of Length UINT64_MAX runs to the end of the device). A file never
// reaches past the end of the stretch it begins in. Reads that fail are
// skipped (one alignment unit, at least 512 bytes, at a time) and counted,
// never fatal; `abort` is polled at every chunk and while a file is followed,
// and what was reported stays. Memory: a few MiB of buffers, plus what the
// sink keeps.
TCarveOutcome CarveRanges(TDevice& device, std::vector<TByteRange> ranges, TCarveSink& sink,
                          const std::atomic<bool>& abort, const TCarveOptions& options = {});

// The stretches of free clusters of the volume on `device`, from its cluster
// bitmap (record 6) read in order, as byte ranges of the volume. Empty where
// record 6 can't be read or decoded (`error` then gets the errno of the failed
// read, or EINVAL for a damaged record). Where part of the bitmap can't be
// read, its clusters count as free (carving then reads more than it must,
// never less) and `error` gets the errno. Clusters past the bitmap's end
// count as in use.
std::vector<TByteRange> FreeClusterRanges(TDevice& device, const TVolume& volume, int* error = nullptr);

}  // namespace deruzera
