#include <gtest/gtest.h>

#include "Synthetic.h"
#include "volume/Fixup.h"

using deruzera::ERecordError;
using deruzera::FixupRecord;

namespace {

const std::string NoFile = "Unable to Fixup the Update Sequence : Invalid Record Data : No FILE Identifier found";

std::string RejectionOf(synth::Bytes record) {
    try {
        FixupRecord(record);
    } catch (const ERecordError& e) {
        return e.what();
    }
    return "";
}

TEST(FixupRecord, RestoresEveryStretchOfA1024ByteRecord) {
    synth::Bytes r = synth::Record(1, {}, 1024, 0x1234);
    // The real bytes of each stretch end are kept in the array at 50..53.
    r[50] = 0xAA, r[51] = 0xBB, r[52] = 0xCC, r[53] = 0xDD;
    EXPECT_EQ(r[510], 0x34);
    EXPECT_EQ(r[511], 0x12);
    FixupRecord(r);
    EXPECT_EQ(r[510], 0xAA);
    EXPECT_EQ(r[511], 0xBB);
    EXPECT_EQ(r[1022], 0xCC);
    EXPECT_EQ(r[1023], 0xDD);
}

TEST(FixupRecord, StrideIs512BytesWhateverTheSectorSize) {
    // A 4096-byte record (as on volumes with 4096-byte sectors) carries nine
    // entries: one number and eight 512-byte stretches.
    synth::Bytes r = synth::Record(1, {}, 4096, 0x0102);
    ASSERT_EQ(r[6], 9);
    for (int i = 1; i <= 8; ++i) r[48 + 2 * i] = static_cast<std::uint8_t>(i), r[49 + 2 * i] = 0xEE;
    FixupRecord(r);
    for (int i = 1; i <= 8; ++i) {
        EXPECT_EQ(r[i * 512 - 2], i) << "stretch " << i;
        EXPECT_EQ(r[i * 512 - 1], 0xEE);
    }
}

TEST(FixupRecord, RejectsCorruptStretchesWithTheirNumber) {
    synth::Bytes swapped = synth::Record(1, {}, 1024, 0x0A0B);
    std::swap(swapped[510], swapped[511]);
    EXPECT_EQ(RejectionOf(swapped),
              "Unable to Fixup the Update Sequence : Invalid Record Data : Sector n\u00B01 is corrupt !");

    synth::Bytes oneByte = synth::Record(1, {}, 1024, 0x0A0B);
    oneByte[1023] = 0;
    synth::Bytes copy = oneByte;
    EXPECT_EQ(RejectionOf(oneByte),
              "Unable to Fixup the Update Sequence : Invalid Record Data : Sector n\u00B02 is corrupt !");
    // The first stretch was restored before the second failed.
    try {
        FixupRecord(copy);
    } catch (const ERecordError&) {
    }
    EXPECT_EQ(copy[510], 0);
    EXPECT_EQ(copy[511], 0);

    synth::Bytes fourK = synth::Record(1, {}, 4096);
    fourK[7 * 512 - 1] ^= 1;
    EXPECT_EQ(RejectionOf(fourK),
              "Unable to Fixup the Update Sequence : Invalid Record Data : Sector n\u00B07 is corrupt !");
}

TEST(FixupRecord, RejectsWhatIsNotAFileRecord) {
    synth::Bytes baad = synth::Record(1, {});
    std::memcpy(baad.data(), "BAAD", 4);
    EXPECT_EQ(RejectionOf(baad), NoFile);
    synth::Bytes lower = synth::Record(1, {});
    std::memcpy(lower.data(), "file", 4);
    EXPECT_EQ(RejectionOf(lower), NoFile);
    EXPECT_EQ(RejectionOf(synth::Bytes(1024, 0)), NoFile);  // what a failed read leaves
    EXPECT_EQ(RejectionOf(synth::Bytes{'F', 'I', 'L'}), NoFile);
    EXPECT_FALSE(RejectionOf(synth::Bytes{'F', 'I', 'L', 'E', 0}).empty());
}

TEST(FixupRecord, TheCountMustCoverTheRecordAndTheArrayBeAligned) {
    // One number and one entry per 512 bytes, nothing else: a count of 0, 1
    // or 2 for a 1024-byte record would leave protected bytes unrestored.
    for (int count : {0, 1, 2, 4}) {
        synth::Bytes r = synth::Record(1, {});
        synth::Put(r, 6, static_cast<std::uint64_t>(count), 2);
        EXPECT_EQ(RejectionOf(r), "Unable to Fixup the Update Sequence : Invalid Record Data : "
                                  "Update Sequence count does not fit the record")
            << count;
    }
    synth::Bytes odd = synth::Record(1, {});
    synth::Put(odd, 4, 49, 2);
    EXPECT_EQ(RejectionOf(odd), "Unable to Fixup the Update Sequence : Invalid Record Data : Update Sequence Array out of range");
    // A record shorter than its header.
    EXPECT_EQ(RejectionOf(synth::Bytes{'F', 'I', 'L', 'E', 0, 0, 0, 0, 0, 0}),
              "Unable to Fixup the Update Sequence : Invalid Record Data : Record too short");
}

TEST(FixupRecord, NeverReachesPastTheRecord) {
    // 1024-byte records whose array claims 9 entries, as 4096-byte sectors
    // would suggest: the last stretches lie past the end.
    synth::Bytes tooMany = synth::Record(1, {});
    synth::Put(tooMany, 6, 9, 2);
    EXPECT_FALSE(RejectionOf(tooMany).empty());
    // An array placed at the very end of the record.
    synth::Bytes lateArray = synth::Record(1, {});
    synth::Put(lateArray, 4, 1020, 2);
    EXPECT_FALSE(RejectionOf(lateArray).empty());
    synth::Bytes hugeOffset = synth::Record(1, {});
    synth::Put(hugeOffset, 4, 0xFFFF, 2);
    synth::Put(hugeOffset, 6, 0xFFFF, 2);
    EXPECT_FALSE(RejectionOf(hugeOffset).empty());
}

}  // namespace
