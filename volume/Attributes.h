// The attributes of a fixed-up record: the walk over them within the bytes in
// use, the ones listing a file needs, names and their parents, the attribute
// list.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Device.h"
#include "Layout.h"
#include "Records.h"
#include "Runs.h"

namespace deruzera {

// The attributes of a fixed-up record, walked within its bytes in use: each
// one 8-byte aligned, at least a header long and inside the bytes left, its
// name inside it. The walk stops at the end marker or at the first damage.
class TAttributeWalk {
public:
    explicit TAttributeWalk(TBytes record);
    // The next attribute's bytes, or an empty view at the end.
    TBytes Next();

private:
    TBytes bytes_;
    std::size_t at_ = 0;
};

// The first attribute of `type` in a record, unnamed unless `named`; with
// `skipDosNames` a $FILE_NAME in the DOS namespace is passed over. Empty when
// there is none or the chain is damaged before it.
TBytes FindAttributeView(TBytes record, std::uint32_t type, bool skipDosNames, bool named = true);

// The attributes of a record that listing a file needs, found in one walk:
// the first of each, the first $FILE_NAME outside the DOS namespace and the
// DOS one apart.
struct TRecordView {
    TBytes StandardInformation;
    TBytes FileName;     // outside the DOS namespace
    TBytes DosName;      // the 8.3 alias
    TBytes Data;         // the first unnamed $DATA
    TBytes AttributeList;
    std::uint8_t LongNames = 0;  // $FILE_NAMEs outside the DOS namespace (more than one: hard links)
    std::uint8_t NamedData = 0;  // named $DATA: alternate data streams
    bool NonResident = false;  // some attribute is non-resident
    // The non-resident attributes, the first few (a record rarely has more).
    static constexpr std::size_t MaxExtents = 8;
    std::array<TBytes, MaxExtents> Extents;
    std::size_t ExtentCount = 0;
    // The name to show: the long one, else the 8.3 alias.
    TBytes Name() const { return FileName.empty() ? DosName : FileName; }
};
TRecordView ViewRecord(TBytes record);

// The further names and the named data streams of fixed-up record
// `record`, beside its name `listed` (a $FILE_NAME of it, shown with the
// file): each other name outside the DOS namespace once, and each named
// $DATA with its size (and its bytes where it is resident and small).
TFoundExtras ExtrasOfRecord(TBytes record, TBytes listed);

// The value of a resident attribute (cut at its end); empty for a
// non-resident one.
TBytes ResidentValue(TBytes attribute);

// The name of a $FILE_NAME attribute in UTF-8, and the parent reference.
std::string FileNameOf(TBytes fileNameAttribute);
std::uint64_t ParentReferenceOf(TBytes fileNameAttribute);

// UTF-16LE bytes to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(TBytes utf16le);

// The $FILE_NAME to show: the first outside the DOS namespace, else the DOS
// (8.3) name itself. `record` may be attribute bytes of an extension record.
TBytes FileNameAttribute(TBytes record);

// The contents of a record's $ATTRIBUTE_LIST (resident, or read from its
// clusters through `device`); empty where there is none or it is damaged.
TDynamicCharArray ReadAttributeList(TBytes record, TDevice* device, const TVolume& volume);

// The $FILE_NAME to show of fixed-up base record `record`: its own, else the
// first its attribute list (`list`, as ReadAttributeList gives it) places
// in an extension record, taken from that record as `fetch` gives it and
// kept in `holder`. Empty where there is none to be had; `elsewhere` then
// gets the extension record the list names for it, or -1.
TBytes NameOfRecord(TBytes record, TBytes list, const TExtensionFetch& fetch, TDynamicCharArray& holder,
                    std::int64_t* elsewhere = nullptr);

}  // namespace deruzera
