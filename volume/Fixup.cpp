// The update sequence of a file record: NTFS writes the update sequence
// number into the last two bytes of every 512-byte stretch of a record and
// keeps the real bytes in the update sequence array.
#include <cstring>
#include <string>

#include "Fixup.h"
#include "Layout.h"

namespace deruzera {
namespace {

const char* const NoFileId = "Unable to Fixup the Update Sequence : Invalid Record Data : No FILE Identifier found";

[[noreturn]] void Reject(const std::string& what) {
    throw ERecordError("Unable to Fixup the Update Sequence : Invalid Record Data : " + what);
}

}  // namespace

void FixupRecord(std::span<std::uint8_t> record) {
    if (record.size() < 4 || std::memcmp(record.data() + RecordHeader::Signature, "FILE", 4) != 0)
        throw ERecordError(NoFileId);
    if (record.size() < RecordHeader::Size) Reject("Record too short");

    const std::size_t usaOffset = ReadU16(record, RecordHeader::UsaOffset);
    const std::size_t usaCount = ReadU16(record, RecordHeader::UsaCount);
    // One number, then one entry for each 512-byte stretch: a count that
    // says otherwise would restore bytes that were never protected, or
    // leave protected ones as they are.
    if (usaCount != 1 + record.size() / UpdateSequenceStride) Reject("Update Sequence count does not fit the record");
    // The array holds 16-bit entries at an even offset past the count field,
    // inside the record.
    if (usaOffset % 2 != 0 || usaOffset < RecordHeader::UsaCount + 2 || usaOffset + 2 * usaCount > record.size())
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
