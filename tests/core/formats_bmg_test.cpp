#include <string>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/formats/bmg.h"
#include "tests/fixture/formats_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;

Bytes utf16(std::u16string_view s, bool big)
{
    Bytes out;
    for (const char16_t c : s) {
        const auto hi = static_cast<std::uint8_t>(c >> 8);
        const auto lo = static_cast<std::uint8_t>(c);
        out.push_back(big ? hi : lo);
        out.push_back(big ? lo : hi);
    }
    return out;
}

Bytes bytes(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

struct EncodingCase {
    const char* name;
    fixture::BmgFields fields;
    std::vector<std::string> texts; // the one-line token form
};

std::vector<EncodingCase> encodingCases()
{
    std::vector<EncodingCase> cases;
    for (const bool big : {false, true}) {
        fixture::BmgFields s;
        s.bigEndian = big;
        s.encoding = 2;
        // The escape: code unit 0x001A, length 8 (3 + 5 data bytes, a zero among them).
        const Bytes escape = cat({utf16(u"\x1A", big), Bytes{8, 0x01, 0x00, 0x02, 0x00, 0xCD}});
        s.messages = {utf16(u"Hello {x}\u202E", big),
                      utf16(u"Line1\nLine2\r", big),
                      cat({utf16(u"A", big), escape, utf16(u"\u00E9\U0001F600", big)}),
                      {},
                      utf16(u"\xD800!", big)};
        s.ids = {7, 8, 9, 10, 11};
        cases.push_back(
            {big ? "UTF-16BE" : "UTF-16LE",
             s,
             {"Hello {{x}{U+202E}", "Line1{n}Line2{r}", "A{1A:01000200cd}\u00E9\U0001F600", "",
              big ? "{raw:d800}!" : "{raw:00d8}!"}});
    }
    fixture::BmgFields cp;
    cp.encoding = 1;
    cp.messages = {bytes("Caf\xE9 \x80"), cat({bytes("x\x1A\x04"), Bytes{0x05, 0x00}, bytes("y")}),
                   bytes("\x81{")};
    cp.messages.push_back(bytes("\x1B[2J\tx\x7F\x9D"));
    cases.push_back(
        {"CP1252",
         cp,
         {"Caf\u00E9 \u20AC", "x{1A:0500}y", "{raw:81}{{", "{U+001B}[2J\tx{U+007F}{raw:9d}"}});
    fixture::BmgFields sjis;
    sjis.encoding = 3;
    // 0xED40 is a character with a second code (0xFA5C), which it would be written back as.
    sjis.messages = {bytes("\x82\xA0\\~"), bytes("\xED\x40\x82"), bytes("\x1A\x02")};
    cases.push_back({"Shift-JIS", sjis, {"\u3042\\~", "{raw:ed4082}", "{1A:}"}});
    fixture::BmgFields utf8;
    utf8.encoding = 4;
    utf8.messages = {bytes("na\xC3\xAFve \xE2\x9C\x93"), bytes("\xFF\xC3"),
                     bytes("\xC3\xA9\x1A\x03\x00")};
    cases.push_back({"UTF-8", utf8, {"na\u00EFve \u2713", "{raw:ffc3}", "\u00E9{1A:00}"}});
    return cases;
}

TEST(Bmg, EveryEncodingReadsAsTokensAndWritesBackByteForByte)
{
    for (const EncodingCase& c : encodingCases()) {
        SCOPED_TRACE(c.name);
        const Bytes file = fixture::bmgFile(c.fields);
        const Bmg bmg = readBmg(file, "m.bmg");
        EXPECT_EQ(bmgEncodingName(bmg), c.name);
        EXPECT_EQ(bmgTexts(bmg, true), c.texts);
        EXPECT_EQ(writeBmg(bmg, bmgTexts(bmg, true)), file);
        EXPECT_EQ(writeBmg(bmg, bmgTexts(bmg, false)), file);
        EXPECT_EQ(writeBmg(bmg, parseBmgTextFile(bmgTextFile(bmg), bmg.messages.size(), "t")),
                  file);
    }
}

TEST(Bmg, EditedTextIsEncodedIntoTheSameLayout)
{
    for (const EncodingCase& c : encodingCases()) {
        SCOPED_TRACE(c.name);
        fixture::BmgFields fields = c.fields;
        fields.attributes.assign(fields.messages.size(), Bytes{0xA1, 0xB2, 0xC3, 0xD4});
        const Bytes file = fixture::bmgFile(fields);
        const Bmg bmg = readBmg(file, "m.bmg");
        std::vector<std::string> texts = bmgTexts(bmg, true);
        texts[0] = "A much longer first message{n}with {{braces}} and {1A:0a0b}";
        texts[1] = "";
        const Bytes written = writeBmg(bmg, texts);
        const Bmg again = readBmg(written, "out.bmg");
        EXPECT_EQ(bmgTexts(again, true), texts);
        EXPECT_EQ(again.entrySize, bmg.entrySize);
        EXPECT_EQ(again.ids, bmg.ids);
        EXPECT_EQ(again.bigEndian, bmg.bigEndian);
        EXPECT_EQ(again.encodingByte, bmg.encodingByte);
        for (const BmgMessage& m : again.messages)
            EXPECT_EQ(m.attributes, (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
        // The rebuilt DAT1 keeps the block alignment and the header counts the new size.
        EXPECT_EQ(again.blocks[again.dat1].size % 32, 0u);
        EXPECT_EQ(again.fileSize, written.size());
        // The block before DAT1 and the one after it are the same bytes.
        EXPECT_TRUE(
            std::equal(written.begin() + 0x20, written.begin() + 0x30, file.begin() + 0x20));
    }
}

TEST(Bmg, ASizeThatReadsTheSameBothWaysIsSettledByTheBlockCount)
{
    // 0x00010100 bytes: a big-endian file whose size field reads the same in either order.
    fixture::BmgFields fields;
    fields.bigEndian = true;
    fields.encoding = 1;
    fields.messages = {Bytes(0x100C0 - 10, 'a')}; // header, INF1, DAT1 of 0x100C0 bytes
    const Bytes file = fixture::bmgFile(fields);
    ASSERT_EQ(file.size(), 0x10100u);
    const Bmg bmg = readBmg(file, "m.bmg");
    EXPECT_TRUE(bmg.bigEndian);
    EXPECT_EQ(bmg.messages[0].bytes.size(), 0x100C0u - 10);
}

TEST(Bmg, MessagesSharingAnOffsetPartWhenOneIsEdited)
{
    fixture::BmgFields fields;
    fields.encoding = 1;
    fields.messages = {{}, bytes("mid"), {}};
    const Bytes file = fixture::bmgFile(fields);
    const Bmg bmg = readBmg(file, "m.bmg");
    EXPECT_EQ(bmg.messages[0].offset, bmg.messages[2].offset);
    const Bmg edited = readBmg(writeBmg(bmg, {"", "mid", "new"}), "out");
    EXPECT_EQ(bmgTexts(edited, true), (std::vector<std::string>{"", "mid", "new"}));
    EXPECT_NE(edited.messages[0].offset, edited.messages[2].offset);
    const Bmg same = readBmg(writeBmg(bmg, {"", "mid!", ""}), "out");
    EXPECT_EQ(same.messages[0].offset, same.messages[2].offset);
}

TEST(Bmg, TextThatCannotBeWrittenNamesTheMessage)
{
    fixture::BmgFields sjis;
    sjis.encoding = 3;
    sjis.messages = {bytes("a"), bytes("b")};
    const Bmg bmg = readBmg(fixture::bmgFile(sjis), "m.bmg");
    struct Case {
        std::string text, error;
    };
    for (const Case& c : {
             Case{"smile \U0001F600",
                  "Message 1 does not fit the encoding Shift-JIS: \"\U0001F600\" "
                  "(U+1F600)"},
             Case{"{x}", "Message 1: \"{x}\" is not a token (a literal \"{\" is written \"{{\")"},
             Case{"open {", "Message 1: \"{\" is not a token"},
             Case{"{1A:abc}", "Message 1: \"{1A:abc}\" is not a token"},
             Case{"{raw:}", "Message 1: \"{raw:}\" is not a token"},
             Case{"{U+D800}", "Message 1: \"{U+D800}\" is not a token"},
             Case{"{U+11000000}", "is not a token"},
             Case{"bad \xFF", "Message 1 is not valid UTF-8"},
             Case{"ctl \x1A", "Message 1 holds a control character"},
             Case{"{1A:" + std::string(2 * 254, '0') + "}", "longer than 255 bytes"},
         }) {
        SCOPED_TRACE(c.text);
        EXPECT_NE(errorOf([&] {
                      writeBmg(bmg, {"a", c.text});
                  }).find(c.error),
                  std::string::npos)
            << errorOf([&] {
                   writeBmg(bmg, {"a", c.text});
               });
    }
}

TEST(Bmg, TextFileHasOneLinePerMessage)
{
    EXPECT_EQ(parseBmgTextFile("a\r\nb{n}\n\n", 3, "t"),
              (std::vector<std::string>{"a", "b{n}", ""}));
    EXPECT_EQ(parseBmgTextFile("a\nb", 2, "t"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(errorOf([] { parseBmgTextFile("a\nb\n", 3, "in.txt"); }),
              "\"in.txt\" has 2 lines; the message file has 3 messages");
}

TEST(Bmg, JsonCarriesIdsAttributesAndRealLineBreaks)
{
    const EncodingCase c = encodingCases().front();
    const std::string json = bmgJson(readBmg(fixture::bmgFile(c.fields), "m.bmg"));
    EXPECT_TRUE(json.starts_with("{\"encoding\": \"UTF-16LE\", \"messages\": [\n")) << json;
    EXPECT_NE(json.find("{\"index\": 1, \"id\": 8, \"attributes\": \"00000000\", \"text\": "
                        "\"Line1\\nLine2\\r\"}"),
              std::string::npos)
        << json;
}

} // namespace
} // namespace cartscope::core
