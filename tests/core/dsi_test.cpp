#include <algorithm>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "core/banner/banner_record.h"
#include "core/dsi_rows.h"
#include "core/image/dsi.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;

DsiInfo readFrom(const ImageBuilder& builder)
{
    const Bytes image = builder.build();
    MemoryStream stream(image);
    return decodeHeader(RawHeader::read(stream)).dsi;
}

// A DSi-only image as a DSiWare title would have it: known flags, regions, title ID, ratings.
ImageBuilder dsiOnlyImage()
{
    ImageBuilder b;
    b.gameCode("KABE").unitCode(0x03);
    b.poke32(0x1B0, 0x00000023); // Japan, USA, Korea
    b.poke8(0x1BF, 0x0B);        // DSi mode TSC, EULA, Wi-Fi icon
    b.poke32(0x1C0, 0x00084000).poke32(0x1C8, 0x02400000).poke32(0x1CC, 0x00001234);
    b.poke32(0x1D0, 0x00090000).poke32(0x1D8, 0x02E80000).poke32(0x1DC, 0x00000FF0);
    b.poke32(0x208, 0x000023C0); // banner size
    b.poke32(0x210, 0x000A1000); // DSi used size
    b.poke32(0x220, 0x00084000).poke32(0x224, 0x00000800);
    b.poke32(0x228, 0x00090000).poke32(0x22C, 0x00000400);
    b.poke32(0x230, 0x4542414B).poke32(0x234, 0x00030004);
    b.poke32(0x238, 0x00010000).poke32(0x23C, 0x00000200);
    b.poke8(0x2F0, 0x8C);                  // CERO: age 12
    b.poke8(0x2F1, 0x8A);                  // ESRB: age 10
    b.poke8(0x2F3, 0xC0);                  // USK: prohibited
    b.poke8(0x2F4, 0x07);                  // PEGI: an age without its present bit
    b.poke8(0x2F9, 0x8F);                  // GRB: age 15
    b.pokeBytes(0x300, Bytes(20, 0x11));   // ARM9 HMAC
    b.poke8(0x33C + 19, 0x01);             // banner HMAC, last byte only
    b.pokeBytes(0xF80, Bytes(0x80, 0x5A)); // RSA signature
    return b;
}

TEST(DsiHeader, DsiOnlyImageFieldsByName)
{
    const DsiInfo d = readFrom(dsiOnlyImage());
    EXPECT_TRUE(d.isDsi);
    EXPECT_EQ(d.unitCode, 0x03);
    EXPECT_EQ(d.regionText(), "Japan, USA, Korea");
    EXPECT_FALSE(d.regionFree());
    EXPECT_EQ(d.titleIdText(), "000300044542414B");
    EXPECT_EQ(d.fileType(), "DSiWare");
    EXPECT_EQ(d.twlFlagKeys(),
              (std::vector<std::string>{"touchscreenSoundDsiMode", "requireEulaAgreement",
                                        "showWifiConnectionIcon"}));
    EXPECT_EQ(d.arm9iRomOffset, 0x00084000u);
    EXPECT_EQ(d.arm9iLoadAddress, 0x02400000u);
    EXPECT_EQ(d.arm9iSize, 0x1234u);
    EXPECT_EQ(d.arm7iRomOffset, 0x00090000u);
    EXPECT_EQ(d.arm7iLoadAddress, 0x02E80000u);
    EXPECT_EQ(d.arm7iSize, 0xFF0u);
    EXPECT_EQ(d.bannerSize, 0x23C0u);
    EXPECT_EQ(d.dsiUsedSize, 0xA1000u);
    EXPECT_EQ(d.publicSaveSize, 0x10000u);
    EXPECT_EQ(d.privateSaveSize, 0x200u);
    EXPECT_EQ(d.modcrypt[0].offset, 0x84000u);
    EXPECT_EQ(d.modcrypt[0].size, 0x800u);
    EXPECT_EQ(d.modcrypt[1].offset, 0x90000u);
    EXPECT_EQ(d.modcrypt[1].size, 0x400u);

    // The boards in the reference's order, with their names.
    ASSERT_EQ(d.ageRatings.size(), 16u);
    EXPECT_STREQ(d.ageRatings[0].board, "CERO (Japan)");
    EXPECT_STREQ(d.ageRatings[1].board, "ESRB (US/Canada)");
    EXPECT_STREQ(d.ageRatings[3].board, "USK (Germany)");
    EXPECT_STREQ(d.ageRatings[4].board, "PEGI (Pan-Europe)");
    EXPECT_STREQ(d.ageRatings[6].board, "PEGI (Portugal)");
    EXPECT_STREQ(d.ageRatings[7].board, "PEGI and BBFC (UK)");
    EXPECT_STREQ(d.ageRatings[8].board, "AGCB (Australia)");
    EXPECT_STREQ(d.ageRatings[9].board, "GRB (South Korea)");
    EXPECT_TRUE(d.ageRatings[0].present);
    EXPECT_EQ(d.ageRatings[0].age, 12);
    EXPECT_EQ(d.ageRatings[0].text(), "age 12");
    EXPECT_TRUE(d.ageRatings[3].prohibited);
    EXPECT_EQ(d.ageRatings[3].text(), "prohibited");
    EXPECT_FALSE(d.ageRatings[4].present);
    EXPECT_EQ(d.ageRatings[4].age, 7);
    EXPECT_EQ(d.ageRatings[4].text(), "not rated");
    EXPECT_EQ(d.ageRatings[9].age, 15);

    // Presence only: any non-zero byte counts.
    const auto present = [&d](const std::string& key) {
        for (const auto& h : d.hmacs)
            if (h.key == key)
                return h.present;
        ADD_FAILURE() << key;
        return false;
    };
    EXPECT_TRUE(present("arm9"));
    EXPECT_TRUE(present("banner"));
    EXPECT_FALSE(present("arm7"));
    EXPECT_FALSE(present("digestMaster"));
    EXPECT_TRUE(d.rsaPresent);
}

// The page's rows of one DSi-only image, each composed from its fields: a value, then the
// fields that join it; byte counts also in decimal.
TEST(DsiPage, RowsOfADsiOnlyImage)
{
    const DsiInfo d = readFrom(dsiOnlyImage());
    using Row = std::tuple<std::string, std::string, std::string>;
    std::vector<Row> rows;
    for (const InfoRow& r : dsiPageRows(BannerInfo{}, d))
        if (r.group != "Age ratings" && r.group != "Signatures (not verified)")
            rows.emplace_back(r.group, r.field, r.value);
    const std::vector<Row> expected = {
        {"Banner", "Version", "0000"},
        {"Banner", "Size", "00000000 (0 bytes)"},
        {"Banner", "Status", "unknown banner version"},
        {"Flags", "TWL flags (1BF)",
         "0B: Touchscreen/sound controller in DSi mode, Require EULA agreement, Show Nintendo "
         "Wi-Fi Connection icon"},
        {"DSi", "Unit code", "03: DSi only"},
        {"DSi", "Region", "00000023: Japan, USA, Korea"},
        {"DSi", "Title ID", "000300044542414B (DSiWare)"},
        {"DSi", "ARM9i ROM offset", "00084000"},
        {"DSi", "ARM9i load address", "02400000"},
        {"DSi", "ARM9i size", "00001234 (4660 bytes)"},
        {"DSi", "ARM7i ROM offset", "00090000"},
        {"DSi", "ARM7i load address", "02E80000"},
        {"DSi", "ARM7i size", "00000FF0 (4080 bytes)"},
        {"DSi", "DSi used size", "000A1000 (659456 bytes)"},
        {"DSi", "Banner size", "000023C0 (9152 bytes)"},
        {"DSi", "public.sav size", "00010000 (65536 bytes)"},
        {"DSi", "private.sav size", "00000200 (512 bytes)"},
        {"DSi", "Modcrypt area 1", "offset 00084000, size 00000800 (2048 bytes)"},
        {"DSi", "Modcrypt area 2", "offset 00090000, size 00000400 (1024 bytes)"},
    };
    EXPECT_EQ(rows, expected);

    const std::vector<InfoRow> all = dsiPageRows(BannerInfo{}, d);
    const auto value = [&all](const std::string& field) {
        for (const InfoRow& r : all)
            if (r.field == field)
                return r.value;
        return std::string("(no row)");
    };
    EXPECT_EQ(value("CERO (Japan)"), "age 12");
    EXPECT_EQ(value("USK (Germany)"), "prohibited");
    EXPECT_EQ(value("PEGI (Pan-Europe)"), "not rated");
    EXPECT_EQ(value("RSA signature"), "present");
    EXPECT_EQ(all.back().field, "RSA signature");
}

// Every list: keys unique (a JSON object may not repeat one), and every field that joins a
// row comes after a labelled field of its group (else its text would be lost on the page).
template <class Record, std::size_t kCount>
void checkList(const std::array<RecordField<Record>, kCount>& fields, bool itemRows = false)
{
    std::set<std::string> keys;
    std::set<std::string> labelledGroups;
    for (const RecordField<Record>& f : fields) {
        if (f.jsonKey) {
            EXPECT_TRUE(keys.insert(f.jsonKey).second) << f.jsonKey;
        }
        if (f.label)
            labelledGroups.insert(f.group);
        if (f.joins && !itemRows) {
            EXPECT_TRUE(labelledGroups.count(f.group)) << "a joining field of " << f.group;
        }
    }
}

TEST(DsiPage, FieldListsAreWellFormed)
{
    checkList(kDsiFields);
    checkList(kRsaFields);
    checkList(kBannerFields);
    checkList(kBannerAnimationFields);
    checkList(kBannerTitleFields);
    // Item rows take their label from the item itself.
    checkList(kBannerCrcFields, true);
    checkList(kAgeRatingFields, true);
    checkList(kModcryptFields, true);
    checkList(kSignatureFields, true);
}

TEST(DsiHeader, RegionFreeAndEnhancedAndUnknownTypes)
{
    ImageBuilder b;
    b.unitCode(0x02).poke32(0x1B0, 0xFFFFFFFF).poke32(0x234, 0x00030000);
    const DsiInfo d = readFrom(b);
    EXPECT_TRUE(d.isDsi);
    EXPECT_TRUE(d.regionFree());
    EXPECT_EQ(d.regionText(), "Region free");
    EXPECT_EQ(d.fileType(), "Cartridge");
    EXPECT_FALSE(d.rsaPresent);

    ImageBuilder c;
    c.unitCode(0x02).poke32(0x1B0, 0x40).poke32(0x234, 0x12345678);
    const DsiInfo e = readFrom(c);
    EXPECT_EQ(e.regionText(), "None"); // only an unnamed bit
    EXPECT_EQ(e.fileType(), "Unknown");
}

TEST(DsiHeader, DsOnlyImageKeepsItsFlagsButHasNoDsiPart)
{
    ImageBuilder b;
    b.unitCode(0x00).poke8(0x1BF, 0x60).pokeBytes(0x378, Bytes(20, 0x22));
    const DsiInfo d = readFrom(b);
    EXPECT_FALSE(d.isDsi);
    EXPECT_EQ(d.twlFlagKeys(), (std::vector<std::string>{"ndsCartIconSha1", "ndsCartHeaderRsa"}));

    const std::vector<InfoRow> rows = dsiPageRows(BannerInfo{}, d);
    const auto find = [&rows](const std::string& field) {
        return std::find_if(rows.begin(), rows.end(),
                            [&field](const InfoRow& r) { return r.field == field; });
    };
    ASSERT_NE(find("TWL flags (1BF)"), rows.end());
    EXPECT_EQ(find("TWL flags (1BF)")->value,
              "60: NDS cart with icon SHA-1, NDS cart with header RSA");
    ASSERT_NE(find("Unit code"), rows.end());
    EXPECT_EQ(find("Unit code")->value, std::string("00: ") + kNotDsiText);
    EXPECT_EQ(find("Title ID"), rows.end());
    ASSERT_NE(find("NDS whitelist phase 1 HMAC"), rows.end());
    EXPECT_EQ(find("NDS whitelist phase 1 HMAC")->value, "present");

    // A plain DS image of 2004: no flags row, no signature rows.
    const DsiInfo plain = readFrom(ImageBuilder());
    const auto plainRows = dsiPageRows(BannerInfo{}, plain);
    for (const auto& r : plainRows) {
        EXPECT_NE(r.group, "Flags");
        EXPECT_NE(r.group, "Signatures (not verified)");
    }
}

TEST(DsiHeader, ShortInputsReadAsZero)
{
    const Bytes few = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03};
    MemoryStream stream(few);
    const DsiInfo d = decodeHeader(RawHeader::read(stream)).dsi;
    EXPECT_TRUE(d.isDsi);
    EXPECT_EQ(d.titleIdText(), "0000000000000000");
    EXPECT_FALSE(d.rsaPresent);
}

TEST(DsiPage, BannerCrcRowsCarryTheirVerdicts)
{
    fixture::VersionedBanner v;
    v.version = 0x0003;
    v.base = fixture::sampleBanner();
    Bytes block = fixture::bannerBlock(v);
    block[0x06] ^= 0xFF; // the Korean-range CRC is wrong
    ImageBuilder builder;
    builder.rawBanner(block);
    const Bytes image = builder.build();
    MemoryStream stream(image);
    const BannerInfo banner =
        decodeBanner(RawBanner::read(stream, builder.layout().bannerOffset)).info;
    const auto rows = dsiPageRows(banner, decodeHeader(RawHeader::read(stream)).dsi);

    std::vector<std::pair<std::string, InfoRow::Verdict>> crcRows;
    for (const auto& r : rows)
        if (r.verdict != InfoRow::Verdict::None)
            crcRows.emplace_back(r.field, r.verdict);
    EXPECT_EQ(crcRows, (std::vector<std::pair<std::string, InfoRow::Verdict>>{
                           {"CRC-16 020-83F", InfoRow::Verdict::Ok},
                           {"CRC-16 020-93F", InfoRow::Verdict::Ok},
                           {"CRC-16 020-A3F", InfoRow::Verdict::Bad}}));
    const auto bad = std::find_if(rows.begin(), rows.end(),
                                  [](const InfoRow& r) { return r.field == "CRC-16 020-A3F"; });
    const std::uint16_t computed = fixture::crc16Modbus(block.data() + 0x20, 0xA20);
    char expected[64];
    std::snprintf(expected, sizeof expected, "stored %02X%02X, computed %04X: BAD", block[7],
                  block[6], computed);
    EXPECT_EQ(bad->value, expected);
}

} // namespace
} // namespace cartscope::core
