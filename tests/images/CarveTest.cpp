// Carving on files made by the tools that write them in real life
// (ImageMagick, Ghostscript, ffmpeg, zip, Python's zipfile, sqlite3, 7z,
// gzip; RAR by hand, as no free tool writes it): laid out in noise, cut
// short, on a failing device, and deleted on a real volume whose records
// were reused, where every file must come back byte for byte, through the
// same writer as any recovered file, and PhotoRec is run on the same image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ImageSupport.h"
#include "platform/RawDevice.h"
#include "platform/Target.h"
#include "tools/Sha256.h"
#include "volume/Carve.h"
#include "volume/Device.h"
#include "volume/Mft.h"
#include "volume/Records.h"
#include "volume/Recover.h"

using namespace deruzera;
using namespace image_testing;

namespace {

struct Original {
    std::string Name;   // "photo.jpg"
    std::string Bytes;
    std::string Extension;  // what the carver must call it
};

// The extension a carved copy of `name` gets: its own, but for the names
// whose content says more or less.
std::string ExpectedExtension(const std::string& name) {
    std::string ext = name.substr(name.rfind('.') + 1);
    if (name == "streamed.zip" || name == "archive.zip") return "zip";
    if (ext == "jpeg") return "jpg";
    return ext;
}

// The test media, made once per build tree by carve-media.sh.
const std::vector<Original>& Media() {
    static const std::vector<Original> media = [] {
        const fs::path dir = fs::path(DERUZERA_IMAGE_DIR) / "carve-media";
        fs::create_directories(dir.parent_path());
        Shell("bash " + Quote(DERUZERA_CARVE_MEDIA) + " " + Quote(dir.string()) + " 2>&1");
        std::vector<Original> files;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name == "missing" || name == "done") continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            files.push_back({name, bytes.str(), ExpectedExtension(name)});
        }
        std::sort(files.begin(), files.end(), [](const Original& a, const Original& b) { return a.Name < b.Name; });
        return files;
    }();
    return media;
}

// Noise no format takes for a continuation: bytes of a fixed generator.
std::string Noise(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    std::uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (char& c : s) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

class Collect : public TCarveSink {
public:
    std::vector<TCarvedFile> Files;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Steps;
    std::atomic<bool>* StopAfterFirst = nullptr;
    void Progress(std::uint64_t done, std::uint64_t total, std::uint64_t) override { Steps.emplace_back(done, total); }
    void Found(std::span<const TCarvedFile> batch) override {
        Files.insert(Files.end(), batch.begin(), batch.end());
        if (StopAfterFirst) *StopAfterFirst = true;
    }
};

// Where each original lies in a layout.
struct Placed {
    const Original* File;
    std::int64_t Offset;
};

// The originals one after another, each at a multiple of `align` with a
// stretch of noise before it.
std::string Layout(const std::vector<Original>& files, std::uint32_t align, std::vector<Placed>& placed,
                   double keep = 1.0) {
    std::string image;
    std::uint32_t seed = 1;
    for (const Original& f : files) {
        image += Noise(align + seed * 7 % align, seed);
        image.resize((image.size() + align - 1) / align * align, '\x5A');
        placed.push_back({&f, static_cast<std::int64_t>(image.size())});
        image += f.Bytes.substr(0, static_cast<std::size_t>(static_cast<double>(f.Bytes.size()) * keep));
        ++seed;
    }
    image += Noise(3 * align, 999);
    return image;
}

std::vector<TCarvedFile> Carve(TDevice& device, std::uint32_t align, std::vector<TByteRange> ranges = {},
                               TCarveOutcome* outcome = nullptr) {
    if (ranges.empty()) ranges.push_back({0, UINT64_MAX});
    Collect sink;
    std::atomic<bool> abort{false};
    TCarveOptions options;
    options.Alignment = align;
    const TCarveOutcome o = CarveRanges(device, ranges, sink, abort, options);
    if (outcome) *outcome = o;
    return sink.Files;
}

const TCarvedFile* At(const std::vector<TCarvedFile>& files, std::int64_t offset) {
    for (const TCarvedFile& f : files)
        if (f.SourceOffset == offset) return &f;
    return nullptr;
}

// ---- Every format, in noise ---------------------------------------------------

TEST(CarveMedia, EveryFileInNoiseIsFoundWholeWithItsOwnLength) {
    const auto& media = Media();
    ASSERT_GE(media.size(), 30u) << "the media tools are missing (scripts/setup.sh installs them)";
    for (const std::uint32_t align : {512u, 4096u}) {
        std::vector<Placed> placed;
        const std::string image = Layout(media, align, placed);
        const THandle device = MemoryDevice(image);
        TCarveOutcome outcome;
        const auto files = Carve(*device, align, {}, &outcome);
        for (const Placed& p : placed) {
            const TCarvedFile* f = At(files, p.Offset);
            ASSERT_NE(f, nullptr) << p.File->Name << " not found (alignment " << align << ")";
            EXPECT_EQ(f->Length, p.File->Bytes.size()) << p.File->Name;
            EXPECT_TRUE(f->Complete) << p.File->Name;
            EXPECT_EQ(f->Extension, p.File->Extension) << p.File->Name;
            EXPECT_EQ(CarvedName(*f), "carved-" + std::to_string(p.Offset) + "." + p.File->Extension);
        }
        // Nothing in the noise, and nothing inside a file (the JPEG inside
        // the stored ZIP, the frames inside the containers).
        EXPECT_EQ(files.size(), placed.size());
        EXPECT_EQ(outcome.End, TCarveEnd::Completed);
        EXPECT_EQ(outcome.FoundCount, files.size());
        EXPECT_EQ(outcome.BytesDone, image.size());
        EXPECT_EQ(outcome.ReadErrors, 0u);
    }
}

// A file cut by the end of its stretch is never reported whole, and never
// longer than what is there; one cut and followed by noise is never whole
// where its format checks its bytes (markers, CRCs, a central directory).
TEST(CarveMedia, CutFilesAreMarkedIncomplete) {
    const auto& media = Media();
    ASSERT_FALSE(media.empty());
    const std::set<std::string> checked = {"jpg", "png", "gif", "pdf", "zip", "docx", "xlsx", "pptx", "odt", "epub",
                                           "jar", "7z",  "gz",  "rar", "ogg", "opus", "flac"};
    for (const Original& f : media) {
        const std::size_t cut = f.Bytes.size() * 6 / 10;
        // Cut by the end of the stretch.
        {
            const THandle device = MemoryDevice(f.Bytes.substr(0, cut) + Noise(8192, 5));
            const auto files = Carve(*device, 512, {{0, cut}});
            for (const TCarvedFile& c : files) {
                EXPECT_FALSE(c.Complete) << f.Name;
                EXPECT_LE(c.Length, cut) << f.Name;
            }
        }
        // Cut and followed by noise.
        if (checked.count(f.Extension)) {
            const THandle device = MemoryDevice(f.Bytes.substr(0, cut) + Noise(64 * 1024, 6));
            const auto files = Carve(*device, 512);
            const TCarvedFile* c = At(files, 0);
            if (c) {
                EXPECT_FALSE(c->Complete) << f.Name;
            }
        }
    }
}

// Files inside a file are not reported again, even where every byte is a
// position looked at; two files back to back are both found.
TEST(CarveMedia, FilesInsideFilesAreNotReportedTwice) {
    const auto& media = Media();
    auto find = [&](const std::string& name) -> const std::string& {
        for (const Original& o : media)
            if (o.Name == name) return o.Bytes;
        static const std::string none;
        ADD_FAILURE() << name << " was not made";
        return none;
    };
    const std::string& stored = find("stored.zip");  // a PNG and a JPEG kept as they are
    ASSERT_FALSE(stored.empty());
    {
        const THandle device = MemoryDevice(stored);
        const auto files = Carve(*device, 1);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].Length, stored.size());
        EXPECT_TRUE(files[0].Complete);
    }
    const std::string& jpeg = find("photo.jpg");
    const std::string& png = find("picture.png");
    const THandle device = MemoryDevice(jpeg + png + jpeg);
    const auto files = Carve(*device, 1);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[1].SourceOffset, static_cast<std::int64_t>(jpeg.size()));
    EXPECT_EQ(files[2].SourceOffset, static_cast<std::int64_t>(jpeg.size() + png.size()));
    for (const auto& f : files) EXPECT_TRUE(f.Complete);
}

// ---- The pass on a device that fails, reads short, or is stopped -----------------

// A device over bytes that fails every read touching [BadFrom, BadTo) and
// hands out at most `Most` bytes a read.
class AwkwardDevice : public TDevice {
public:
    AwkwardDevice(std::string bytes, std::int64_t badFrom, std::int64_t badTo, std::size_t most)
        : bytes_(std::move(bytes)), badFrom_(badFrom), badTo_(badTo), most_(most) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        ++reads;
        const auto size = static_cast<std::int64_t>(bytes_.size());
        if (offset < 0 || offset >= size) return 0;
        if (offset >= badFrom_ && offset < badTo_) return -EIO;
        std::int64_t end = std::min<std::int64_t>(size, offset + static_cast<std::int64_t>(std::min(count, most_)));
        if (offset < badFrom_) end = std::min(end, badFrom_);
        std::memcpy(buffer, bytes_.data() + offset, static_cast<std::size_t>(end - offset));
        bytesRead += static_cast<std::uint64_t>(end - offset);
        return end - offset;
    }
    std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }
    std::uint64_t reads = 0;
    std::uint64_t bytesRead = 0;

private:
    std::string bytes_;
    std::int64_t badFrom_, badTo_;
    std::size_t most_;
};

TEST(CarvePass, ReadErrorsAreSkippedAndCountedAndCutTheFileTheyHit) {
    const auto& media = Media();
    std::vector<Placed> placed;
    const std::string image = Layout(media, 4096, placed);
    // Bad sectors in the middle of the largest file.
    const Placed* victim = &placed[0];
    for (const Placed& p : placed)
        if (p.File->Bytes.size() > victim->File->Bytes.size()) victim = &p;
    const std::int64_t badFrom = victim->Offset + 8192, badTo = badFrom + 3 * 512;
    AwkwardDevice device(image, badFrom, badTo, 1000);  // short reads too
    TCarveOutcome outcome;
    const auto files = Carve(device, 4096, {}, &outcome);
    EXPECT_EQ(outcome.End, TCarveEnd::Completed);
    EXPECT_GE(outcome.ReadErrors, 1u);
    EXPECT_EQ(outcome.UnreadBytes, 3u * 512);
    for (const Placed& p : placed) {
        const TCarvedFile* f = At(files, p.Offset);
        ASSERT_NE(f, nullptr) << p.File->Name;
        if (&p == victim) {
            EXPECT_FALSE(f->Complete);
            EXPECT_LE(f->SourceOffset + static_cast<std::int64_t>(f->Length), badFrom) << "unread bytes reported";
        } else {
            EXPECT_TRUE(f->Complete) << p.File->Name;
            EXPECT_EQ(f->Length, p.File->Bytes.size()) << p.File->Name;
        }
    }
}

TEST(CarvePass, StoppingKeepsWhatWasFoundAndProgressAddsUp) {
    const auto& media = Media();
    std::vector<Placed> placed;
    // Enough noise between the files that the pass reads many chunks.
    std::string image = Layout(media, 4096, placed);
    image += Noise(12u << 20, 77);
    image.resize((image.size() + 4095) / 4096 * 4096, '\0');
    image += media[0].Bytes;
    {
        const THandle device = MemoryDevice(image);
        Collect sink;
        std::atomic<bool> abort{false};
        const TCarveOutcome o = CarveRanges(*device, {{0, image.size()}}, sink, abort);
        ASSERT_FALSE(sink.Steps.empty());
        for (std::size_t i = 1; i < sink.Steps.size(); ++i) EXPECT_GE(sink.Steps[i].first, sink.Steps[i - 1].first);
        EXPECT_EQ(sink.Steps.back().first, image.size());
        EXPECT_EQ(sink.Steps.back().second, image.size());
        EXPECT_EQ(o.FoundCount, placed.size() + 1);
    }
    const THandle device = MemoryDevice(image);
    Collect sink;
    std::atomic<bool> abort{false};
    sink.StopAfterFirst = &abort;
    const TCarveOutcome o = CarveRanges(*device, {{0, image.size()}}, sink, abort);
    EXPECT_EQ(o.End, TCarveEnd::Aborted);
    EXPECT_FALSE(sink.Files.empty());
    EXPECT_EQ(o.FoundCount, sink.Files.size());
    EXPECT_LT(o.BytesDone, image.size());
}

// Stretches: only they are read, a file never reaches past the one it begins
// in, overlapping ones are merged.
TEST(CarvePass, OnlyTheStretchesAskedForAreRead) {
    const auto& media = Media();
    std::vector<Placed> placed;
    const std::string image = Layout(media, 4096, placed);
    const Placed& a = placed[3];
    const Placed& b = placed.back();
    const auto aEnd = static_cast<std::uint64_t>(a.File->Bytes.size());
    const THandle device = MemoryDevice(image);
    TCarveOutcome outcome;
    const auto files = Carve(*device, 4096,
                             {{b.Offset, b.File->Bytes.size()},
                              {a.Offset, aEnd / 2},
                              {a.Offset + static_cast<std::int64_t>(aEnd / 4), aEnd}},
                             &outcome);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].SourceOffset, a.Offset);
    EXPECT_EQ(files[0].Length, aEnd);
    EXPECT_EQ(files[1].SourceOffset, b.Offset);
    EXPECT_EQ(outcome.BytesTotal, aEnd / 4 + aEnd + b.File->Bytes.size());
    // Cut by the end of its stretch.
    const auto cut = Carve(*device, 4096, {{b.Offset, b.File->Bytes.size() - 1}});
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_FALSE(cut[0].Complete);
}

// Every sector the start of a real file that breaks off at the next one,
// after real data or after blanks: the pass reads each byte a bounded number
// of times (following a candidate never re-reads what the next one will), and
// the files it reports don't overlap.
TEST(CarvePass, SectorsFullOfBrokenStartsAreReadInLinearTime) {
    const auto& media = Media();
    for (const bool blanks : {false, true}) {
        std::string image;
        for (std::size_t k = 0; image.size() < (8u << 20); ++k) {
            const std::string& bytes = media[k % media.size()].Bytes;
            std::string sector = bytes.substr(0, blanks ? 64 : 512);
            sector.resize(512, blanks ? ' ' : '\0');
            image += sector;
        }
        AwkwardDevice device(image, -1, -1, SIZE_MAX);
        TCarveOutcome outcome;
        const auto files = Carve(device, 512, {}, &outcome);
        EXPECT_EQ(outcome.End, TCarveEnd::Completed);
        EXPECT_LT(device.bytesRead, 8 * image.size()) << (blanks ? "blanks" : "data");
        for (std::size_t i = 1; i < files.size(); ++i)
            EXPECT_GE(files[i].SourceOffset, files[i - 1].SourceOffset + static_cast<std::int64_t>(files[i - 1].Length));
    }
}

// ---- A real volume ---------------------------------------------------------------

// Every medium copied onto a fresh volume, deleted, and its record given to
// a new small file whose data stays in its record: the files' clusters are
// free and hold them, but no record describes them any more.
std::string VolumePlan(const fs::path& media) {
    std::ostringstream plan;
    plan << "format 24M cluster=4096\n";
    // The media's bytes as a comment: an image built from other media is
    // not taken for this one.
    std::size_t bytes = 0;
    for (const Original& o : Media()) bytes = bytes * 31 + std::hash<std::string>{}(o.Bytes);
    plan << "# media " << bytes << "\n";
    for (const Original& o : Media()) plan << "copy \"/media/" << o.Name << "\" \"" << (media / o.Name).string() << "\"\n";
    for (const Original& o : Media()) plan << "delete \"/media/" << o.Name << "\"\n";
    for (int i = 0; i < 100; ++i) plan << "text /later/note" << i << ".txt note " << i << "\n";
    return plan.str();
}

TEST(CarveVolume, DeletedFilesWithReusedRecordsComeBackByteForByte) {
    const fs::path mediaDir = fs::path(DERUZERA_IMAGE_DIR) / "carve-media";
    const auto& media = Media();
    const Image built = Build("carve", VolumePlan(mediaDir));
    for (const Original& o : media) {
        const Entry* e = Find(built.manifest, "/media/" + o.Name);
        ASSERT_NE(e, nullptr) << o.Name;
        EXPECT_EQ(e->State, "reused") << o.Name;
    }
    std::ifstream in(built.file, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::shared_ptr<TDevice> device(platform::OpenDeviceFile(built.file.string()));
    ASSERT_TRUE(device);
    TVolume volume;
    TOpenFailure failure;
    ASSERT_EQ(LoadVolume(*device, "C:", volume, nullptr, failure), TScanEnd::Completed);
    int error = -1;
    const std::vector<TByteRange> free = FreeClusterRanges(*device, volume, &error);
    EXPECT_EQ(error, 0);
    ASSERT_FALSE(free.empty());
    Collect sink;
    std::atomic<bool> abort{false};
    TCarveOptions options;
    options.Alignment = volume.BytesPerCluster;
    const TCarveOutcome outcome = CarveRanges(*device, free, sink, abort, options);
    EXPECT_EQ(outcome.End, TCarveEnd::Completed);
    const fs::path out = fs::path(DERUZERA_IMAGE_DIR) / "carve-out";
    fs::remove_all(out);
    fs::create_directories(out);
    std::size_t stored = 0, matched = 0;
    for (const Original& o : media) {
        // Where mkntfs' allocator put it, found by its bytes: at a cluster,
        // whole and contiguous.
        std::int64_t where = -1;
        for (std::size_t at = image.find(o.Bytes.substr(0, 64)); at != std::string::npos;
             at = image.find(o.Bytes.substr(0, 64), at + 1))
            if (at % volume.BytesPerCluster == 0 && image.compare(at, o.Bytes.size(), o.Bytes) == 0) {
                where = static_cast<std::int64_t>(at);
                break;
            }
        // Files of a few hundred bytes lived in their records, now reused,
        // and the new files' folder index took a cluster of one of them: the
        // others were written in one piece on this empty volume.
        if (where < 0) continue;
        ++stored;
        const TCarvedFile* f = At(sink.Files, where);
        ASSERT_NE(f, nullptr) << o.Name << " at " << where;
        EXPECT_TRUE(f->Complete) << o.Name;
        EXPECT_EQ(f->Extension, o.Extension) << o.Name;
        // Recovered through the writer every recovery uses.
        const fs::path target = out / CarvedName(*f);
        const TWriteOutcome written =
            WriteRecoveredFile(*device, CarvedContent(*f), platform::LocalFileSystem(), target.string());
        ASSERT_EQ(written.End, TWriteEnd::Written) << o.Name;
        const Entry* e = Find(built.manifest, "/media/" + o.Name);
        if (FileSha(target) == e->Sha256) ++matched;
        else ADD_FAILURE() << o.Name << " differs";
    }
    EXPECT_GE(stored, media.size() * 3 / 4);
    EXPECT_EQ(matched, stored);
    // Nothing else in the free clusters: no file twice, no file made of noise.
    EXPECT_EQ(sink.Files.size(), stored);
    std::printf("carving: %zu of %zu files found byte for byte in %zu carved files\n", matched, media.size(),
                sink.Files.size());

    // PhotoRec, on the same image, with the same formats, in its free space.
    if (Shell("command -v photorec").empty()) GTEST_SKIP() << "photorec (testdisk) is not installed";
    const fs::path photorec = fs::path(DERUZERA_IMAGE_DIR) / "carve-photorec";
    fs::remove_all(photorec);
    fs::create_directories(photorec);
    Shell("cd " + Quote(photorec.string()) + " && photorec /log /d " + Quote((photorec / "out").string()) + " /cmd " +
          Quote(built.file.string()) +
          " fileopt,everything,disable,jpg,enable,png,enable,gif,enable,bmp,enable,tif,enable,pdf,enable,zip,enable,"
          "mov,enable,riff,enable,mp3,enable,flac,enable,ogg,enable,mkv,enable,sqlite,enable,7z,enable,rar,enable,"
          "gz,enable,freespace,search >/dev/null 2>&1");
    std::set<std::string> theirs;
    std::size_t theirCount = 0;
    for (const auto& dir : fs::directory_iterator(photorec)) {
        if (!dir.is_directory()) continue;
        for (const auto& f : fs::directory_iterator(dir.path())) {
            if (f.path().extension() == ".xml") continue;
            ++theirCount;
            theirs.insert(FileSha(f.path()));
        }
    }
    std::size_t theirMatched = 0;
    std::vector<std::string> missedByThem;
    for (const Original& o : media) {
        const Entry* e = Find(built.manifest, "/media/" + o.Name);
        if (theirs.count(e->Sha256)) ++theirMatched;
        else missedByThem.push_back(o.Name);
    }
    std::string missed;
    for (const auto& n : missedByThem) missed += " " + n;
    std::printf("photorec: %zu of %zu files found byte for byte in %zu carved files; not byte for byte:%s\n",
                theirMatched, media.size(), theirCount, missed.c_str());
    EXPECT_GE(matched, theirMatched);
}

}  // namespace
