// The attributes of a file record, field readers and names.
#include <algorithm>
#include <cstring>

#include "Attributes.h"
#include "Content.h"
#include "Fixup.h"
#include "Layout.h"
#include "Mft.h"

namespace deruzera {

std::uint64_t ReadLE(TBytes bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    if (offset >= bytes.size()) return 0;
    const std::size_t n = std::min({width, bytes.size() - offset, std::size_t{8}});
    for (std::size_t i = n; i-- > 0;) value = (value << 8) | bytes[offset + i];
    return value;
}

TAttributeWalk::TAttributeWalk(TBytes record) : bytes_(record) {
    if (record.size() >= 4 && std::memcmp(record.data(), "FILE", 4) == 0) {
        // A record: its attributes lie between the first-attribute offset and
        // the bytes in use (the whole record where that field is damaged).
        const std::size_t inUse = ReadU32(record, RecordHeader::BytesInUse);
        if (inUse <= record.size()) bytes_ = record.first(inUse);
        at_ = ReadU16(record, RecordHeader::FirstAttribute);
        // Attributes are 8-byte aligned and follow the header.
        if (at_ % 8 != 0 || at_ < RecordHeader::Size) at_ = bytes_.size();
    }
}

TBytes TAttributeWalk::Next() {
    if (at_ > bytes_.size() || bytes_.size() - at_ < AttrHeader::Size) {
        at_ = bytes_.size();
        return {};
    }
    const std::size_t left = bytes_.size() - at_;
    const std::uint8_t* p = bytes_.data() + at_;
    const std::uint32_t length = LoadU32(p + AttrHeader::Length);
    const bool nonResident = p[AttrHeader::NonResident] == 1;
    const std::size_t header = nonResident ? NonResident::Size : Resident::Size;
    // Each step moves forward by a whole, non-zero, 8-byte-aligned length
    // inside the bytes left, so the walk ends and never leaves the record.
    // Past that check every field of the header lies inside the attribute.
    bool sound = LoadU32(p + AttrHeader::Type) != AttrEnd && length >= header && length % 8 == 0 && length <= left;
    if (sound) {
        // The name, and the value or the run list, lie inside the attribute.
        const std::size_t nameLength = 2 * std::size_t{p[AttrHeader::NameLength]};
        const std::size_t nameOffset = LoadU16(p + AttrHeader::NameOffset);
        if (nameLength != 0 && nameOffset + nameLength > length) sound = false;
        if (nonResident) {
            const std::size_t runs = LoadU16(p + NonResident::RunListOffset);
            if (runs < NonResident::Size || runs > length) sound = false;
        } else {
            const std::uint64_t valueOffset = LoadU16(p + Resident::ValueOffset);
            const std::uint64_t valueLength = LoadU32(p + Resident::ValueLength);
            if (valueOffset < Resident::Size || valueOffset + valueLength > length) sound = false;
        }
    }
    if (!sound) {
        at_ = bytes_.size();
        return {};
    }
    at_ += length;
    return TBytes(p, length);
}

TBytes FindAttributeView(TBytes record, std::uint32_t type, bool skipDosNames, bool named) {
    TAttributeWalk walk(record);
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        if (ReadU32(a, AttrHeader::Type) != type) continue;
        if (!named && ReadU8(a, AttrHeader::NameLength) != 0) continue;
        // Namespaces 0, 1 and 3 carry the long name; 2 is the DOS alias.
        if (skipDosNames && type == AttrFileName && ReadU8(a, FileName::Namespace) == NamespaceDos) continue;
        return a;
    }
    return {};
}

TRecordView ViewRecord(TBytes record) {
    TRecordView view;
    TAttributeWalk walk(record);
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        if (ReadU8(a, AttrHeader::NonResident) == 1) {
            view.NonResident = true;
            if (view.ExtentCount < TRecordView::MaxExtents) view.Extents[view.ExtentCount++] = a;
        }
        switch (ReadU32(a, AttrHeader::Type)) {
        case AttrStandardInformation:
            if (view.StandardInformation.empty()) view.StandardInformation = a;
            break;
        case AttrAttributeList:
            if (view.AttributeList.empty()) view.AttributeList = a;
            break;
        case AttrFileName:
            if (ReadU8(a, FileName::Namespace) == NamespaceDos) {
                if (view.DosName.empty()) view.DosName = a;
            } else {
                if (view.FileName.empty()) view.FileName = a;
                if (view.LongNames < UINT8_MAX) ++view.LongNames;
            }
            break;
        case AttrData:
            if (ReadU8(a, AttrHeader::NameLength) != 0) {
                if (view.NamedData < UINT8_MAX) ++view.NamedData;
            } else if (view.Data.empty()) {
                view.Data = a;
            }
            break;
        default: break;
        }
    }
    return view;
}

namespace {

// The name of an attribute in UTF-8.
std::string AttributeName(TBytes attribute) {
    const std::size_t length = 2 * std::size_t{ReadU8(attribute, AttrHeader::NameLength)};
    const std::size_t offset = ReadU16(attribute, AttrHeader::NameOffset);
    if (length == 0 || offset + length > attribute.size()) return {};
    return Utf16ToUtf8(attribute.subspan(offset, length));
}

}  // namespace

TFoundExtras ExtrasOfRecord(TBytes record, TBytes listed) {
    TFoundExtras extras;
    const std::uint64_t listedParent = listed.empty() ? 0 : RecordNumberOf(ParentReferenceOf(listed));
    const std::string listedName = listed.empty() ? std::string() : FileNameOf(listed);
    TAttributeWalk walk(record);
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        const std::uint32_t type = ReadU32(a, AttrHeader::Type);
        if (type == AttrFileName && ReadU8(a, AttrHeader::NonResident) == 0 &&
            ReadU8(a, FileName::Namespace) != NamespaceDos) {
            const std::int64_t parent = RecordNumberOf(ParentReferenceOf(a));
            std::string name = FileNameOf(a);
            if (name.empty()) continue;
            if (static_cast<std::uint64_t>(parent) == listedParent && name == listedName) continue;
            bool known = false;
            for (const TFoundLink& link : extras.Links) known = known || (link.ParentRecord == parent && link.Name == name);
            if (!known) extras.Links.push_back({parent, std::move(name)});
        } else if (type == AttrData && ReadU8(a, AttrHeader::NameLength) != 0) {
            TFoundStream stream;
            stream.Name = AttributeName(a);
            if (stream.Name.empty()) continue;
            if (ReadU8(a, AttrHeader::NonResident) == 1) {
                // Its size from the extent at VCN 0; a later extent tells none.
                if (ReadS64(a, NonResident::FirstVcn) != 0) continue;
                stream.Size = ReadU64(a, NonResident::DataSize);
            } else {
                const TBytes value = ResidentValue(a);
                stream.Resident = true;
                stream.Size = value.size();
                if (value.size() <= MaxKeptStreamBytes) stream.Bytes.assign(value.begin(), value.end());
            }
            extras.Streams.push_back(std::move(stream));
        }
    }
    return extras;
}

TBytes ResidentValue(TBytes attribute) {
    if (ReadU8(attribute, AttrHeader::NonResident) == 1) return {};
    const std::size_t offset = ReadU16(attribute, Resident::ValueOffset);
    const std::size_t length = ReadU32(attribute, Resident::ValueLength);
    if (offset >= attribute.size()) return {};
    return attribute.subspan(offset, std::min(length, attribute.size() - offset));
}

std::string Utf16ToUtf8(TBytes utf16le) {
    const std::size_t units = utf16le.size() / 2;
    // Each unit gives at most 3 bytes (a pair of them 4).
    std::string out(units * 3, '\0');
    char* o = out.data();
    auto unitAt = [&](std::size_t i) { return static_cast<std::uint32_t>(utf16le[2 * i] | (utf16le[2 * i + 1] << 8)); };
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = unitAt(i);
        if (c < 0x80) {
            *o++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unitAt(i + 1) >= 0xDC00 && unitAt(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x800) {
            *o++ = static_cast<char>(0xC0 | (c >> 6));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *o++ = static_cast<char>(0xE0 | (c >> 12));
            *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *o++ = static_cast<char>(0xF0 | (c >> 18));
            *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *o++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

std::string FileNameOf(TBytes attribute) {
    if (attribute.size() <= FileName::Chars) return {};
    const std::size_t bytes =
        std::min<std::size_t>(2 * std::size_t{ReadU8(attribute, FileName::Length)}, attribute.size() - FileName::Chars);
    return Utf16ToUtf8(attribute.subspan(FileName::Chars, bytes));
}

std::uint64_t ParentReferenceOf(TBytes attribute) { return ReadU64(attribute, FileName::Parent); }

TBytes NameOfRecord(TBytes record, TBytes list, const TExtensionFetch& fetch, TDynamicCharArray& holder,
                    std::int64_t* elsewhere) {
    if (elsewhere) *elsewhere = -1;
    if (const TBytes own = FileNameAttribute(record); !own.empty()) return own;
    for (std::size_t p = 0; p + ListEntry::Size <= list.size();) {
        const std::size_t length = ReadU16(list, p + ListEntry::Length);
        if (length < ListEntry::Size) break;
        if (ReadU32(list, p + ListEntry::Type) == AttrFileName) {
            const std::int64_t at = RecordNumberOf(ReadU64(list, p + ListEntry::Record));
            if (fetch) holder = fetch(at);
            const TBytes name = FileNameAttribute(holder);
            if (!name.empty()) return name;
            if (elsewhere && *elsewhere < 0) *elsewhere = at;
        }
        p += length;
    }
    return {};
}

}  // namespace deruzera
