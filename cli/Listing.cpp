#include "Listing.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Locale.h"
#include "platform/Terminal.h"
#include "volume/Messages.h"
#include "volume/Mft.h"
#include "volume/Pass.h"
#include "volume/Times.h"
#include "volume/Volume.h"

namespace deruzera::cli {
namespace {

// The safe paths of the folders met are kept up to this many bytes, then
// made afresh: a tree of deep, long paths would otherwise hold gigabytes.
constexpr std::size_t MaxCachedPathBytes = 32 << 20;

// What every row shows of a file beside its name: its folder's path made
// safe once (a batch's paths are final) and its times as text.
class TRowFacts {
public:
    explicit TRowFacts(TSafeUse pathUse) : pathUse_(pathUse) {}

    // The folders met lately are found in one step.
    const std::string& SafePath(const TFoundFiles& f, const TFoundBatch& batch) {
        auto& [parent, known] = recent_[static_cast<std::uint64_t>(f.ParentRecord) % recent_.size()];
        if (known && parent == f.ParentRecord) return *known;
        auto it = paths_.find(f.ParentRecord);
        if (it == paths_.end()) {
            std::string safe;
            AppendSafe(safe, batch.FilePath(f), pathUse_);
            if (pathBytes_ + safe.size() > MaxCachedPathBytes) {
                paths_.clear();
                recent_.fill({});
                pathBytes_ = 0;
            }
            pathBytes_ += safe.size();
            it = paths_.emplace(f.ParentRecord, std::move(safe)).first;
        }
        recent_[static_cast<std::uint64_t>(f.ParentRecord) % recent_.size()] = {f.ParentRecord, &it->second};
        return it->second;
    }
    // The two times of a file, shown to the minute; most files were last
    // changed when made.
    // Empty for a file without times (a carved one).
    void Times(const TFoundFiles& f, std::string& created, std::string& modified) {
        if (!HasTimes(f)) {
            created.clear();
            modified.clear();
            return;
        }
        created = TimeText(f.Created);
        modified = f.Modified == f.Created ? created : TimeText(f.Modified);
    }

private:
    // Files found one after another were often made in the same second,
    // whose text is kept.
    const std::string& TimeText(std::uint64_t fileTime) {
        constexpr std::uint64_t Second = 10'000'000;
        auto& [second, text] = recentTimes_[fileTime / Second % recentTimes_.size()];
        if (text.empty() || second != fileTime / Second) {
            second = fileTime / Second;
            text = times_.FormatFileTime(fileTime);
        }
        return text;
    }

    TSafeUse pathUse_;
    std::unordered_map<std::int64_t, std::string> paths_;
    std::size_t pathBytes_ = 0;
    std::array<std::pair<std::int64_t, const std::string*>, 4096> recent_{};
    std::array<std::pair<std::uint64_t, std::string>, 64> recentTimes_{};
    TLocalTimes times_ = platform::LocalTimes();
};

char* Put(char* p, std::string_view text) { return std::copy(text.begin(), text.end(), p); }

// The snapshot a file was found in, as the table shows it: "-" for the
// live volume, "K:2013-12-03T06:35:09Z".
std::string SnapshotCell(const TFoundFiles& f, const TFoundBatch& batch) {
    if (f.Snapshot == 0) return "-";
    return std::to_string(f.Snapshot) + ":" + IsoUtcText(batch.Volume.Snapshot().Created);
}
char* PutNumber(char* p, std::int64_t value) { return std::to_chars(p, p + 20, value).ptr; }
// The most bytes a number or a fixed piece of a row takes.
constexpr std::size_t NumberBound = 24;

class TJsonWriter final : public TFoundWriter {
public:
    explicit TJsonWriter(TOutput& out) : out_(out) {}
    void Write(const TFoundBatch& batch) override {
        for (std::size_t i = 0; i < batch.Files.size(); ++i) Row(batch.Files[i], batch, batch.Places ? &batch.Places[i] : nullptr);
        out_.FlushIfFull();
    }
    void Finish() override { out_.Flush(); }

private:
    // The fixed text of a row, around its values.
    static constexpr std::string_view Keys[] = {
        "{\"record\":", ",\"offset\":", ",\"name\":", ",\"path\":", ",\"size\":", ",\"created\":",
        ",\"modified\":", ",\"state\":\"", "\"", ",\"unread_bytes\":", ",\"overwritten_bytes\":",
        ",\"overwritten_by\":[", ",", "],\"compressed\":false", ",\"encrypted\":false}\n"};
    static constexpr std::size_t KeyBytes = [] {
        std::size_t n = 0;
        for (std::string_view k : Keys) n += k.size();
        return n;
    }();
    // A pass's keys: how and where the file was found.
    static constexpr std::string_view PlaceKeys[] = {",\"found_by\":\"", "\",\"source_offset\":"};
    // The numbers of a row, the longest state name, and a snapshot's keys
    // with its number and time.
    static constexpr std::size_t NumberBytes = 7 * NumberBound + 24 + 64;

    // `place`: where a pass over the source found the file, or null.
    void Row(const TFoundFiles& f, const TFoundBatch& batch, const TFoundPlace* place) {
        std::string created, modified;
        facts_.Times(f, created, modified);
        const std::string& path = facts_.SafePath(f, batch);
        const std::string_view name = batch.Files.Name(f);
        const std::vector<std::string>& owners = batch.Volume.Overwriters().Of(f.Record);
        // The row's room, taken once: its fixed text, its numbers, and each
        // value at its longest once made safe.
        std::size_t room = KeyBytes + NumberBytes + SafeBound(name) + path.size() + SafeBound(created) +
                           SafeBound(modified);
        for (const std::string& owner : owners) room += SafeBound(owner) + Keys[12].size();
        if (place) room += PlaceKeys[0].size() + PlaceKeys[1].size() + 8 + NumberBound;
        char* p = out_.Room(room);
        p = PutNumber(Put(p, Keys[0]), f.Record);
        p = PutNumber(Put(p, Keys[1]), place ? place->RecordOffset : FileRecordOffset(batch.Volume.Geometry(), f.Record));
        p = PutSafe(Put(p, Keys[2]), name, TSafeUse::JsonName);
        p = Put(Put(p, Keys[3]), path);
        p = PutNumber(Put(p, Keys[4]), f.FileSize);
        p = PutSafe(Put(p, Keys[5]), created, TSafeUse::JsonPath);
        p = PutSafe(Put(p, Keys[6]), modified, TSafeUse::JsonPath);
        p = Put(Put(Put(p, Keys[7]), StateName(f.State)), Keys[8]);
        if (f.UnreadBytes > 0) p = PutNumber(Put(p, Keys[9]), static_cast<std::int64_t>(f.UnreadBytes));
        p = PutNumber(Put(p, Keys[10]), static_cast<std::int64_t>(f.OverwrittenBytes));
        p = Put(p, Keys[11]);
        for (std::size_t i = 0; i < owners.size(); ++i) p = PutSafe(i ? Put(p, Keys[12]) : p, owners[i], TSafeUse::JsonPath);
        p = Put(p, (f.Flags & FoundCompressed) ? std::string_view("],\"compressed\":true") : Keys[13]);
        if (place) {
            p = Put(Put(Put(p, (f.Flags & FoundEncrypted) ? std::string_view(",\"encrypted\":true") : Keys[14].substr(0, 18)),
                        PlaceKeys[0]),
                    FoundByName(place->By));
            p = Put(PutNumber(Put(p, PlaceKeys[1]), place->SourceOffset), "}\n");
        } else if (f.Snapshot != 0) {
            // A snapshot's file: which one, and when it was made.
            p = Put(p, (f.Flags & FoundEncrypted) ? std::string_view(",\"encrypted\":true") : std::string_view(",\"encrypted\":false"));
            p = PutNumber(Put(p, ",\"snapshot\":"), f.Snapshot);
            p = Put(Put(Put(p, ",\"snapshot_created\":\""), IsoUtcText(batch.Volume.Snapshot().Created)), "\"}\n");
        } else {
            p = Put(p, (f.Flags & FoundEncrypted) ? std::string_view(",\"encrypted\":true}\n") : Keys[14]);
        }
        // Further names and named streams, only where a file has them: the
        // row's closing "}" goes after them.
        const TFoundExtras* extras = batch.Files.Extras(f);
        if (extras == nullptr || (extras->Links.empty() && extras->Streams.empty())) {
            out_.Wrote(p);
            return;
        }
        out_.Wrote(p - 2);
        if (!extras->Links.empty()) {
            out_.Append(",\"links\":[");
            for (std::size_t i = 0; i < extras->Links.size(); ++i) {
                out_.Append(i ? ",{\"path\":" : "{\"path\":");
                out_.AppendSafe(batch.FolderPath(extras->Links[i].ParentRecord), TSafeUse::JsonPath);
                out_.Append(",\"name\":");
                out_.AppendSafe(extras->Links[i].Name, TSafeUse::JsonName);
                out_.Append("}");
            }
            out_.Append("]");
        }
        if (!extras->Streams.empty()) {
            out_.Append(",\"streams\":[");
            for (std::size_t i = 0; i < extras->Streams.size(); ++i) {
                out_.Append(i ? ",{\"name\":" : "{\"name\":");
                out_.AppendSafe(extras->Streams[i].Name, TSafeUse::JsonPath);
                out_.Append(",\"size\":" + std::to_string(extras->Streams[i].Size));
                out_.Append("}");
            }
            out_.Append("]");
        }
        out_.Append("}\n");
    }

    TOutput& out_;
    TRowFacts facts_{TSafeUse::JsonPath};
};

// Text of a CSV field: quoted, its quotes doubled, control characters
// made safe; a field that a spreadsheet would take for a formula (its
// first character "=", "+", "-" or "@") begins with "'" instead.
void AppendCsv(TOutput& out, std::string_view text) {
    std::string safe;
    AppendSafe(safe, text, TSafeUse::Log);
    std::string field = "\"";
    if (!safe.empty() && (safe[0] == '=' || safe[0] == '+' || safe[0] == '-' || safe[0] == '@')) field += '\'';
    for (char c : safe) {
        if (c == '"') field += '"';
        field += c;
    }
    field += '"';
    out.Append(field);
}

// CSV: a header row, then a row a file with a column for each key of the
// JSON rows; the lists (who holds overwritten clusters, further names,
// streams) in one field each, their items separated by "|". A scan with
// snapshots adds the snapshot's number and creation time ("0" and "" for
// the live volume's files); a pass over the source adds how each file was
// found and where on the source ("" and "" for the walk's files), and the
// offset of a deep file's record is where the pass found it.
class TCsvWriter final : public TFoundWriter {
public:
    TCsvWriter(TOutput& out, bool snapshots, bool pass) : out_(out), snapshots_(snapshots), pass_(pass) {}
    void Write(const TFoundBatch& batch) override {
        for (std::size_t i = 0; i < batch.Files.size(); ++i)
            Row(batch.Files[i], batch, batch.Places ? &batch.Places[i] : nullptr);
        out_.FlushIfFull();
    }
    void Finish() override {
        Header();
        out_.Flush();
    }

private:
    void Header() {
        if (!headerWritten_) {
            out_.Append("record,offset,name,path,size,created,modified,state,unread_bytes,overwritten_bytes,"
                        "overwritten_by,compressed,encrypted,links,streams");
            out_.Append(snapshots_ ? ",snapshot,snapshot_created\r\n" : pass_ ? ",found_by,source_offset\r\n" : "\r\n");
        }
        headerWritten_ = true;
    }
    void Row(const TFoundFiles& f, const TFoundBatch& batch, const TFoundPlace* place) {
        Header();
        std::string created, modified;
        facts_.Times(f, created, modified);
        auto number = [&](std::int64_t value, bool comma = true) {
            out_.Wrote(Put(PutNumber(out_.Room(NumberBound), value), comma ? "," : ""));
        };
        number(f.Record);
        number(place ? place->RecordOffset : FileRecordOffset(batch.Volume.Geometry(), f.Record));
        AppendCsv(out_, batch.Files.Name(f));
        out_.Append(",");
        AppendCsv(out_, facts_.SafePath(f, batch));
        out_.Append(",");
        number(f.FileSize);
        AppendCsv(out_, created);
        out_.Append(",");
        AppendCsv(out_, modified);
        out_.Append(",");
        out_.Append(StateName(f.State));
        out_.Append(",");
        number(static_cast<std::int64_t>(f.UnreadBytes));
        number(static_cast<std::int64_t>(f.OverwrittenBytes));
        std::string list;
        for (const std::string& owner : batch.Volume.Overwriters().Of(f.Record)) list += (list.empty() ? "" : "|") + owner;
        AppendCsv(out_, list);
        out_.Append((f.Flags & FoundCompressed) ? ",true" : ",false");
        out_.Append((f.Flags & FoundEncrypted) ? ",true," : ",false,");
        std::string links, streams;
        if (const TFoundExtras* extras = batch.Files.Extras(f)) {
            for (const TFoundLink& link : extras->Links)
                links += (links.empty() ? "" : "|") + batch.FolderPath(link.ParentRecord) + link.Name;
            for (const TFoundStream& stream : extras->Streams)
                streams += (streams.empty() ? "" : "|") + stream.Name + ":" + std::to_string(stream.Size);
        }
        AppendCsv(out_, links);
        out_.Append(",");
        AppendCsv(out_, streams);
        if (snapshots_) {
            out_.Append(",");
            number(f.Snapshot);
            if (f.Snapshot != 0) out_.Append(IsoUtcText(batch.Volume.Snapshot().Created));
        } else if (pass_) {
            out_.Append(",");
            out_.Append(place ? FoundByName(place->By) : "");
            out_.Append(",");
            if (place) number(place->SourceOffset, false);
        }
        out_.Append("\r\n");
    }

    TOutput& out_;
    const bool snapshots_, pass_;
    TRowFacts facts_{TSafeUse::Log};
    bool headerWritten_ = false;
};

// Seconds since 1970 of an NTFS time, as The Sleuth Kit's body files give
// them; 0 for a time before.
std::int64_t UnixSeconds(std::uint64_t fileTime) {
    constexpr std::uint64_t TicksPerSecond = 10'000'000;
    constexpr std::uint64_t SecondsTo1970 = 11'644'473'600;
    const std::uint64_t seconds = fileTime / TicksPerSecond;
    return seconds > SecondsTo1970 ? static_cast<std::int64_t>(seconds - SecondsTo1970) : 0;
}

// The Sleuth Kit's body file (version 3): for each deleted file a line
// "MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime" with the
// times of its $STANDARD_INFORMATION in seconds since 1970, as fls -m
// writes them: the name is the path with "/" and " (deleted)" after it,
// the inode the record number. A further name and a named stream
// ("a.txt:Zone.Identifier") get lines of their own.
class TBodyWriter final : public TFoundWriter {
public:
    explicit TBodyWriter(TOutput& out) : out_(out) {}
    void Write(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) {
            const std::string path = batch.FilePath(f);
            Line(f, path, batch.Files.Name(f), "", f.FileSize);
            if (const TFoundExtras* extras = batch.Files.Extras(f)) {
                for (const TFoundLink& link : extras->Links)
                    Line(f, batch.FolderPath(link.ParentRecord), link.Name, "", f.FileSize);
                for (const TFoundStream& stream : extras->Streams)
                    Line(f, path, batch.Files.Name(f), stream.Name, static_cast<std::int64_t>(stream.Size));
            }
        }
        out_.FlushIfFull();
    }
    void Finish() override { out_.Flush(); }

private:
    void Line(const TFoundFiles& f, std::string_view path, std::string_view name, std::string_view stream,
              std::int64_t size) {
        // The path as fls writes it: "/" between the names, no "/" at the end.
        std::string full(path);
        for (char& c : full)
            if (c == '\\') c = '/';
        if (!full.empty() && full.back() == '/') full.pop_back();
        full += '/';
        full += name;
        if (!stream.empty()) {
            full += ':';
            full += stream;
        }
        full += " (deleted)";
        std::string safe;
        AppendSafe(safe, full, TSafeUse::Log);
        for (char& c : safe)
            if (c == '|') c = '_';  // the field separator never stands in a name
        out_.Append("0|");
        out_.Append(safe);
        out_.Append("|");
        char* p = out_.Room(8 * NumberBound);
        p = Put(PutNumber(p, f.Record), "|-/rrwxrwxrwx|0|0|");
        p = Put(PutNumber(p, size), "|");
        p = Put(PutNumber(p, UnixSeconds(f.Accessed)), "|");
        p = Put(PutNumber(p, UnixSeconds(f.Modified)), "|");
        p = Put(PutNumber(p, UnixSeconds(f.Changed)), "|");
        p = Put(PutNumber(p, UnixSeconds(f.Created)), "\n");
        out_.Wrote(p);
    }

    TOutput& out_;
};

const std::vector<std::string> Header = {"RECORD", "SIZE", "CREATED", "MODIFIED", "PATH", "NAME", "STATE"};

// Rows separated by tabs, written as the scan hands files over, so that the
// output streams and memory stays small however many files there are.
class TTabWriter final : public TFoundWriter {
public:
    TTabWriter(TOutput& out, bool snapshots) : out_(out), snapshots_(snapshots) {}
    void Write(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) Row(f, batch);
        out_.FlushIfFull();
    }
    void Finish() override { out_.Flush(); }

private:
    void Row(const TFoundFiles& f, const TFoundBatch& batch) {
        if (!headerWritten_)
            out_.Append(snapshots_ ? "RECORD\tSIZE\tCREATED\tMODIFIED\tPATH\tNAME\tSTATE\tSNAPSHOT\n"
                                   : "RECORD\tSIZE\tCREATED\tMODIFIED\tPATH\tNAME\tSTATE\n");
        headerWritten_ = true;
        std::string created, modified;
        facts_.Times(f, created, modified);
        char* p = out_.Room(2 * NumberBound);
        out_.Wrote(Put(PutNumber(Put(PutNumber(p, f.Record), "\t"), f.FileSize), "\t"));
        out_.Append(created);
        out_.Append("\t");
        out_.Append(modified);
        out_.Append("\t");
        out_.Append(facts_.SafePath(f, batch));
        out_.Append("\t");
        out_.AppendSafe(batch.Files.Name(f), TSafeUse::Name);
        out_.Append("\t");
        out_.Append(StateName(f.State));
        if (snapshots_) {
            out_.Append("\t");
            out_.Append(SnapshotCell(f, batch));
        }
        out_.Append("\n");
    }

    TOutput& out_;
    bool snapshots_;
    TRowFacts facts_{TSafeUse::Path};
    bool headerWritten_ = false;
};

// On a terminal: the table held to the end of the scan, its columns padded
// to the widest cell.
class TAlignedWriter final : public TFoundWriter {
public:
    TAlignedWriter(TOutput& out, bool snapshots) : out_(out), header_(Header) {
        if (snapshots) header_.push_back("SNAPSHOT");
    }
    void Write(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) {
            std::string created, modified;
            facts_.Times(f, created, modified);
            std::vector<std::string> row = {std::to_string(f.Record), std::to_string(f.FileSize), created, modified,
                                            facts_.SafePath(f, batch), "", StateName(f.State)};
            AppendSafe(row[5], batch.Files.Name(f), TSafeUse::Name);
            if (header_.size() > Header.size()) row.push_back(SnapshotCell(f, batch));
            rows_.push_back(std::move(row));
        }
    }
    void Finish() override {
        if (rows_.empty()) return;
        std::vector<std::size_t> width(header_.size(), 0);
        for (std::size_t c = 0; c < header_.size(); ++c) width[c] = header_[c].size();
        for (const auto& row : rows_)
            for (std::size_t c = 0; c + 1 < row.size(); ++c) width[c] = std::max(width[c], DisplayWidth(row[c]));
        auto put = [&](const std::vector<std::string>& row) {
            for (std::size_t c = 0; c < row.size(); ++c) {
                out_.Append(row[c]);
                if (c + 1 < row.size()) out_.Append(std::string(width[c] - std::min(width[c], DisplayWidth(row[c])) + 2, ' '));
            }
            out_.Append("\n");
        };
        put(header_);
        for (const auto& row : rows_) put(row);
        out_.Flush();
    }

private:
    TOutput& out_;
    std::vector<std::string> header_;
    TRowFacts facts_{TSafeUse::Path};
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace

bool ParseListFormat(const std::string& name, TListFormat& format) {
    static const std::pair<const char*, TListFormat> Names[] = {
        {"table", TListFormat::Table}, {"json", TListFormat::Json}, {"csv", TListFormat::Csv},
        {"bodyfile", TListFormat::Bodyfile}};
    for (const auto& [text, value] : Names)
        if (name == text) {
            format = value;
            return true;
        }
    return false;
}

std::unique_ptr<TFoundWriter> TFoundWriter::Make(TListFormat format, TOutput& out, bool snapshots, bool pass) {
    if (format == TListFormat::Json) return std::make_unique<TJsonWriter>(out);
    if (format == TListFormat::Csv) return std::make_unique<TCsvWriter>(out, snapshots, pass);
    if (format == TListFormat::Bodyfile) return std::make_unique<TBodyWriter>(out);
    if (platform::StdoutIsTerminal()) return std::make_unique<TAlignedWriter>(out, snapshots);
    return std::make_unique<TTabWriter>(out, snapshots);
}

}  // namespace deruzera::cli
