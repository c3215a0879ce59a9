#pragma once

#include <clocale>
#include <cstdint>
#include <locale.h>
#include <memory>
#include <string>

#include "archive/libarchive_api.h"

// What the archive reader and the member streamer share about driving libarchive.
namespace cartscope::archive::detail {

inline constexpr std::uint64_t kCentralRecordSize = 46; // smallest central directory record

// libarchive's last error text without the line break several of its messages end in, or
// `fallback` when it has none.
inline std::string errorText(struct archive* a, const char* fallback)
{
    const char* text = la().archive_error_string(a);
    std::string s = text ? text : fallback;
    // Bounded by the text's length.
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s.empty() ? fallback : s;
}

using ArchivePtr = std::unique_ptr<struct archive, decltype(&::archive_read_free)>;

// libarchive converts member names to the thread's locale, and under the "C" locale (a program
// that never called setlocale, such as a command-line tool) every name flagged UTF-8 with a
// non-ASCII character fails to convert and comes back NULL. Reading headers under a UTF-8
// character type makes names arrive as UTF-8 whatever the process locale is. Only the thread's
// locale changes, and only while headers are read (no callback runs meanwhile).
class Utf8Names {
public:
    Utf8Names() : m_locale(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr)))
    {
        if (m_locale)
            m_previous = uselocale(m_locale);
    }
    ~Utf8Names()
    {
        if (m_locale) {
            uselocale(m_previous);
            freelocale(m_locale);
        }
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

private:
    locale_t m_locale;
    locale_t m_previous = nullptr;
};

} // namespace cartscope::archive::detail
