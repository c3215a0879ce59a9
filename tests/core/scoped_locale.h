#pragma once

#include <locale.h>
#include <string>

namespace cartscope::testlocale {

// Switches this thread to a named locale (all categories) for the life of the object, as a
// program that calls setlocale(LC_ALL, "") would run for a user of that locale. ok() is false
// when the system has no such locale; the test then skips.
class ScopedLocale {
public:
    explicit ScopedLocale(const std::string& name)
        : m_locale(newlocale(LC_ALL_MASK, name.c_str(), static_cast<locale_t>(nullptr)))
    {
        if (m_locale)
            m_previous = uselocale(m_locale);
    }
    ~ScopedLocale()
    {
        if (m_locale) {
            uselocale(m_previous);
            freelocale(m_locale);
        }
    }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool ok() const { return m_locale != nullptr; }

private:
    locale_t m_locale;
    locale_t m_previous = nullptr;
};

} // namespace cartscope::testlocale
