#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/verify/verdict_text.h"
#include "core/verify/verify.h"
#include "tests/fixture/dat_fixture.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using testdat::padded;
using testdat::rom;

// A trimmed DS image: 0xA000 used bytes of a 512 KiB chip (capacity 2), game code ABCE.
Bytes trimmedImage(std::uint8_t seed = 1)
{
    Bytes b = ImageBuilder().gameCode("ABCE").deviceCapacity(2).minSize(0xA000).build();
    for (std::size_t i = 0x8000; i < 0xA000; ++i)
        b[i] = static_cast<std::uint8_t>(i * seed + 7);
    return b;
}

struct Dats {
    DatSet set;
    Dats& add(const std::string& name, const std::vector<testdat::Rom>& roms)
    {
        const std::string xml = testdat::datXml(name, "2026", roms);
        set.addXml(name + ".dat", std::span<const char>(xml.data(), xml.size()));
        return *this;
    }
};

VerifyResult verify(const Bytes& image, const DatSet& dats, bool all = false)
{
    MemoryStream stream(image);
    return *verifyStream(stream, dats, all);
}

TEST(Verify, ExactMatchIsVerifiedBySha1WithSerialCheck)
{
    const Bytes img = trimmedImage();
    auto r = rom("Game (USA)", img);
    r.serial = "NTR-ABCE-USA";
    Dats d;
    d.add("DS", {rom("Other", trimmedImage(3)), r});
    const VerifyResult v = verify(img, d.set);
    EXPECT_EQ(v.verdict, Verdict::Verified);
    ASSERT_EQ(v.matches.size(), 1u);
    EXPECT_EQ(v.matches[0].rom, 1u);
    EXPECT_EQ(v.matches[0].by, MatchedBy::Sha1);
    EXPECT_FALSE(v.matches[0].padding);
    EXPECT_EQ(v.serialMatches, true);
    EXPECT_EQ(verdictText(v, d.set), "Verified: Game (USA) [DS (2026)] by SHA-1");
    // Only what matching needs was computed.
    EXPECT_FALSE(v.hashes.digest(DigestKind::Md5));
    EXPECT_FALSE(v.hashes.digest(DigestKind::Sha256));
    EXPECT_EQ(lowerHex(*v.hashes.digest(DigestKind::Sha1)), testdat::refDigest("SHA1", img));

    // With every hash asked for, an entry with a SHA-256 is matched by it.
    r.withSha256 = true;
    r.serial = "NTR-ABCD-USA";
    Dats d2;
    d2.add("DS", {r});
    const VerifyResult all = verify(img, d2.set, true);
    EXPECT_EQ(all.matches.at(0).by, MatchedBy::Sha256);
    EXPECT_EQ(all.serialMatches, false);
    EXPECT_NE(verdictText(all, d2.set).find("does not name the game code \"ABCE\""),
              std::string::npos);
}

TEST(Verify, TrimmedImagesMatchVirtuallyPaddedEntries)
{
    const Bytes img = trimmedImage();
    for (const std::uint8_t pad : {std::uint8_t{0xFF}, std::uint8_t{0x00}}) {
        Dats d;
        d.add("DS", {rom("Full", padded(img, 512 * 1024, pad))});
        const VerifyResult v = verify(img, d.set);
        EXPECT_EQ(v.verdict, Verdict::VerifiedTrimmed) << int(pad);
        ASSERT_EQ(v.matches.size(), 1u);
        EXPECT_EQ(v.matches[0].padding, pad);
        EXPECT_EQ(v.matches[0].paddedSize, 512u * 1024);
        EXPECT_EQ(v.trim.state, TrimState::Trimmed);
    }
    // Padded with the wrong byte, or to a size past the chip: not this dump.
    Dats wrong;
    Bytes mixed = padded(img, 512 * 1024, 0xFF);
    mixed.back() = 0;
    wrong.add("DS", {rom("Mixed", mixed), rom("Past chip", padded(img, 1024 * 1024, 0xFF))});
    EXPECT_EQ(verify(img, wrong.set).verdict, Verdict::NotInDat);
}

TEST(Verify, PaddingReachesTheNextPowerOfTwoPastASmallChip)
{
    // A homebrew header claiming a 128 KiB chip on a 200 KiB file: oversized, padded to 256 KiB.
    Bytes img = ImageBuilder().deviceCapacity(0).minSize(200 * 1024).build();
    Dats d;
    d.add("Homebrew", {rom("Demo", padded(img, 256 * 1024, 0x00)),
                       rom("Too big", padded(img, 512 * 1024, 0x00))});
    const VerifyResult v = verify(img, d.set);
    EXPECT_EQ(v.trim.state, TrimState::Oversized);
    EXPECT_EQ(v.verdict, Verdict::VerifiedTrimmed);
    ASSERT_EQ(v.matches.size(), 1u);
    EXPECT_EQ(d.set.roms()[v.matches[0].rom].game, "Demo");
    EXPECT_EQ(verdictText(v, d.set), "Verified as trimmed dump of Demo [Homebrew (2026)] by "
                                     "SHA-1, padded with 0x00 to 262144 bytes");
}

TEST(Verify, PaddingGoesNoFurtherThanTheLargestCard)
{
    // Capacity 0x0F claims a 4 GiB chip. An entry of 1 GiB is padded to (the cancel callback,
    // asked before each padding step, stops it at once); one past 1 GiB is never tried.
    const Bytes img = ImageBuilder().deviceCapacity(0x0F).minSize(0x9000).build();
    MemoryStream stream(img);
    for (const auto& [size, tried] : {std::pair<std::uint64_t, bool>{std::uint64_t{1} << 30, true},
                                      {(std::uint64_t{1} << 30) + 0x200, false},
                                      {std::uint64_t{4} << 30, false}}) {
        SCOPED_TRACE(size);
        const std::string xml = "<datafile><header><name>Big</name></header><game name=\"G\">"
                                "<rom name=\"g.nds\" size=\"" +
                                std::to_string(size) + "\" crc=\"00000000\" sha1=\"" +
                                std::string(40, '0') + "\"/></game></datafile>";
        DatSet dats;
        dats.addXml("big.dat", std::span<const char>(xml.data(), xml.size()));
        ImageVerifier verifier(dats, img.size(), false);
        ASSERT_TRUE(readPass(stream, verifier.sinks()));
        int asked = 0;
        const auto result = verifier.result([&] { return ++asked > 0; });
        EXPECT_EQ(asked > 0, tried);
        EXPECT_EQ(result.has_value(), !tried);
    }
}

TEST(Verify, AChipUnknownIsPaddedToTheNextPowerOfTwoOnly)
{
    Bytes img = ImageBuilder().deviceCapacity(0x10).minSize(0x9000).build(); // 36 KiB
    Dats d;
    d.add("DS", {rom("Too big", padded(img, 128 * 1024, 0xFF)),
                 rom("Next power", padded(img, 64 * 1024, 0xFF))});
    const VerifyResult v = verify(img, d.set);
    EXPECT_EQ(v.trim.state, TrimState::Unknown);
    EXPECT_EQ(v.trim.chipSize, std::nullopt);
    ASSERT_EQ(v.verdict, Verdict::VerifiedTrimmed);
    EXPECT_EQ(d.set.roms()[v.matches.at(0).rom].game, "Next power");
}

TEST(Verify, AFileThatIsNotADsImage)
{
    // Bytes of something else that happen to say "used 0x9000 of a 512 KiB chip".
    Bytes junk = fixture::pattern(0x9000, 9);
    junk[0x14] = 2;
    junk[0x80] = 0x00, junk[0x81] = 0x90, junk[0x82] = 0x00, junk[0x83] = 0x00;
    const DatSet none;
    VerifyResult v = verify(junk, none);
    EXPECT_FALSE(v.head.image);
    EXPECT_EQ(v.verdict, Verdict::NotAnImage);
    EXPECT_EQ(verdictName(v.verdict), std::string("not-an-image"));
    EXPECT_EQ(verdictText(v, none),
              "Not a DS image: neither its header CRC-16 nor its logo CRC-16 is right");
    // Not in the DAT, also not as a padded dump: it is never padded.
    Dats d;
    d.add("DS", {rom("Other", trimmedImage()), rom("Padded", padded(junk, 512 * 1024, 0xFF))});
    EXPECT_EQ(verify(junk, d.set).verdict, Verdict::NotAnImage);
    // A DAT match always wins.
    Dats listed;
    listed.add("Misc", {rom("Junk", junk)});
    EXPECT_EQ(verify(junk, listed.set).verdict, Verdict::Verified);
    // A mismatch stays one.
    auto collider = rom("Collider", junk);
    collider.sha1Override = std::string(40, '0');
    Dats m;
    m.add("Misc", {collider});
    EXPECT_EQ(verify(junk, m.set).verdict, Verdict::Mismatch);

    const Bytes six{'h', 'e', 'l', 'l', 'o', '\n'};
    v = verify(six, none);
    EXPECT_EQ(v.verdict, Verdict::NotAnImage);
    EXPECT_EQ(verdictText(v, none), "Not a DS image: shorter than a cartridge header (6 bytes)");
    // A real image is still not-in-dat or no-dat.
    EXPECT_EQ(verify(trimmedImage(), none).verdict, Verdict::NoDat);
}

TEST(Verify, OverTrimmedImagesAreNeverPadded)
{
    const Bytes full = trimmedImage();
    const Bytes cut(full.begin(), full.end() - 0x200);
    Dats d;
    d.add("DS", {rom("Full", padded(cut, 512 * 1024, 0xFF))});
    const VerifyResult v = verify(cut, d.set);
    EXPECT_EQ(v.trim.state, TrimState::OverTrimmed);
    EXPECT_EQ(v.verdict, Verdict::NotInDat);
}

TEST(Verify, AnEntryAgreeingOnSomeHashesIsAMismatch)
{
    // What agreed and what differed are fields of the result; the sentence is made from them.
    const Bytes img = trimmedImage();
    auto wrongSha1 = rom("Collider", img);
    wrongSha1.sha1Override = std::string(40, '0');
    auto wrongSize = rom("Resized", padded(img, img.size() + 0x40, 0xFF));
    wrongSize.sha1Override = testdat::refDigest("SHA1", img);
    wrongSize.withCrc = wrongSize.withMd5 = false;
    struct Case {
        testdat::Rom entry;
        MatchedBy agrees;
        std::optional<MatchedBy> differs;
        std::string text;
    };
    for (const Case& c :
         {Case{wrongSha1, MatchedBy::Crc32, MatchedBy::Sha1,
               "Mismatch: size and CRC-32 match Collider [DS (2026)] but SHA-1 differs: a "
               "collision or a bad DAT entry"},
          Case{wrongSize, MatchedBy::Sha1, std::nullopt,
               "Mismatch: SHA-1 matches Resized [DS (2026)] but the size differs: a collision or "
               "a bad DAT entry"}}) {
        Dats d;
        d.add("DS", {c.entry});
        const VerifyResult v = verify(img, d.set);
        EXPECT_EQ(v.verdict, Verdict::Mismatch) << c.text;
        ASSERT_TRUE(v.mismatch) << c.text;
        EXPECT_EQ(v.mismatch->agrees, c.agrees) << c.text;
        EXPECT_EQ(v.mismatch->differs, c.differs) << c.text;
        EXPECT_FALSE(v.mismatch->padding) << c.text;
        EXPECT_EQ(verdictText(v, d.set), c.text);
        EXPECT_EQ(matchDetailText(v, d.set), "");
    }
}

TEST(Verify, AMatchSaysItsPaddingAndSerialAsFieldsAndInWords)
{
    const Bytes img = trimmedImage();
    auto entry = rom("Full", padded(img, 512 * 1024, 0xFF));
    entry.serial = "NTR-WXYZ-USA";
    Dats d;
    d.add("DS", {entry});
    const VerifyResult v = verify(img, d.set);
    ASSERT_EQ(v.matches.size(), 1u);
    EXPECT_EQ(v.matches[0].padding, 0xFF);
    EXPECT_EQ(v.serialMatches, false);
    EXPECT_EQ(matchDetailText(v, d.set), "padded with 0xFF to 524288 bytes; the DAT serial "
                                         "\"NTR-WXYZ-USA\" does not name the game code \"ABCE\"");
    EXPECT_EQ(verdictText(v, d.set), "Verified as trimmed dump of Full [DS (2026)] by SHA-1, " +
                                         matchDetailText(v, d.set));
    // Without padding, the serial alone; with a serial that names the code, nothing.
    entry.data = img;
    Dats exact;
    exact.add("DS", {entry});
    EXPECT_EQ(matchDetailText(verify(img, exact.set), exact.set),
              "the DAT serial \"NTR-WXYZ-USA\" does not name the game code \"ABCE\"");
    entry.serial = "NTR-ABCE-USA";
    Dats named;
    named.add("DS", {entry});
    EXPECT_EQ(matchDetailText(verify(img, named.set), named.set), "");
}

TEST(Verify, NoDatAndNotInDat)
{
    const Bytes img = trimmedImage();
    const DatSet none;
    const VerifyResult v = verify(img, none);
    EXPECT_EQ(v.verdict, Verdict::NoDat);
    EXPECT_EQ(verdictText(v, none), "No DAT loaded");
    EXPECT_EQ(v.hashes.crc32, std::stoul(testdat::refCrc(img), nullptr, 16));
    Dats d;
    d.add("DS", {rom("Other", trimmedImage(5))});
    EXPECT_EQ(verify(img, d.set).verdict, Verdict::NotInDat);
}

TEST(Verify, TheFirstMatchByLoadOrderAndEveryMatchListed)
{
    const Bytes img = trimmedImage();
    Dats d;
    d.add("Decrypted", {rom("Game", img)}).add("Encrypted", {rom("Game (alt)", img)});
    const VerifyResult v = verify(img, d.set);
    ASSERT_EQ(v.matches.size(), 2u);
    EXPECT_EQ(d.set.dats()[d.set.roms()[v.matches[0].rom].dat].name, "Decrypted");
    EXPECT_EQ(d.set.dats()[d.set.roms()[v.matches[1].rom].dat].name, "Encrypted");
}

TEST(Verify, EntriesWithoutSha1AreMatchedByWhatTheyHave)
{
    const Bytes img = trimmedImage();
    auto md5Only = rom("By MD5", img);
    md5Only.withSha1 = false;
    md5Only.withCrc = false;
    Dats d;
    d.add("Old", {md5Only});
    EXPECT_TRUE(digestsFor(d.set, img.size(), false).has(DigestKind::Md5));
    VerifyResult v = verify(img, d.set);
    EXPECT_EQ(v.verdict, Verdict::Verified);
    EXPECT_EQ(v.matches.at(0).by, MatchedBy::Md5);

    auto crcOnly = rom("By CRC", padded(img, 512 * 1024, 0xFF));
    crcOnly.withSha1 = crcOnly.withMd5 = false;
    Dats c;
    c.add("Older", {crcOnly});
    EXPECT_FALSE(digestsFor(c.set, img.size(), false).has(DigestKind::Md5));
    v = verify(img, c.set);
    EXPECT_EQ(v.verdict, Verdict::VerifiedTrimmed);
    EXPECT_EQ(v.matches.at(0).by, MatchedBy::Crc32);

    // An entry without SHA-1 that is smaller than the image can never match: no extra digest.
    auto small = rom("Small", Bytes(16, 1));
    small.withSha1 = false;
    small.withSha256 = true;
    Dats s;
    s.add("Small", {small});
    EXPECT_FALSE(digestsFor(s.set, img.size(), false).has(DigestKind::Sha256));
}

TEST(Verify, SerialParts)
{
    EXPECT_TRUE(serialHasGameCode("NTR-ABCE-USA", "ABCE"));
    EXPECT_TRUE(serialHasGameCode("NTR ABCE", "ABCE"));
    EXPECT_TRUE(serialHasGameCode("NTR-ABCE-EUR, NTR-ABCP-EUR", "ABCP"));
    EXPECT_FALSE(serialHasGameCode("NTR-ABCEX-USA", "ABCE"));
    EXPECT_FALSE(serialHasGameCode("NTR-ABC-USA", "ABCE"));
    EXPECT_FALSE(serialHasGameCode("", ""));
}

} // namespace
} // namespace cartscope::core
