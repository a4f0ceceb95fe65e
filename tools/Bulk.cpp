#include "tools/Bulk.h"

#include "tools/NtfsImage.h"
#include "tools/PlanText.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace deruzera::mkimage {
namespace {

// Some names outside ASCII, so a bulk tree also exercises UTF-16 names,
// surrogate pairs included.
constexpr const char* Foreign[] = {"Документы", "写真", "Ümläut", "😀emoji", "ファイル", "Ελληνικά", "𝄞clef"};
constexpr const char* Extensions[] = {".txt", ".bin", ".dat", ".log", ".jpg", ".doc", ""};

// Words a user's names are made of, by script.
constexpr const char* Words[] = {
    "report", "draft", "final", "invoice", "photo", "holiday", "budget", "notes", "scan", "letter", "backup", "copy",
    "résumé", "café", "naïve", "Übersicht", "año", "façade", "Straße", "crème",
    "έκθεση", "φωτογραφία", "σημειώσεις", "λογαριασμός",
    "отчёт", "документ", "фото", "письмо", "бюджет", "черновик",
    "报告", "照片", "会议记录", "预算", "資料", "写真", "議事録", "見積書",
};

// A name of one to four words and a number or a year now and then.
std::string MixedName(TRandom& random) {
    std::string name;
    const std::uint64_t words = 1 + random.Below(4);
    for (std::uint64_t w = 0; w < words; ++w) {
        if (w) name += random.Below(3) == 0 ? "_" : " ";
        name += Words[random.Below(std::size(Words))];
    }
    if (random.Below(3) == 0) name += " " + std::to_string(1990 + random.Below(36));
    if (random.Below(8) == 0) name += " (" + std::to_string(1 + random.Below(9)) + ")";
    return name;
}

std::uint64_t FileSize(TRandom& random) {
    const double pick = random.Unit();
    if (pick < 0.08) {
        return 0;
    }
    if (pick < 0.80) {
        return 1 + random.Below(700);
    }
    if (pick < 0.97) {
        return 700 + random.Below(5300);
    }
    return 6000 + random.Below(34000);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

void RunBulk(TNtfsImage& image, const TBulkParams& params) {
    if (params.DeleteFraction < 0 || params.DeleteFraction > 1) {
        throw TPlanError("bulk: the deleted fraction must be within 0..1");
    }
    if (params.Dirs > 0 && params.MaxDepth == 0) {
        throw TPlanError("bulk: directories need a maximum depth of at least 1");
    }
    const auto start = std::chrono::steady_clock::now();
    TRandom random(params.Seed);
    const std::string root = "/bulk-" + std::to_string(params.Seed);
    image.Mkdir(root);

    struct TDir {
        std::string Path;
        unsigned Depth = 0;
    };
    std::vector<TDir> dirs{{root, 0}};
    dirs.reserve(params.Dirs + 1);
    char name[256];
    for (std::uint64_t i = 0; i < params.Dirs; ++i) {
        std::size_t parent = 0;
        do {
            parent = static_cast<std::size_t>(random.Below(dirs.size()));
        } while (dirs[parent].Depth >= params.MaxDepth);
        if (params.MixedNames) {
            // The number keeps names of one folder apart.
            std::snprintf(name, sizeof name, "%s %llu", MixedName(random).c_str(), static_cast<unsigned long long>(i));
        } else if (i % 25 == 7) {
            std::snprintf(name, sizeof name, "%s-%llu", Foreign[i % std::size(Foreign)],
                          static_cast<unsigned long long>(i));
        } else {
            std::snprintf(name, sizeof name, "dir-%04llu", static_cast<unsigned long long>(i));
        }
        TDir dir{JoinPath(dirs[parent].Path, name), dirs[parent].Depth + 1};
        image.Mkdir(dir.Path);
        dirs.push_back(std::move(dir));
    }

    std::vector<std::string> files;
    files.reserve(params.Files);
    for (std::uint64_t i = 0; i < params.Files; ++i) {
        const std::string& dir = dirs[static_cast<std::size_t>(random.Below(dirs.size()))].Path;
        const char* ext = Extensions[random.Below(std::size(Extensions))];
        if (params.MixedNames) {
            std::snprintf(name, sizeof name, "%s %llu%s", MixedName(random).c_str(), static_cast<unsigned long long>(i), ext);
        } else if (i % 40 == 13) {
            std::snprintf(name, sizeof name, "%s-%06llu%s", Foreign[i % std::size(Foreign)],
                          static_cast<unsigned long long>(i), ext);
        } else {
            std::snprintf(name, sizeof name, "file-%06llu%s", static_cast<unsigned long long>(i), ext);
        }
        std::string path = JoinPath(dir, name);
        const TContent content(params.Seed, path);
        image.CreateFile(path, FileSize(random), [&content](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
            content.Fill(offset, out, n);
        });
        files.push_back(std::move(path));
    }
    const double created = Seconds(start);

    // A partial shuffle picks the files to delete, in the order they go.
    const auto deleteCount = static_cast<std::size_t>(std::llround(params.DeleteFraction * static_cast<double>(files.size())));
    for (std::size_t i = 0; i < deleteCount; ++i) {
        const std::size_t j = i + static_cast<std::size_t>(random.Below(files.size() - i));
        std::swap(files[i], files[j]);
        image.Delete(files[i]);
    }
    std::uint64_t removedTrees = 0;
    for (std::uint64_t attempt = 0; removedTrees < params.DeleteDirs && dirs.size() > 1 &&
                                    attempt < 50 * params.DeleteDirs;
         ++attempt) {
        const TDir& dir = dirs[1 + static_cast<std::size_t>(random.Below(dirs.size() - 1))];
        if (image.Exists(dir.Path)) {
            image.Rmtree(dir.Path);
            ++removedTrees;
        }
    }
    std::fprintf(stderr,
                 "deruzera-mkimage: bulk %llu: %llu dirs and %llu files created in %.1f s; %zu files and %llu "
                 "subtrees deleted; %.1f s in all\n",
                 static_cast<unsigned long long>(params.Seed), static_cast<unsigned long long>(params.Dirs),
                 static_cast<unsigned long long>(params.Files), created, deleteCount,
                 static_cast<unsigned long long>(removedTrees), Seconds(start));
}

}  // namespace deruzera::mkimage
