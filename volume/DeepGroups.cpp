// Records into volumes: the places the MFT's own record, its mirror copy and
// the boot sectors give, weighed by how many records found they explain.
#include <algorithm>
#include <map>

#include "DeepModel.h"
#include "Fixup.h"
#include "Runs.h"

namespace deruzera::deep {
namespace {

// A cluster size assumed where no record of a volume shows one: nothing of
// it is then read through clusters anyway.
constexpr std::uint32_t UsualCluster = 4096;
// The mirror holds records 0 to 3.
constexpr std::int64_t MirrorRecords = 4;
// Copies of $MFT's record or of boot sectors weighed at most: a disk holds
// a few (one a volume, and those of images kept as files); each is weighed
// against every stretch of records.
constexpr std::size_t MaxAnchors = 256;

// Records of one record size whose places agree with one stretch of an MFT:
// their offset less their number times the record size is the same.
struct TStretch {
    std::uint32_t Size = 0;
    std::int64_t Key = 0;
    std::size_t First = 0, End = 0;  // into the sorted order
    int Group = -1;
    bool Explained = false;
};

// One way the records could lie: a volume at Base whose MFT (and mirror)
// lie where Runs say, in clusters of Cluster bytes.
struct THypothesis {
    std::int64_t Base = 0;
    std::uint32_t Size = 0;
    std::uint32_t Cluster = 0;
    TAnchor Anchor = TAnchor::None;
    std::vector<TMftRun> Mft;        // the MFT's extents; the last one is taken to reach on
    TMftRun Mirror{0, -1, 0};        // the mirror's extent (Lcn -1: not known)
    std::int64_t Bytes = 0;          // the volume's size where a boot sector says it
    std::uint64_t Score = 0;
};

bool Named(const TFinds& finds, const TRecordFound& r, std::string_view name) {
    return r.HasName && finds.Name(r) == name && RecordNumberOf(r.Parent) == RootRecord;
}

// The runs of a non-resident $DATA attribute kept for `r`, in clusters of
// `cluster` bytes; empty where it has none or they are damaged.
std::vector<TMftRun> RunsOf(const TFinds& finds, const TRecordFound& r, std::uint32_t cluster) {
    std::vector<TMftRun> runs;
    const TBytes data = finds.Data(r);
    if (data.empty() || ReadS64(data, NonResident::FirstVcn) != 0) return runs;
    const std::size_t at = ReadU16(data, NonResident::RunListOffset);
    if (at >= data.size()) return runs;
    try {
        std::int64_t vcn = 0;
        ForEachRun(data.subspan(at), cluster, 0, [&](const TDataRun& run) {
            if (run.Lcn >= 0) runs.push_back({vcn, run.Lcn, static_cast<std::int64_t>(run.Length)});
            vcn += static_cast<std::int64_t>(run.Length);
        });
    } catch (const ERecordError&) {
        runs.clear();
    }
    return runs;
}

class TGrouping {
public:
    TGrouping(const TFinds& finds, std::int64_t deviceSize) : finds_(finds), deviceSize_(deviceSize) {}

    std::vector<TGroup> Run() {
        Stretches();
        Hypotheses();
        for (THypothesis& h : hypotheses_) h.Score = Score(h);
        std::stable_sort(hypotheses_.begin(), hypotheses_.end(), [](const THypothesis& a, const THypothesis& b) {
            return a.Score != b.Score ? a.Score > b.Score : a.Anchor < b.Anchor;
        });
        for (const THypothesis& h : hypotheses_)
            if (h.Score > 0) Take(h);
        Rest();
        return Finish();
    }

private:
    void Stretches() {
        const auto& records = finds_.Records;
        order_.resize(records.size());
        for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
        std::sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
            const TRecordFound &x = records[a], &y = records[b];
            if (x.Size != y.Size) return x.Size < y.Size;
            if (x.Key() != y.Key()) return x.Key() < y.Key();
            return x.Number != y.Number ? x.Number < y.Number : x.Offset < y.Offset;
        });
        for (std::size_t i = 0; i < order_.size();) {
            TStretch s;
            s.Size = records[order_[i]].Size;
            s.Key = records[order_[i]].Key();
            s.First = i;
            while (i < order_.size() && records[order_[i]].Size == s.Size && records[order_[i]].Key() == s.Key) ++i;
            s.End = i;
            stretches_.push_back(s);
        }
    }

    void Hypotheses() {
        const auto& records = finds_.Records;
        std::vector<const TRecordFound*> mirrors, mfts;
        for (const TRecordFound& r : records) {
            if (r.Number == 1 && r.BaseRecord == 0 && r.Cluster != 0 && mirrors.size() < MaxAnchors &&
                Named(finds_, r, "$MFTMirr"))
                mirrors.push_back(&r);
            if (r.Number == MftRecord && r.BaseRecord == 0 && r.Cluster != 0 && mfts.size() < MaxAnchors &&
                Named(finds_, r, "$MFT"))
                mfts.push_back(&r);
        }
        for (const TRecordFound* mft : mfts) {
            const TRecordFound& r = *mft;
            const std::vector<TMftRun> runs = RunsOf(finds_, r, r.Cluster);
            if (runs.empty() || runs.front().Vcn != 0) continue;
            // Where $MFTMirr's own record says the mirror lies: the one
            // beside this record first.
            std::int64_t mirror = -1;
            for (const TRecordFound* other : mirrors) {
                const TRecordFound& m = *other;
                if (m.Size != r.Size || m.Cluster != r.Cluster) continue;
                const std::vector<TMftRun> mirrorRuns = RunsOf(finds_, m, m.Cluster);
                if (mirrorRuns.empty()) continue;
                if (mirror < 0 || m.Offset == r.Offset + r.Size) mirror = mirrorRuns.front().Lcn;
                if (m.Offset == r.Offset + r.Size) break;
            }
            const auto cluster = static_cast<std::int64_t>(r.Cluster);
            THypothesis h;
            h.Size = r.Size;
            h.Cluster = r.Cluster;
            h.Mft = runs;
            h.Mirror = {0, mirror, (MirrorRecords * r.Size + cluster - 1) / cluster};
            h.Base = r.Offset - runs.front().Lcn * cluster;
            h.Anchor = TAnchor::Record0;
            if (h.Base >= 0) hypotheses_.push_back(h);
            if (mirror >= 0) {
                h.Base = r.Offset - mirror * cluster;
                h.Anchor = TAnchor::MirrorCopy;
                if (h.Base >= 0) hypotheses_.push_back(h);
            }
        }
        for (const TBootFound& b : finds_.Boots) {
            if (hypotheses_.size() >= 4 * MaxAnchors) break;
            THypothesis h;
            h.Size = b.Boot.RecordSize;
            h.Cluster = b.Boot.BytesPerCluster;
            const auto cluster = static_cast<std::int64_t>(h.Cluster);
            // The MFT taken as one stretch from its first cluster on.
            h.Mft = {{0, static_cast<std::int64_t>(b.Boot.MftCluster), static_cast<std::int64_t>(MaxVolumeBytes / h.Cluster)}};
            h.Mirror = {0, static_cast<std::int64_t>(b.Boot.MirrorCluster), (MirrorRecords * h.Size + cluster - 1) / cluster};
            h.Bytes = b.Boot.Length();
            h.Base = b.Offset;
            h.Anchor = TAnchor::Boot;
            hypotheses_.push_back(h);
            h.Base = b.Offset - static_cast<std::int64_t>(b.Boot.Sectors * b.Boot.BytesPerSector);
            h.Anchor = TAnchor::BackupBoot;
            if (h.Base >= 0) hypotheses_.push_back(h);
        }
    }

    // The stretch of `size` at `key`, or null.
    TStretch* StretchAt(std::uint32_t size, std::int64_t key) {
        const auto it = std::lower_bound(stretches_.begin(), stretches_.end(), std::make_pair(size, key),
                                         [](const TStretch& s, const std::pair<std::uint32_t, std::int64_t>& k) {
                                             return s.Size != k.first ? s.Size < k.first : s.Key < k.second;
                                         });
        return it != stretches_.end() && it->Size == size && it->Key == key ? &*it : nullptr;
    }

    // Calls `visit` with each stretch `h` explains and how many of its
    // records lie where the extent that explains it holds their numbers.
    template <class Visit>
    void Explained(const THypothesis& h, Visit&& visit) {
        const auto cluster = static_cast<std::int64_t>(h.Cluster);
        auto extent = [&](const TMftRun& run, bool reachesOn, std::int64_t maxNumber) {
            if (run.Lcn < 0) return;
            TStretch* s = StretchAt(h.Size, h.Base + (run.Lcn - run.Vcn) * cluster);
            if (!s) return;
            const std::int64_t first = run.Vcn * cluster / h.Size;
            const std::int64_t end =
                std::min(maxNumber, reachesOn ? INT64_MAX : (run.Vcn + run.Length) * cluster / h.Size);
            // A stretch's records are in order of their numbers.
            auto number = [&](std::size_t i) { return finds_.Records[order_[i]].Number; };
            std::size_t lo = s->First, hi = s->End;
            while (lo < hi) {
                const std::size_t mid = lo + (hi - lo) / 2;
                if (number(mid) < first) lo = mid + 1;
                else hi = mid;
            }
            std::size_t to = lo;
            hi = s->End;
            while (to < hi) {
                const std::size_t mid = to + (hi - to) / 2;
                if (number(mid) < end) to = mid + 1;
                else hi = mid;
            }
            const std::uint64_t count = to - lo;
            if (count > 0) visit(*s, count);
        };
        for (std::size_t i = 0; i < h.Mft.size(); ++i) extent(h.Mft[i], i + 1 == h.Mft.size(), INT64_MAX);
        extent(h.Mirror, false, MirrorRecords);
    }

    std::uint64_t Score(const THypothesis& h) {
        std::uint64_t score = 0;
        Explained(h, [&](const TStretch&, std::uint64_t count) { score += count; });
        return score;
    }

    int GroupFor(std::int64_t base, std::uint32_t size) {
        for (std::size_t g = 0; g < groups_.size(); ++g)
            if (groups_[g].Base == base && groups_[g].RecordSize == size) return static_cast<int>(g);
        if (groups_.size() >= MaxGroups) return -1;
        TGroup group;
        group.Base = base;
        group.RecordSize = size;
        groups_.push_back(group);
        return static_cast<int>(groups_.size()) - 1;
    }

    void Take(const THypothesis& h) {
        std::vector<TStretch*> won;
        Explained(h, [&](TStretch& s, std::uint64_t) {
            if (s.Group < 0) won.push_back(&s);
        });
        if (won.empty()) return;
        const int g = GroupFor(h.Base, h.Size);
        if (g < 0) return;
        TGroup& group = groups_[static_cast<std::size_t>(g)];
        if (group.Anchor == TAnchor::None) {
            group.Anchor = h.Anchor;
            group.Cluster = h.Cluster;
        }
        if (h.Bytes > 0 && group.Bytes == 0) group.Bytes = h.Bytes;
        for (TStretch* s : won) {
            s->Group = g;
            s->Explained = true;
        }
    }

    // Stretches no place explains: with the volume of their record size
    // that begins last before them, else the first of that size, else a
    // volume taken to begin at the device's start.
    void Rest() {
        for (TStretch& s : stretches_) {
            if (s.Group >= 0) continue;
            int before = -1, after = -1;
            for (std::size_t g = 0; g < groups_.size(); ++g) {
                const TGroup& group = groups_[g];
                if (group.RecordSize != s.Size || group.Anchor == TAnchor::None) continue;
                auto base = [&](int i) { return groups_[static_cast<std::size_t>(i)].Base; };
                if (group.Base <= s.Key && (before < 0 || group.Base > base(before))) before = static_cast<int>(g);
                if (group.Base > s.Key && (after < 0 || group.Base < base(after))) after = static_cast<int>(g);
            }
            const int best = before >= 0 ? before : after;
            s.Group = best >= 0 ? best : GroupFor(0, s.Size);
        }
    }

    std::vector<TGroup> Finish() {
        const auto& records = finds_.Records;
        // Each group's records, one a number: those a place explains first,
        // then those of the longer stretch, then the first on the device.
        std::vector<std::vector<std::pair<std::size_t, const TStretch*>>> members(groups_.size());
        for (const TStretch& s : stretches_) {
            if (s.Group < 0) continue;
            for (std::size_t i = s.First; i < s.End; ++i) members[static_cast<std::size_t>(s.Group)].emplace_back(order_[i], &s);
        }
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            auto& m = members[g];
            std::sort(m.begin(), m.end(), [&](const auto& a, const auto& b) {
                const TRecordFound &x = records[a.first], &y = records[b.first];
                if (x.Number != y.Number) return x.Number < y.Number;
                if (a.second->Explained != b.second->Explained) return a.second->Explained;
                const std::size_t la = a.second->End - a.second->First, lb = b.second->End - b.second->First;
                if (la != lb) return la > lb;
                return x.Offset < y.Offset;
            });
            TGroup& group = groups_[g];
            std::map<std::uint32_t, std::uint64_t> votes;
            for (std::size_t i = 0; i < m.size(); ++i) {
                if (i > 0 && records[m[i].first].Number == records[m[i - 1].first].Number) continue;
                group.Records.push_back(m[i].first);
                const TRecordFound& r = records[m[i].first];
                if (r.Number >= FirstUserRecord && r.Cluster != 0) ++votes[r.Cluster];
            }
            // The cluster size of most of its files: after a format with
            // another size, the files listed are the old ones.
            std::uint64_t most = 0;
            for (const auto& [cluster, count] : votes)
                if (count > most) {
                    most = count;
                    group.Cluster = cluster;
                }
            if (group.Cluster == 0) group.Cluster = UsualCluster;
            if (group.Bytes == 0)
                group.Bytes = deviceSize_ > group.Base ? deviceSize_ - group.Base : static_cast<std::int64_t>(MaxVolumeBytes);
        }
        std::vector<TGroup> out;
        for (TGroup& group : groups_)
            if (!group.Records.empty()) out.push_back(std::move(group));
        std::stable_sort(out.begin(), out.end(), [](const TGroup& a, const TGroup& b) {
            return a.Base != b.Base ? a.Base < b.Base : a.RecordSize < b.RecordSize;
        });
        return out;
    }

    const TFinds& finds_;
    std::int64_t deviceSize_;
    std::vector<std::size_t> order_;
    std::vector<TStretch> stretches_;
    std::vector<THypothesis> hypotheses_;
    std::vector<TGroup> groups_;
};

}  // namespace

std::vector<TGroup> GroupRecords(const TFinds& finds, std::int64_t deviceSize) {
    return TGrouping(finds, deviceSize).Run();
}

const TRecordFound* RecordOf(const TFinds& finds, const TGroup& group, std::int64_t number) {
    const auto it = std::lower_bound(group.Records.begin(), group.Records.end(), number,
                                     [&](std::size_t i, std::int64_t n) { return finds.Records[i].Number < n; });
    return it != group.Records.end() && finds.Records[*it].Number == number ? &finds.Records[*it] : nullptr;
}

TVolume GeometryOf(const TGroup& group, std::uint32_t cluster, const std::string& drive) {
    TVolume volume;
    volume.CurrentDrive = drive;
    volume.BytesPerSector = 512;
    volume.BytesPerCluster = cluster;
    volume.FileRecordSize = group.RecordSize;
    volume.ClusterCount = cluster ? group.Bytes / cluster : 0;
    return volume;
}

}  // namespace deruzera::deep
