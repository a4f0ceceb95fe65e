// The locale's collation of names and paths, through ICU (as Qt's own
// QCollator uses it), made for sorting a million names: each text's sort key
// is made once, and the texts are ranked by their keys.
#pragma once

#include <QLocale>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct UCollator;

class TCollation {
public:
    // The collation of `locale` (QLocale::collation() of the system by
    // default), its digits compared as numbers ("f17" before "f169"); the C
    // and POSIX locales order by code point.
    explicit TCollation(const QLocale& locale = QLocale::system().collation());
    ~TCollation();
    TCollation(const TCollation&) = delete;
    TCollation& operator=(const TCollation&) = delete;

    // Appends the sort key of UTF-8 text: keys compare bytewise as the
    // texts collate.
    void AppendKey(std::string_view text, std::string& keys) const;
    const QLocale& Locale() const { return locale_; }
    // True where the keys are the texts themselves (C and POSIX).
    bool CodePointOrder() const { return collator_ == nullptr; }

private:
    QLocale locale_;
    UCollator* collator_ = nullptr;  // null: code point order
};

// The rank of each of `count` texts in the collation's order; equal texts
// share a rank. Empty when `stop` is set before it is done (or the keys of a
// hundred million texts pass 4 GiB).
std::vector<std::uint32_t> CollationRanks(const TCollation& collation, std::size_t count,
                                          const std::function<std::string_view(std::size_t)>& text,
                                          const std::atomic<bool>* stop = nullptr);
