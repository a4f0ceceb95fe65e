// Finding files by name and path: a case-insensitive substring or glob, the
// way Windows compares names (without regard to case, in any script). One
// matcher serves the window's search and the companion's --match.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace deruzera {

// The simple case folding of Unicode (one character to one character):
// "A" and "a", "Ä" and "ä", "Σ", "σ" and "ς", "Ж" and "ж" fold alike.
// Characters without a folding are their own.
char32_t FoldCase(char32_t c);

// The letter a character is with its marks taken off ("ï" is "i", "Ǻ" is
// "A"): its canonical decomposition's first character, where the rest are
// marks. Other characters are their own.
char32_t BaseLetter(char32_t c);
// Whether `c` is a nonspacing mark (general category Mn), such as the
// combining diaeresis U+0308.
bool IsNonspacingMark(char32_t c);

// The next character of UTF-8 text at `at`, which moves past it. A byte
// that begins no valid character stands for U+FFFD on its own.
char32_t NextCharacter(std::string_view text, std::size_t& at);

// A pattern over names and paths. In a glob, "*" stands for any run of
// characters ("\" included) and "?" for any one character; every other
// character stands for itself without regard to case, and "/" and "\" are
// the same character. A pattern without "*" or "?" may instead be looked
// for anywhere in the text (Contains).
//
// The text may be fed in parts: the state after a folder's path is worked
// out once and carried on into the name of each file in it.
class TGlob {
public:
    enum TKind { Whole, Contains };
    // Patterns longer than this many characters are cut here: no name or
    // search needs more, and the states stay a fixed size.
    static constexpr std::size_t MaxCharacters = 250;

    TGlob() : TGlob(std::string_view(), Whole) {}
    // Whole: the pattern must match the whole text. Contains: the text
    // must hold the pattern's characters (wildcards taken literally).
    // `ignoreMarks` leaves accents aside: a letter with marks on it
    // matches the letter ("nai" finds "naïve", "resume" "Résumé"), and
    // nonspacing marks on their own are passed over, in pattern and text.
    explicit TGlob(std::string_view pattern, TKind kind = Whole, bool ignoreMarks = false);

    // True when `text` holds "*" or "?".
    static bool HasWildcards(std::string_view text);

    bool Matches(std::string_view text) const { return Accepts(Feed(Start(), text)); }

    // Which parts of the pattern the text so far can have matched.
    struct TState {
        std::array<std::uint64_t, 4> Bits{};
        bool operator==(const TState&) const = default;
    };
    TState Start() const { return start_; }
    TState Feed(TState state, std::string_view text) const;
    bool Accepts(const TState& state) const;
    // No continuation of the text can match any more.
    bool Dead(const TState& state) const;
    // Every continuation of the text matches (the pattern ends in "*").
    bool Settled(const TState& state) const { return endsInStar_ && Accepts(state); }

private:
    using TMask = std::array<std::uint64_t, 4>;
    void Step(TState& state, const TMask& advance) const;
    void Close(TState& state) const;
    const TMask& AdvanceOn(char32_t folded) const;

    // The character as this glob compares it; a mark that is passed over
    // gives Skipped.
    static constexpr char32_t Skipped = 0xFFFFFFFF;
    char32_t Compared(char32_t c) const;

    bool ignoreMarks_ = false;
    std::size_t tokens_ = 0;  // positions 0 .. tokens_ in the state
    std::size_t words_ = 1;
    bool endsInStar_ = false;
    TMask stay_{};    // positions right after a "*": any character keeps them
    TMask starAt_{};  // positions of a "*": matching nothing moves past it
    TMask any_{};     // positions of a "?"
    std::array<TMask, 128> ascii_{};
    std::vector<std::pair<char32_t, TMask>> other_;  // sorted by character
    TState start_{};
};

}  // namespace deruzera
