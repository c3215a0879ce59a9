#include <string>

#include <gtest/gtest.h>

#include "core/text.h"

namespace cartscope::core {
namespace {

TEST(Text, Utf8ToUtf16)
{
    EXPECT_EQ(utf8ToUtf16("abc"), u"abc");
    EXPECT_EQ(utf8ToUtf16("\xC3\xA9\xE3\x82\xAB\xF0\x9F\x98\x80"), u"\u00E9\u30AB\U0001F600");
    // Each byte outside a valid sequence becomes one U+FFFD.
    EXPECT_EQ(utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");
    EXPECT_EQ(utf8ToUtf16("\xC0\x80"), u"\uFFFD\uFFFD");                     // overlong NUL
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");           // encoded surrogate
    EXPECT_EQ(utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD"); // past U+10FFFF
    EXPECT_EQ(utf8ToUtf16("\xE3\x82"), u"\uFFFD\uFFFD");                     // cut short
    EXPECT_EQ(utf8ToUtf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Text, Utf16ToUtf8)
{
    EXPECT_EQ(utf16ToUtf8(u"\u00E9\u30AB\U0001F600"), "\xC3\xA9\xE3\x82\xAB\xF0\x9F\x98\x80");
    const std::u16string lone = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
    EXPECT_EQ(utf16ToUtf8(lone), "a\xEF\xBF\xBD"
                                 "b\xEF\xBF\xBD");
    const std::u16string reversed = {char16_t(0xDC00), char16_t(0xD800)};
    EXPECT_EQ(utf16ToUtf8(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Text, EscapeForTerminal)
{
    EXPECT_EQ(escapeForTerminal("plain \xE3\x82\xAB"), "plain \xE3\x82\xAB");
    EXPECT_EQ(escapeForTerminal("a\nb\tc\rd"), "a\\nb\\tc\\rd");
    EXPECT_EQ(escapeForTerminal("a\nb", true), "a\nb");
    EXPECT_EQ(escapeForTerminal("\x1B[31m\x7F"), "\\x1B[31m\\x7F");
    EXPECT_EQ(escapeForTerminal("\xC2\x9B"), "\\x9B"); // C1 control (CSI)
    EXPECT_EQ(escapeForTerminal("\x9B"), "\\x9B");     // a stray byte, shown not sent
    EXPECT_EQ(escapeForTerminal("a\\b"), "a\\\\b");
    EXPECT_EQ(escapeForTerminal(std::string("\0", 1)), "\\x00");
}

TEST(Text, JsonString)
{
    EXPECT_EQ(jsonString(""), "\"\"");
    EXPECT_EQ(jsonString("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
    EXPECT_EQ(jsonString("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
    EXPECT_EQ(jsonString(std::string("\0\x1F\x7F", 3)), "\"\\u0000\\u001f\\u007f\"");
    EXPECT_EQ(jsonString("\xC2\x85"), "\"\\u0085\"");
    EXPECT_EQ(jsonString("\xC3\xA9\xFF"), "\"\xC3\xA9\\ufffd\"");
}

} // namespace
} // namespace cartscope::core
