#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/verify/dat.h"
#include "tests/fixture/dat_fixture.h"

namespace cartscope::core {
namespace {

void add(DatSet& dats, const std::string& xml, const std::string& name = "test.dat")
{
    dats.add(name, std::span<const char>(xml.data(), xml.size()));
}

std::vector<std::uint32_t> list(std::span<const std::uint32_t> entries)
{
    return {entries.begin(), entries.end()};
}

// The message of the error adding `xml` throws (empty when it loads).
std::string failure(const std::string& xml)
{
    DatSet dats;
    try {
        add(dats, xml, "bad.dat");
    } catch (const Error& e) {
        EXPECT_TRUE(dats.empty()) << "nothing is added on failure";
        return e.what();
    }
    return {};
}

TEST(Dat, LoadsAndIndexesEveryDigestInEitherCase)
{
    const testdat::Bytes a(1000, 0x11), b(2000, 0x22);
    testdat::Rom ra = testdat::rom("Game A (USA)", a, "a.nds");
    ra.withSha256 = true;
    ra.serial = "NTR-AAAE-USA";
    testdat::Rom rb = testdat::rom("Game B & Co", b, "b.nds");
    rb.upperHex = true;
    rb.withMd5 = false;
    DatSet dats;
    add(dats, testdat::datXml("Nintendo - Nintendo DS (Decrypted)", "20260101", {ra, rb}));
    ASSERT_EQ(dats.dats().size(), 1u);
    EXPECT_EQ(dats.dats()[0].name, "Nintendo - Nintendo DS (Decrypted)");
    EXPECT_EQ(dats.dats()[0].version, "20260101");
    ASSERT_EQ(dats.roms().size(), 2u);
    EXPECT_EQ(dats.roms()[1].game, "Game B & Co");
    EXPECT_EQ(dats.roms()[0].serial, "NTR-AAAE-USA");
    EXPECT_EQ(dats.roms()[1].size, 2000u);
    EXPECT_TRUE(dats.roms()[1].md5.empty());

    const auto sha1b = digestOf(DigestKind::Sha1, b);
    EXPECT_EQ(list(dats.byDigest(DigestKind::Sha1, sha1b)), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(list(dats.byDigest(DigestKind::Sha256, digestOf(DigestKind::Sha256, a))),
              (std::vector<std::uint32_t>{0}));
    EXPECT_TRUE(dats.byDigest(DigestKind::Sha256, digestOf(DigestKind::Sha256, b)).empty());
    EXPECT_EQ(list(dats.bySizeCrc(1000, dats.roms()[0].crc32.value())),
              (std::vector<std::uint32_t>{0}));
    EXPECT_TRUE(dats.bySizeCrc(1001, dats.roms()[0].crc32.value()).empty());
    EXPECT_EQ(dats.sizes(), (std::vector<std::uint64_t>{1000, 2000}));
    EXPECT_TRUE(dats.withoutSha1().empty());

    // A second DAT continues the load order.
    add(dats, testdat::datXml("Other", "1", {ra}), "other.dat");
    EXPECT_EQ(list(dats.byDigest(DigestKind::Sha1, digestOf(DigestKind::Sha1, a))),
              (std::vector<std::uint32_t>{0, 2}));
    EXPECT_EQ(list(dats.bySize(1000)), (std::vector<std::uint32_t>{0, 2}));
    EXPECT_EQ(dats.roms()[2].dat, 1u);
}

TEST(Dat, MissingAttributesAreAbsentNotErrors)
{
    DatSet dats;
    add(dats, "<datafile><header><name>N</name></header>"
              "<game name=\"g\"><rom name=\"r\" crc=\"\" md5=\"" +
                  std::string(32, 'e') +
                  "\"/></game>"
                  "<machine name=\"m\"><rom name=\"r2\" size=\"5\" crc=\"1F\"/></machine>"
                  "</datafile>");
    ASSERT_EQ(dats.roms().size(), 2u);
    EXPECT_FALSE(dats.roms()[0].size);
    EXPECT_FALSE(dats.roms()[0].crc32);
    EXPECT_EQ(dats.roms()[1].crc32, 0x1Fu);
    EXPECT_EQ(dats.withoutSha1().size(), 2u);
    EXPECT_EQ(dats.dats()[0].version, "");
}

TEST(Dat, MalformedDatsNameTheFileAndLine)
{
    EXPECT_EQ(failure("<datafile>\n<game name=\"x\">\n<rom name=\"r\" size=\"1\"\n</game>"),
              "DAT \"bad.dat\" line 4: not well-formed XML (Error parsing start element tag)");
    EXPECT_EQ(failure("<datafile>\n<game name=\"x\">\n<rom name=\"r\" sha1=\"zz\"/></game>"
                      "</datafile>"),
              "DAT \"bad.dat\" line 3: bad sha1 \"zz\" (40 hex digits expected)");
    EXPECT_EQ(failure("<datafile><game name=\"x\">\n\n<rom md5=\"" + std::string(31, 'a') +
                      "g\"/></game></datafile>"),
              "DAT \"bad.dat\" line 3: bad md5 \"" + std::string(31, 'a') + "g\" (not hex)");
    EXPECT_EQ(failure("<datafile><game><rom crc=\"123456789\"/></game></datafile>"),
              "DAT \"bad.dat\" line 1: bad crc \"123456789\" (up to 8 hex digits expected)");
    EXPECT_EQ(failure("<datafile><game><rom size=\"-1\"/></game></datafile>"),
              "DAT \"bad.dat\" line 1: bad size \"-1\"");
    EXPECT_EQ(failure("<datafile><game><rom size=\"99999999999999999999999\"/></game>"
                      "</datafile>"),
              "DAT \"bad.dat\" line 1: bad size \"99999999999999999999999\"");
    EXPECT_EQ(failure("<datafile><game><rom size=\"2199023255553\"/></game></datafile>"),
              "DAT \"bad.dat\" line 1: bad size \"2199023255553\" (absurdly large)");
    // Leading zeros keep a size's value small while its text grows: the echo is cut.
    EXPECT_EQ(failure("<datafile><game><rom size=\"" + std::string(100000, '0') +
                      "2199023255553\"/></game></datafile>"),
              "DAT \"bad.dat\" line 1: bad size \"" + std::string(64, '0') +
                  "...\" (absurdly large)");
    EXPECT_EQ(failure("<datafile><game name=\"x\">\n<rom name=\"r\" status=\"good\"/></game>"
                      "</datafile>"),
              "DAT \"bad.dat\" line 2: an entry with neither a size nor a digest");
    EXPECT_EQ(failure("<?xml version=\"1.0\"?>\n<softwarelist/>"),
              "DAT \"bad.dat\" line 2: not a Logiqx datafile (the root element is "
              "<softwarelist>)");
    EXPECT_NE(failure(""), "");
    EXPECT_NE(failure(std::string("<datafile>\0</datafile>", 22)), "");

    // The same refusals in the clrmamepro text form, and its own: strings, blocks, nesting.
    const std::string head = "clrmamepro ( name \"N\" )\ngame ( name g\n";
    const struct {
        std::string text, message;
    } rows[] = {
        {head + "rom ( name r sha1 zz ) )", "line 3: bad sha1 \"zz\" (40 hex digits expected)"},
        {head + "\n rom ( md5 " + std::string(31, 'a') + "g ) )",
         "line 4: bad md5 \"" + std::string(31, 'a') + "g\" (not hex)"},
        {head + "rom ( crc 123456789 ) )",
         "line 3: bad crc \"123456789\" (up to 8 hex digits expected)"},
        {head + "rom ( size -1 ) )", "line 3: bad size \"-1\""},
        {head + "rom ( size 2199023255553 ) )",
         "line 3: bad size \"2199023255553\" (absurdly large)"},
        {head + "rom ( name \"r\" flags verified ) )",
         "line 3: an entry with neither a size nor a digest"},
        {head + "rom ( name \"r\nsize 1 ) )", "line 3: unterminated string"},
        {head + "rom ( name \"r", "line 3: unterminated string"},
        {head + "rom ( size 1 )", "line 3: a block is not closed (\")\" missing)"},
        {head + "x ( ( ( ( ( ( ( ( 1 ) ) ) ) ) ) ) ) )",
         "line 3: blocks nested deeper than 8 levels"},
        {head + "description " + std::string(70000, 'x') + " )",
         "line 3: a value longer than 65536 bytes"},
        {head + "( )", "line 3: \"(\" without a name"},
        {head + "name )", "line 3: \"name\" has no value"},
        {head + "rom size 1 )", "line 3: expected \"(\" after \"rom\""},
        {"clrmamepro ( name N )\n)", "line 2: expected a block name, found \")\""},
        {"game ( name g rom ( size 1 ) )\ngame", "line 2: expected \"(\" after \"game\""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(failure(row.text), "DAT \"bad.dat\" " + row.message) << row.text.substr(0, 80);
}

// A No-Intro entry: names of the usual length and every digest.
std::string noIntroEntry(std::size_t i)
{
    const std::string n = std::to_string(i);
    const std::string title = n + " - Some Game Title (Europe) (En,Fr,De,Es,It)";
    return "<game name=\"" + title + "\"><description>" + title + "</description><rom name=\"" +
           title + ".nds\" size=\"33554432\" crc=\"" +
           std::string(8 - std::min<std::size_t>(n.size(), 8), '0') + n.substr(0, 8) + "\" md5=\"" +
           std::string(32, 'a') + "\" sha1=\"" + std::string(40, 'b') + "\" sha256=\"" +
           std::string(64, 'c') + "\" status=\"verified\" serial=\"NTR-ABCE-EUR\"/></game>\n";
}

TEST(Dat, EntriesAreCompactAndADatIsCappedByItsSizeAndCount)
{
    // Measured: the bytes an entry and its indexes take, names included.
    std::string xml = "<datafile><header><name>N</name></header>\n";
    constexpr std::size_t kEntries = 20000;
    for (std::size_t i = 0; i < kEntries; ++i)
        xml += noIntroEntry(i);
    xml += "</datafile>";
    DatSet dats;
    add(dats, xml);
    ASSERT_EQ(dats.roms().size(), kEntries);
    const std::size_t perEntry = dats.memoryUsed() / kEntries;
    // About 120 bytes of entry, 20 of indexes and the names' own text (here 114 bytes).
    EXPECT_LE(perEntry, 280u) << perEntry;
    EXPECT_EQ(dats.roms()[7].game, "7 - Some Game Title (Europe) (En,Fr,De,Es,It)");
    EXPECT_EQ(list(dats.byDigest(DigestKind::Sha1, std::vector<std::uint8_t>(20, 0xbb))).size(),
              kEntries);
    std::printf("DAT memory per No-Intro entry: %zu bytes\n", perEntry);

    // Empty elements packed tight: more than the parser may take for a DAT of that size.
    std::string dense = "<datafile><game name=\"g\">";
    for (int i = 0; i < 400000; ++i)
        dense += "<rom/>";
    dense += "</game></datafile>";
    EXPECT_EQ(failure(dense).rfind("DAT \"bad.dat\" would take more than 4 times its size in "
                                   "memory to read",
                                   0),
              0u)
        << failure(dense);

    // One entry more than a DAT may hold, each an honest size.
    std::string many = "<datafile><game>";
    const std::string entry = "<rom size=\"1\" md5=\"" + std::string(32, 'a') + "\"/>";
    many.reserve((kMaxDatEntries + 1) * entry.size() + 64);
    for (std::size_t i = 0; i <= kMaxDatEntries; ++i)
        many += entry;
    many += "</game></datafile>";
    EXPECT_EQ(failure(many), "DAT \"bad.dat\" has more than 1000000 entries");

    // The text form: its entries are counted against the same multiple of its size.
    std::string denseText = "game ( name g";
    for (int i = 0; i < 400000; ++i)
        denseText += " rom ( size 1 )";
    denseText += " )";
    EXPECT_EQ(failure(denseText).rfind("DAT \"bad.dat\" would take more than 4 times its size in "
                                       "memory to read",
                                       0),
              0u)
        << failure(denseText);
    std::string manyText = "game ( name g";
    const std::string textEntry = " rom ( size 1 md5 " + std::string(32, 'a') + " )";
    manyText.reserve((kMaxDatEntries + 1) * textEntry.size() + 64);
    for (std::size_t i = 0; i <= kMaxDatEntries; ++i)
        manyText += textEntry;
    manyText += " )";
    EXPECT_EQ(failure(manyText), "DAT \"bad.dat\" has more than 1000000 entries");
}

TEST(Dat, HostileDoctypesAreRefusedWithoutExpansionOrNetwork)
{
    // The billion laughs: refused at its declarations, nothing expanded.
    std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE datafile [\n"
                       "<!ENTITY lol \"lol\">\n";
    for (int i = 1; i <= 9; ++i)
        bomb += "<!ENTITY lol" + std::to_string(i) + " \"" + [&] {
            std::string s;
            for (int j = 0; j < 10; ++j)
                s += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
            return s;
        }() + "\">\n";
    bomb += "]>\n<datafile><game name=\"&lol9;\"/></datafile>";
    EXPECT_EQ(failure(bomb),
              "DAT \"bad.dat\" line 2: entity declarations are not allowed in a DAT");
    // An external entity (a local file, a URL) is refused the same way.
    EXPECT_EQ(failure("<!DOCTYPE datafile [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
                      "<datafile><header><name>&x;</name></header></datafile>"),
              "DAT \"bad.dat\" line 1: entity declarations are not allowed in a DAT");
    EXPECT_NE(failure("<!DOCTYPE datafile [<!ENTITY % p SYSTEM \"http://127.0.0.1:1/x\"> %p;]>"
                      "<datafile/>"),
              "");
    // A reference to an undeclared entity stays literal text; the public DTD reference of
    // every real DAT is accepted and never fetched.
    DatSet dats;
    add(dats, testdat::datXml("A & B", "1", {}));
    EXPECT_EQ(dats.dats()[0].name, "A & B");
    add(dats, "<datafile><header><name>&undeclared;</name></header></datafile>");
    EXPECT_EQ(dats.dats()[1].name, "&undeclared;");
}

// The same DAT as No-Intro writes it in either form.
TEST(Dat, TextFormLoadsAsTheXmlFormDoes)
{
    const std::string sha1(40, 'b'), md5(32, 'a'), sha256(64, 'c');
    const std::string xml =
        "<datafile><header><name>Nintendo - DS</name><description>Nintendo - DS</description>"
        "<version>20260101-000000</version><author>A, B</author></header>"
        "<game name=\"A (USA)\" id=\"0001\"><description>A (USA)</description>"
        "<release name=\"A (USA)\" region=\"USA\" language=\"En\"/>"
        "<rom name=\"A (USA).nds\" size=\"1024\" crc=\"1a2b3c4d\" md5=\"" +
        md5 + "\" sha1=\"" + sha1 + "\" sha256=\"" + sha256 +
        "\" status=\"verified\" serial=\"NTR-AAAE-USA\"/></game>"
        "<game name=\"A (Europe)\" cloneof=\"A (USA)\" cloneofid=\"0001\">"
        "<rom name=\"a1.bin\" size=\"1\" crc=\"0000000f\"/><rom name=\"a2.bin\" size=\"2\"/>"
        "</game><game name=\"No roms\"/></datafile>";
    const std::string text = "\xEF\xBB\xBF\r\nclrmamepro (\r\n\tname \"Nintendo - DS\"\r\n"
                             "\tdescription \"Nintendo - DS\"\r\n\tversion 20260101-000000\r\n"
                             "\tauthor \"A, B\"\r\n)\r\n\r\n"
                             "game (\r\n\tname \"A (USA)\"\r\n\tid 0001\r\n"
                             "\tdescription \"A (USA)\"\r\n"
                             "\trelease ( name \"A (USA)\" region USA language En )\r\n"
                             "\trom ( name \"A (USA).nds\" size 1024 crc 1A2B3C4D md5 " +
                             md5 + " sha1 " + sha1 + " sha256 " + sha256 +
                             " flags verified serial \"NTR-AAAE-USA\" )\r\n)\r\n"
                             "machine ( name \"A (Europe)\" cloneof \"A (USA)\" cloneofid 0001\n"
                             "\tdisk ( name x sha1 " +
                             sha1 +
                             " )\n\trom ( name a1.bin size 1 crc f )\n"
                             "\trom ( name a2.bin size 2 )\n)\n"
                             "game ( name \"No roms\" )\n"
                             "resource ( name \"bios\" sample ( name x ) )\n";
    EXPECT_TRUE(isClrmameproText(std::span(text.data(), text.size())));
    EXPECT_FALSE(isClrmameproText(std::span(xml.data(), xml.size())));
    DatSet fromXml, fromText;
    add(fromXml, xml);
    add(fromText, text);
    ASSERT_EQ(fromText.dats().size(), 1u);
    EXPECT_EQ(fromText.dats()[0].name, "Nintendo - DS");
    EXPECT_EQ(fromText.dats()[0].version, "20260101-000000");
    EXPECT_EQ(fromText.dats()[0].header, fromXml.dats()[0].header);
    ASSERT_EQ(fromText.roms().size(), 3u);
    ASSERT_EQ(fromXml.roms().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const DatRom a = fromXml.roms()[i], b = fromText.roms()[i];
        SCOPED_TRACE(a.rom);
        EXPECT_EQ(a.game, b.game);
        EXPECT_EQ(a.rom, b.rom);
        EXPECT_EQ(a.size, b.size);
        EXPECT_EQ(a.crc32, b.crc32);
        for (const DigestKind kind : kDigestKinds)
            EXPECT_TRUE(std::ranges::equal(a.digest(kind), b.digest(kind)));
        EXPECT_EQ(a.serial, b.serial);
        EXPECT_EQ(a.status, b.status);
        EXPECT_EQ(a.id, b.id);
        EXPECT_EQ(a.cloneOf, b.cloneOf);
        EXPECT_EQ(a.cloneOfId, b.cloneOfId);
        EXPECT_EQ(a.releases, b.releases);
    }
    EXPECT_EQ(list(fromText.byDigest(DigestKind::Sha1, std::vector<std::uint8_t>(20, 0xbb))),
              (std::vector<std::uint32_t>{0}));
    // What decides the form is the content: XML named .dat, text after white space.
    EXPECT_FALSE(isClrmameproText(std::span("  gamer ( x )", 13)));
    EXPECT_FALSE(isClrmameproText(std::span("game x (", 8)));
    EXPECT_TRUE(isClrmameproText(std::span("\n GAME\t(", 9)));
}

} // namespace
} // namespace cartscope::core
