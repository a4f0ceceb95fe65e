// Case-insensitive substring and glob matching over UTF-8, as a set of
// pattern positions moved along the text together (a bit per position), so
// a text is read once whatever the pattern, and the state after a folder's
// path serves every file in it.
#include "Glob.h"

#include <algorithm>

namespace deruzera {
namespace {

struct TFoldRun {
    char32_t First;
    std::uint16_t Count;
    std::uint8_t Stride;
    std::int32_t Delta;
};

constexpr TFoldRun FoldRuns[] = {
#include "CaseFold.inc"
};

// ASCII folded: letters to lower case, "/" to "\".
constexpr std::array<char, 128> AsciiFold = [] {
    std::array<char, 128> fold{};
    for (int c = 0; c < 128; ++c) fold[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c == '/' ? '\\' : c);
    return fold;
}();

char32_t Fold(char32_t c) { return c < 128 ? static_cast<char32_t>(AsciiFold[c]) : FoldCase(c); }

struct TPair {
    char32_t First, Second;
};
constexpr TPair MarkBases[] = {
#define DERUZERA_MARK_BASES
#include "MarkFold.inc"
#undef DERUZERA_MARK_BASES
};
constexpr TPair MarkRuns[] = {
#include "MarkFold.inc"
};

}  // namespace

char32_t BaseLetter(char32_t c) {
    if (c < 128) return c;
    const auto* it = std::lower_bound(std::begin(MarkBases), std::end(MarkBases), c,
                                      [](const TPair& p, char32_t value) { return p.First < value; });
    return it != std::end(MarkBases) && it->First == c ? it->Second : c;
}

bool IsNonspacingMark(char32_t c) {
    if (c < 0x300) return false;
    const auto* run = std::upper_bound(std::begin(MarkRuns), std::end(MarkRuns), c,
                                       [](char32_t value, const TPair& r) { return value < r.First; });
    return run != std::begin(MarkRuns) && c <= (run - 1)->Second;
}

char32_t TGlob::Compared(char32_t c) const {
    if (c < 128) return static_cast<char32_t>(AsciiFold[c]);
    if (!ignoreMarks_) return FoldCase(c);
    if (IsNonspacingMark(c)) return Skipped;
    return Fold(FoldCase(BaseLetter(c)));
}

char32_t FoldCase(char32_t c) {
    if (c < 128) return c >= 'A' && c <= 'Z' ? c + 32 : c;
    // The last run that begins at or before c.
    const auto* run = std::upper_bound(std::begin(FoldRuns), std::end(FoldRuns), c,
                                       [](char32_t value, const TFoldRun& r) { return value < r.First; });
    if (run == std::begin(FoldRuns)) return c;
    --run;
    const char32_t offset = c - run->First;
    if (offset % run->Stride != 0 || offset / run->Stride >= run->Count) return c;
    return static_cast<char32_t>(static_cast<std::int64_t>(c) + run->Delta);
}

char32_t NextCharacter(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    char32_t c = lead & (length == 4 ? 0x07 : length == 3 ? 0x0F : 0x1F);
    bool valid = length != 0 && lead < 0xF5 && at + length <= text.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
        valid = (byte(at + i) & 0xC0) == 0x80;
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no characters.
    static constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!valid || c < Least[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        ++at;
        return 0xFFFD;
    }
    at += length;
    return c;
}

bool TGlob::HasWildcards(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

TGlob::TGlob(std::string_view pattern, TKind kind, bool ignoreMarks) : ignoreMarks_(ignoreMarks) {
    // The tokens: a folded character, "?" (-1) or "*" (-2).
    constexpr std::int64_t AnyOne = -1, AnyRun = -2;
    std::vector<std::int64_t> tokens;
    if (kind == Contains) tokens.push_back(AnyRun);
    std::size_t characters = 0;
    for (std::size_t at = 0; at < pattern.size() && characters < MaxCharacters; ++characters) {
        const char32_t c = NextCharacter(pattern, at);
        if (kind == Whole && c == '*') {
            if (tokens.empty() || tokens.back() != AnyRun) tokens.push_back(AnyRun);
        } else if (kind == Whole && c == '?') {
            tokens.push_back(AnyOne);
        } else if (const char32_t compared = Compared(c); compared != Skipped) {
            tokens.push_back(compared);
        }
    }
    if (kind == Contains && tokens.back() != AnyRun) tokens.push_back(AnyRun);

    tokens_ = tokens.size();
    words_ = tokens_ / 64 + 1;
    endsInStar_ = !tokens.empty() && tokens.back() == AnyRun;
    auto set = [](TMask& mask, std::size_t bit) { mask[bit / 64] |= std::uint64_t{1} << (bit % 64); };
    for (std::size_t j = 0; j < tokens_; ++j) {
        if (tokens[j] == AnyRun) {
            set(starAt_, j);
            set(stay_, j + 1);
        } else if (tokens[j] == AnyOne) {
            set(any_, j);
        }
    }
    ascii_.fill(any_);
    for (std::size_t j = 0; j < tokens_; ++j) {
        if (tokens[j] < 0) continue;
        const auto c = static_cast<char32_t>(tokens[j]);
        if (c < 128) {
            set(ascii_[c], j);
            continue;
        }
        auto it = std::lower_bound(other_.begin(), other_.end(), c,
                                   [](const auto& entry, char32_t value) { return entry.first < value; });
        if (it == other_.end() || it->first != c) it = other_.insert(it, {c, any_});
        set(it->second, j);
    }
    start_.Bits[0] = 1;
    Close(start_);
}

const TGlob::TMask& TGlob::AdvanceOn(char32_t folded) const {
    if (folded < 128) return ascii_[folded];
    const auto it = std::lower_bound(other_.begin(), other_.end(), folded,
                                     [](const auto& entry, char32_t value) { return entry.first < value; });
    return it != other_.end() && it->first == folded ? it->second : any_;
}

void TGlob::Close(TState& state) const {
    // Runs of "*" are one token, so one step past each suffices.
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < words_; ++w) {
        const std::uint64_t at = state.Bits[w] & starAt_[w];
        state.Bits[w] |= (at << 1) | carry;
        carry = at >> 63;
    }
}

void TGlob::Step(TState& state, const TMask& advance) const {
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < words_; ++w) {
        const std::uint64_t moved = state.Bits[w] & advance[w];
        state.Bits[w] = (moved << 1) | carry | (state.Bits[w] & stay_[w]);
        carry = moved >> 63;
    }
    Close(state);
}

TGlob::TState TGlob::Feed(TState state, std::string_view text) const {
    if (words_ == 1) {
        // One word holds every pattern of up to 63 characters: the loop of
        // nearly every search.
        std::uint64_t bits = state.Bits[0];
        const std::uint64_t stay = stay_[0], starAt = starAt_[0];
        const std::uint64_t settled = endsInStar_ ? std::uint64_t{1} << tokens_ : 0;
        for (std::size_t at = 0; at < text.size() && bits != 0 && (bits & settled) == 0;) {
            const auto byte = static_cast<unsigned char>(text[at]);
            char32_t compared = 0;
            if (byte >= 0x80 && (compared = Compared(NextCharacter(text, at))) == Skipped) continue;
            const TMask& advance = byte < 0x80 ? ascii_[static_cast<unsigned char>(AsciiFold[byte])] : AdvanceOn(compared);
            if (byte < 0x80) ++at;
            bits = ((bits & advance[0]) << 1) | (bits & stay);
            bits |= (bits & starAt) << 1;
        }
        state.Bits[0] = bits;
        return state;
    }
    for (std::size_t at = 0; at < text.size() && !Dead(state) && !Settled(state);)
        if (const char32_t compared = Compared(NextCharacter(text, at)); compared != Skipped)
            Step(state, AdvanceOn(compared));
    return state;
}

bool TGlob::Accepts(const TState& state) const { return (state.Bits[tokens_ / 64] >> (tokens_ % 64)) & 1; }

bool TGlob::Dead(const TState& state) const {
    return std::all_of(state.Bits.begin(), state.Bits.begin() + static_cast<std::ptrdiff_t>(words_),
                       [](std::uint64_t w) { return w == 0; });
}

}  // namespace deruzera
