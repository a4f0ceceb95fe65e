#include "Collation.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstring>

TCollation::TCollation(const QLocale& locale) : locale_(locale) {
    if (locale.language() == QLocale::C) return;
    char id[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode error = U_ZERO_ERROR;
    uloc_forLanguageTag(locale.bcp47Name().toLatin1().constData(), id, sizeof id, nullptr, &error);
    if (U_FAILURE(error)) return;
    collator_ = ucol_open(id, &error);
    if (U_FAILURE(error)) collator_ = nullptr;
}

TCollation::~TCollation() {
    if (collator_) ucol_close(collator_);
}

void TCollation::AppendKey(std::string_view text, std::string& keys) const {
    if (!collator_) {
        // UTF-8 compares bytewise in code point order.
        keys.append(text);
        return;
    }
    UChar utf16[512];
    std::vector<UChar> longer;
    UChar* source = utf16;
    int32_t length = 0;
    UErrorCode error = U_ZERO_ERROR;
    u_strFromUTF8WithSub(utf16, 512, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &error);
    if (error == U_BUFFER_OVERFLOW_ERROR) {
        longer.resize(static_cast<std::size_t>(length));
        error = U_ZERO_ERROR;
        u_strFromUTF8WithSub(longer.data(), length, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD,
                             nullptr, &error);
        source = longer.data();
    }
    if (U_FAILURE(error)) {
        keys.append(text);
        return;
    }
    const std::size_t at = keys.size();
    keys.resize(at + 256);
    int32_t needed = ucol_getSortKey(collator_, source, length, reinterpret_cast<std::uint8_t*>(keys.data() + at), 256);
    if (needed > 256) {
        keys.resize(at + static_cast<std::size_t>(needed));
        needed = ucol_getSortKey(collator_, source, length, reinterpret_cast<std::uint8_t*>(keys.data() + at), needed);
    }
    keys.resize(at + static_cast<std::size_t>(std::max(needed, 0)));
}

std::vector<std::uint32_t> CollationRanks(const TCollation& collation, std::size_t count,
                                          const std::function<std::string_view(std::size_t)>& text,
                                          const std::atomic<bool>* stop) {
    // Every key in one pool, each ending in a 0 byte (ICU's keys hold no
    // other; names hold none).
    std::string keys;
    std::vector<std::uint64_t> at(count + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
        if (stop && (i & 4095) == 0 && *stop) return {};
        collation.AppendKey(text(i), keys);
        if (keys.empty() || keys.back() != '\0') keys += '\0';
        at[i + 1] = keys.size();
    }

    // Sorted eight key bytes at a time: by the bytes at `depth` held beside
    // the index, then each run that agrees on them by the next eight. A run
    // whose bytes hold the 0 that ends a key is a run of equal keys.
    struct TEntry {
        std::uint64_t Head;
        std::uint32_t Index;
    };
    std::vector<TEntry> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i].Index = static_cast<std::uint32_t>(i);
    auto load = [&](TEntry& e, std::size_t depth) {
        const std::uint64_t begin = at[e.Index] + depth, end = at[e.Index + 1];
        std::uint64_t head = 0;
        for (std::uint64_t b = begin; b < begin + 8; ++b) head = (head << 8) | (b < end ? static_cast<unsigned char>(keys[b]) : 0u);
        e.Head = head;
    };
    auto ended = [](std::uint64_t head) {
        for (int b = 0; b < 8; ++b)
            if (((head >> (8 * b)) & 0xFF) == 0) return true;
        return false;
    };
    struct TRun {
        std::size_t Begin, End, Depth;
    };
    std::vector<TRun> runs = {{0, count, 0}};
    while (!runs.empty()) {
        if (stop && *stop) return {};
        const TRun run = runs.back();
        runs.pop_back();
        for (std::size_t i = run.Begin; i < run.End; ++i) load(order[i], run.Depth);
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(run.Begin), order.begin() + static_cast<std::ptrdiff_t>(run.End),
                  [](const TEntry& a, const TEntry& b) { return a.Head < b.Head; });
        for (std::size_t i = run.Begin; i < run.End;) {
            std::size_t j = i + 1;
            while (j < run.End && order[j].Head == order[i].Head) ++j;
            if (j - i > 1 && !ended(order[i].Head)) runs.push_back({i, j, run.Depth + 8});
            i = j;
        }
    }
    // Equal keys share a rank: neighbours with equal keys.
    std::vector<std::uint32_t> ranks(count);
    std::uint32_t rank = 0;
    auto key = [&](std::uint32_t i) { return std::string_view(keys).substr(at[i], at[i + 1] - at[i]); };
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && key(order[i].Index) != key(order[i - 1].Index)) ++rank;
        ranks[order[i].Index] = rank;
    }
    return ranks;
}
