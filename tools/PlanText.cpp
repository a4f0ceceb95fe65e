#include "tools/PlanText.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace deruzera::mkimage {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::uint64_t Mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Reads one word at `pos` (which is not blank). Returns false at a comment.
bool ReadWord(std::string_view line, std::size_t& pos, std::string& word, int number) {
    word.clear();
    if (line[pos] == '#') {
        return false;
    }
    while (pos < line.size() && !IsBlank(line[pos])) {
        if (line[pos] != '"') {
            word.push_back(line[pos++]);
            continue;
        }
        ++pos;
        for (;;) {
            if (pos >= line.size()) {
                throw TPlanError("line " + std::to_string(number) + ": unterminated quote");
            }
            const char c = line[pos++];
            if (c == '"') {
                break;
            }
            if (c == '\\' && pos < line.size() && (line[pos] == '"' || line[pos] == '\\')) {
                word.push_back(line[pos++]);
            } else {
                word.push_back(c);
            }
        }
    }
    return true;
}

void SkipBlanks(std::string_view line, std::size_t& pos) {
    while (pos < line.size() && IsBlank(line[pos])) {
        ++pos;
    }
}

}  // namespace

std::vector<TPlanLine> ParsePlan(std::string_view plan) {
    std::vector<TPlanLine> lines;
    int number = 0;
    std::size_t start = 0;
    while (start <= plan.size()) {
        std::size_t end = plan.find('\n', start);
        if (end == std::string_view::npos) {
            end = plan.size();
        }
        std::string_view line = plan.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::size_t pos = 0;
        SkipBlanks(line, pos);
        TPlanLine parsed;
        parsed.Number = number;
        if (pos >= line.size() || !ReadWord(line, pos, parsed.Command, number)) {
            if (end == plan.size()) {
                break;
            }
            continue;
        }
        std::string word;
        for (;;) {
            SkipBlanks(line, pos);
            if (pos >= line.size()) {
                break;
            }
            if ((parsed.Command == "text" && parsed.Args.size() == 1) ||
                (parsed.Command == "stream" && parsed.Args.size() == 2)) {
                parsed.Text = DecodeEscapes(line.substr(pos));
                break;
            }
            if (!ReadWord(line, pos, word, number)) {
                break;
            }
            parsed.Args.push_back(word);
        }
        lines.push_back(std::move(parsed));
        if (end == plan.size()) {
            break;
        }
    }
    return lines;
}

std::uint64_t ParseSize(std::string_view text) {
    std::size_t i = 0;
    std::uint64_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            throw TPlanError("size too large: " + std::string(text));
        }
        value = value * 10 + digit;
        ++i;
    }
    if (i == 0) {
        throw TPlanError("not a size: '" + std::string(text) + "'");
    }
    std::string suffix;
    for (; i < text.size(); ++i) {
        suffix.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
    }
    if (suffix.size() > 1 && (suffix.ends_with("IB") || suffix.ends_with("B"))) {
        suffix.erase(suffix.size() - (suffix.ends_with("IB") ? 2 : 1));
    }
    int shift = 0;
    if (suffix.empty() || suffix == "B") {
        shift = 0;
    } else if (suffix == "K") {
        shift = 10;
    } else if (suffix == "M") {
        shift = 20;
    } else if (suffix == "G") {
        shift = 30;
    } else if (suffix == "T") {
        shift = 40;
    } else {
        throw TPlanError("unknown size suffix in '" + std::string(text) + "'");
    }
    if (shift > 0 && value > (UINT64_MAX >> shift)) {
        throw TPlanError("size too large: " + std::string(text));
    }
    return value << shift;
}

std::string DecodeEscapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        switch (text[i + 1]) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case '0': out.push_back('\0'); break;
        case '\\': out.push_back('\\'); break;
        default: out.push_back('\\'); continue;
        }
        ++i;
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    const auto bad = [&]() {
        return TPlanError("invalid UTF-8 at byte " + std::to_string(i) + " of '" + std::string(text) + "'");
    };
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t cp = 0;
        int more = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            cp = lead & 0x1Fu;
            more = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            cp = lead & 0x0Fu;
            more = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            cp = lead & 0x07u;
            more = 3;
        } else {
            throw bad();
        }
        if (i + static_cast<std::size_t>(more) >= text.size() && more > 0) {
            throw bad();
        }
        for (int k = 1; k <= more; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0u) != 0x80u) {
                throw bad();
            }
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if ((more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            throw bad();
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += 1 + static_cast<std::size_t>(more);
    }
    return out;
}

std::vector<std::string> SplitPath(std::string_view path) {
    if (path.empty() || path.front() != '/') {
        throw TPlanError("path must be absolute: '" + std::string(path) + "'");
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            throw TPlanError("path contains a control character: '" + std::string(path) + "'");
        }
    }
    std::vector<std::string> parts;
    if (path == "/") {
        return parts;
    }
    std::size_t start = 1;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view name =
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (name.empty() || name == "." || name == "..") {
            throw TPlanError("bad path component in '" + std::string(path) + "'");
        }
        if (Utf8ToUtf16(name).size() > 255) {
            throw TPlanError("name longer than 255 UTF-16 units in '" + std::string(path) + "'");
        }
        parts.emplace_back(name);
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    return parts;
}

std::string JoinPath(std::string_view parent, std::string_view name) {
    std::string path(parent);
    if (path.empty() || path.back() != '/') {
        path.push_back('/');
    }
    path.append(name);
    return path;
}

bool TakeOption(std::string_view word, std::string_view key, std::string& value) {
    if (word.size() <= key.size() + 1 || !word.starts_with(key) || word[key.size()] != '=') {
        return false;
    }
    value = std::string(word.substr(key.size() + 1));
    return true;
}

TContent::TContent(std::uint64_t seed, std::string_view path, bool words) : Words(words) {
    // FNV-1a over the path, then mixed with the seed.
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (char c : path) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ULL;
    }
    Key = Mix(h ^ Mix(seed + 0x9e3779b97f4a7c15ULL));
}

void TContent::Fill(std::uint64_t offset, void* out, std::size_t size) const {
    auto* p = static_cast<std::uint8_t*>(out);
    std::uint64_t word = offset / 8;
    std::size_t skip = static_cast<std::size_t>(offset % 8);
    while (size > 0) {
        const std::uint64_t bits = Mix(Key + word * 0x9e3779b97f4a7c15ULL);
        std::uint8_t bytes[8];
        if (Words) {
            static const char* const Vocabulary[16] = {"lorem   ", "ipsum   ", "dolor   ", "sit amet", "consect ",
                                                       "adipisc ", "elit sed", "do eius ", "tempor  ", "incidid ",
                                                       "ut labor", "et dolo ", "magna   ", "aliqua. ", "Ut enim ",
                                                       "ad min\n"};
            std::memcpy(bytes, Vocabulary[bits & 15], 8);
        } else {
            for (int k = 0; k < 8; ++k) {
                bytes[k] = static_cast<std::uint8_t>(bits >> (8 * k));
            }
        }
        const std::size_t take = std::min<std::size_t>(8 - skip, size);
        std::memcpy(p, bytes + skip, take);
        p += take;
        size -= take;
        skip = 0;
        ++word;
    }
}

std::uint64_t TRandom::Next() {
    State += 0x9e3779b97f4a7c15ULL;
    return Mix(State);
}

std::uint64_t TRandom::Below(std::uint64_t bound) {
    return Next() % bound;
}

double TRandom::Unit() {
    return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace deruzera::mkimage
