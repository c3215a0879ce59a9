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
    dats.addXml(name, std::span<const char>(xml.data(), xml.size()));
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

} // namespace
} // namespace cartscope::core
