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
    if (U_FAILURE(error)) {
        collator_ = nullptr;
        return;
    }
    // Digits compare as numbers: "f17" before "f169", as a file manager lists them.
    ucol_setAttribute(collator_, UCOL_NUMERIC_COLLATION, UCOL_ON, &error);
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
    // The key of each text: in code point order the text itself, read where
    // it lies; otherwise its sort key, all of them in one pool. Either ends
    // at its first 0 byte (ICU's keys hold no other; names hold none).
    std::string keys;
    std::vector<std::uint32_t> at;
    if (!collation.CodePointOrder()) {
        at.assign(count + 1, 0);
        for (std::size_t i = 0; i < count; ++i) {
            if (stop && (i & 4095) == 0 && *stop) return {};
            collation.AppendKey(text(i), keys);
            if (keys.empty() || keys.back() != '\0') keys += '\0';
            if (keys.size() > UINT32_MAX) return {};
            at[i + 1] = static_cast<std::uint32_t>(keys.size());
        }
    }
    auto key = [&](std::uint32_t i) {
        return at.empty() ? text(i) : std::string_view(keys).substr(at[i], at[i + 1] - at[i]);
    };

    // Sorted four key bytes at a time: by the bytes at `depth` held beside
    // the index, then each run that agrees on them by the next four. A run
    // whose bytes hold the 0 that ends a key is a run of equal keys: each
    // of them but the first is marked as equal to the one before it.
    struct TEntry {
        std::uint32_t Index;  // the top bit: equal to the entry before
        std::uint32_t Head;
    };
    constexpr std::uint32_t SameAsBefore = 0x80000000u;  // count stays below 2^31
    std::vector<TEntry> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i].Index = static_cast<std::uint32_t>(i);
    auto load = [&](TEntry& e, std::size_t depth) {
        const std::string_view k = key(e.Index & ~SameAsBefore);
        std::uint32_t head = 0;
        for (std::size_t b = depth; b < depth + 4; ++b) head = (head << 8) | (b < k.size() ? static_cast<unsigned char>(k[b]) : 0u);
        e.Head = head;
    };
    auto ended = [](std::uint32_t head) {
        return (head & 0xFF000000u) == 0 || (head & 0xFF0000u) == 0 || (head & 0xFF00u) == 0 || (head & 0xFFu) == 0;
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
            if (j - i > 1 && !ended(order[i].Head)) runs.push_back({i, j, run.Depth + 4});
            else if (j - i > 1)
                for (std::size_t k = i + 1; k < j; ++k) order[k].Index |= SameAsBefore;
            i = j;
        }
    }
    // The keys go before the ranks come.
    std::string().swap(keys);
    std::vector<std::uint32_t>().swap(at);
    std::vector<std::uint32_t> ranks(count);
    std::uint32_t rank = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && !(order[i].Index & SameAsBefore)) ++rank;
        ranks[order[i].Index & ~SameAsBefore] = rank;
    }
    return ranks;
}
