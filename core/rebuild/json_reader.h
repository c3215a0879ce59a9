#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A strict pull reader for the JSON the layout is written in: objects, arrays, strings and
// integers (no fractions, exponents, true, false or null: the layout has none). The caller walks
// the shape it expects, so nothing is held but the values it keeps; nesting is the caller's and
// so bounded by it. Every fault throws "The layout "<where>" is not valid JSON at byte N".
namespace cartscope::core::rebuild {

class JsonReader {
public:
    JsonReader(std::string_view text, std::string where) : m_text(text), m_where(std::move(where))
    {}

    // Calls `member` with each key; it must read the value.
    void object(const std::function<void(std::string_view key)>& member);
    // Calls `element` for each element, at most `maxElements` times.
    void array(const std::function<void()>& element, std::size_t maxElements);
    // A string, its escapes decoded (\uXXXX as UTF-8, surrogate pairs joined); at most 8 KiB.
    std::string string();
    // A non-negative integer below 2^64.
    std::uint64_t number();
    // An integer in the signed 64-bit range.
    std::int64_t signedNumber();
    // Only white space may follow.
    void end();

private:
    // A string's text: a view into the JSON where it holds no escape, else decoded into
    // `decoded` (and a view of that).
    std::string_view text(std::string& decoded);
    void skipSpace();
    bool take(char c);
    void expect(char c);
    std::uint32_t hex4();
    // After a backslash: the escape's character appended to `out`.
    void escape(std::string& out);
    // After "\u": the code point of one escape, or of a surrogate pair's two.
    std::uint32_t codePoint();
    [[noreturn]] void fail() const;

    std::string_view m_text;
    std::size_t m_at = 0;
    std::string m_where;
};

} // namespace cartscope::core::rebuild
