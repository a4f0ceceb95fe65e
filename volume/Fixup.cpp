// The update sequence of a file record: NTFS writes the update sequence
// number into the last two bytes of every 512-byte stretch of a record and
// keeps the real bytes in the update sequence array.
#include <cstring>
#include <string>

#include "Salvane.h"

namespace deruzera {
namespace {

constexpr std::size_t SignatureOffset = 0;      // "FILE"
constexpr std::size_t UsaOffsetField = 4;       // u16
constexpr std::size_t UsaCountField = 6;        // u16
constexpr std::size_t FixupHeaderSize = 8;

const char* const NoFileId = "Unable to Fixup the Update Sequence : Invalid Record Data : No FILE Identifier found";

[[noreturn]] void Reject(const std::string& what) {
    throw ERecordError("Unable to Fixup the Update Sequence : Invalid Record Data : " + what);
}

}  // namespace

void FixupRecord(std::span<std::uint8_t> record) {
    if (record.size() < 4 || std::memcmp(record.data() + SignatureOffset, "FILE", 4) != 0) throw ERecordError(NoFileId);
    if (record.size() < FixupHeaderSize) Reject("Record too short");

    const std::size_t usaOffset = ReadU16(record, UsaOffsetField);
    const std::size_t usaCount = ReadU16(record, UsaCountField);
    if (usaCount <= 1) return;
    // The array and every protected stretch must lie inside the record.
    if (usaOffset + 2 * usaCount > record.size() || (usaCount - 1) * UpdateSequenceStride > record.size())
        Reject("Update Sequence Array out of range");

    const std::uint8_t usn0 = record[usaOffset];
    const std::uint8_t usn1 = record[usaOffset + 1];
    for (std::size_t i = 1; i < usaCount; ++i) {
        const std::size_t end = i * UpdateSequenceStride;
        if (record[end - 2] != usn0 || record[end - 1] != usn1)
            Reject("Sector n\u00B0" + std::to_string(i) + " is corrupt !");
        record[end - 2] = record[usaOffset + 2 * i];
        record[end - 1] = record[usaOffset + 2 * i + 1];
    }
}

}  // namespace deruzera
