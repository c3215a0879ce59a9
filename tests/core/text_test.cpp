#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "core/base/text.h"

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
    // A C1 control (CSI) is a code point written in two bytes; a stray byte is one byte: the two
    // escapes differ, so each can be given back exactly.
    EXPECT_EQ(escapeForTerminal("\xC2\x9B"), "\\u{009B}");
    EXPECT_EQ(escapeForTerminal("\x9B"), "\\x9B");
    EXPECT_EQ(escapeForTerminal("caf\xE9_latin1.txt"), "caf\\xE9_latin1.txt");
    // Bidirectional and invisible format characters, at each end of every range.
    EXPECT_EQ(escapeForTerminal("invoice\xE2\x80\xAE"
                                "fdp.exe"),
              "invoice\\u{202E}fdp.exe");
    for (const char32_t cp : {0x061Cu, 0x180Eu, 0x200Bu, 0x200Fu, 0x2028u, 0x202Eu, 0x2060u,
                              0x2064u, 0x2066u, 0x2069u, 0xFEFFu}) {
        EXPECT_TRUE(isFormatCharacter(cp)) << std::hex << static_cast<unsigned>(cp);
        EXPECT_FALSE(isFormatCharacter(cp == 0xFEFF ? 0xFEFE : cp + 0x10))
            << std::hex << static_cast<unsigned>(cp);
    }
    EXPECT_FALSE(isFormatCharacter(0x2065));
    EXPECT_FALSE(isFormatCharacter(0x202F));
    EXPECT_FALSE(isFormatCharacter(0x200A));
    EXPECT_EQ(escapeForTerminal("\xEF\xBB\xBFx\xE2\x81\xA6"), "\\u{FEFF}x\\u{2066}");
    EXPECT_EQ(escapeForTerminal("a\\b"), "a\\\\b");
    EXPECT_EQ(escapeForTerminal(std::string("\0", 1)), "\\x00");
}

TEST(Text, InvisibleCharactersAreMarkedForTheWindowOnly)
{
    // The mark is "\u27E8U+XXXX\u27E9"; everything else, invalid bytes included, is kept as it is.
    EXPECT_EQ(markInvisible("invoice\xE2\x80\xAE"
                            "fdp.exe\xE9"),
              "invoice\xE2\x9F\xA8U+202E\xE2\x9F\xA9"
              "fdp.exe\xE9");
    EXPECT_EQ(markInvisible("a\\b\tc"), "a\\b\tc");
    EXPECT_EQ(markInvisible(std::u16string(u"A\u200BB")), u"A\u27E8U+200B\u27E9B");
    const std::u16string lone = {u'T', char16_t(0xD800), u'\u202A'};
    EXPECT_EQ(markInvisible(lone),
              (std::u16string{u'T', char16_t(0xD800)} + u"\u27E8U+202A\u27E9"));
}

TEST(Text, HexOfUtf16CodeUnitsKeepsLoneSurrogates)
{
    EXPECT_EQ(hexUtf16(u""), "");
    EXPECT_EQ(hexUtf16(std::u16string{u'A', char16_t(0xD800), u'\u00E9'}), "0041D80000E9");
}

TEST(Text, JsonString)
{
    EXPECT_EQ(jsonString(""), "\"\"");
    EXPECT_EQ(jsonString("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
    EXPECT_EQ(jsonString("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
    EXPECT_EQ(jsonString(std::string("\0\x1F\x7F", 3)), "\"\\u0000\\u001f\\u007f\"");
    EXPECT_EQ(jsonString("\xC2\x85"), "\"\\u0085\"");
    EXPECT_EQ(jsonString("\xC3\xA9\xFF"), "\"\xC3\xA9\\ufffd\"");
    // Format characters (bidirectional controls, zero-width characters, the soft hyphen, tag
    // characters past the basic plane as a surrogate pair) are written as escapes: still the
    // same string, but nothing invisible or reordering reaches a terminal showing the JSON.
    EXPECT_EQ(jsonString("invoice\xE2\x80\xAE"
                         "fdp.exe"),
              "\"invoice\\u202efdp.exe\"");
    EXPECT_EQ(jsonString("a\xE2\x80\x8B"
                         "b\xC2\xAD\xE2\x81\xA6\xE2\x80\xA8\xEF\xBB\xBF"),
              "\"a\\u200bb\\u00ad\\u2066\\u2028\\ufeff\"");
    EXPECT_EQ(jsonString("\xF3\xA0\x80\x81"), "\"\\udb40\\udc01\""); // U+E0001
    EXPECT_EQ(jsonString("\xF0\x9D\x85\xB3"), "\"\\ud834\\udd73\""); // U+1D173
    // Visible text past the basic plane and letters with marks stay as they are.
    EXPECT_EQ(jsonString("\xF0\x9F\x8E\xAE\xC3\xA9"), "\"\xF0\x9F\x8E\xAE\xC3\xA9\"");
}

TEST(Text, FormatCharactersAreTheCfCategory)
{
    for (const char32_t cp :
         {0x00AD,  0x0600,  0x0605,  0x061C,  0x06DD,  0x070F,  0x0890,  0x08E2,  0x180E,  0x200B,
          0x200F,  0x2028,  0x202E,  0x2060,  0x2064,  0x2066,  0x206F,  0xFEFF,  0xFFF9,  0xFFFB,
          0x110BD, 0x110CD, 0x13430, 0x1343F, 0x1BCA0, 0x1D173, 0x1D17A, 0xE0001, 0xE0020, 0xE007F})
        EXPECT_TRUE(isFormatCharacter(cp)) << std::hex << static_cast<std::uint32_t>(cp);
    for (const char32_t cp : {0x0041, 0x00AC, 0x00AE, 0x0606, 0x200A, 0x2010, 0x2027, 0x202F,
                              0x2065, 0x2070, 0xFEFE, 0xFFFC, 0x1F3AE, 0xE0000, 0xE0080})
        EXPECT_FALSE(isFormatCharacter(cp)) << std::hex << static_cast<std::uint32_t>(cp);
    // The window's mark and the terminal's escape take them past the basic plane too.
    EXPECT_EQ(markInvisible(std::u16string(u"A\U000E0001B")), u"A\u27E8U+E0001\u27E9B");
    EXPECT_EQ(escapeForTerminal("\xF3\xA0\x80\x81\xC2\xAD"), "\\u{E0001}\\u{00AD}");
}

} // namespace
} // namespace cartscope::core
