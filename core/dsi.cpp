#include "core/dsi.h"

#include "core/hex.h"
#include "core/le.h"

namespace cartscope::core {

const std::array<TwlFlag, 8> kTwlFlags = {{
    {0, "touchscreenSoundDsiMode", "Touchscreen/sound controller in DSi mode"},
    {1, "requireEulaAgreement", "Require EULA agreement"},
    {2, "customIcon", "Custom icon (banner.sav)"},
    {3, "showWifiConnectionIcon", "Show Nintendo Wi-Fi Connection icon"},
    {4, "showDsWirelessIcon", "Show DS Wireless icon"},
    {5, "ndsCartIconSha1", "NDS cart with icon SHA-1"},
    {6, "ndsCartHeaderRsa", "NDS cart with header RSA"},
    {7, "developerApp", "Developer app"},
}};

namespace {

// 0x2F0: one byte per rating board, in the reference's order; the unnamed bytes are reserved.
constexpr std::array<const char*, 16> kRatingBoards = {
    "CERO (Japan)",      "ESRB (US/Canada)",  "Reserved",        "USK (Germany)",
    "PEGI (Pan-Europe)", "Reserved",          "PEGI (Portugal)", "PEGI and BBFC (UK)",
    "AGCB (Australia)",  "GRB (South Korea)", "Reserved",        "Reserved",
    "Reserved",          "Reserved",          "Reserved",        "Reserved"};

// 0x1B0 region bits 0-5.
constexpr std::array<const char*, 6> kRegionNames = {"Japan",     "USA",   "Europe",
                                                     "Australia", "China", "Korea"};

struct SignatureField {
    const char* name;
    const char* key;
    std::uint32_t at;
};
constexpr std::size_t kHmacSize = 20;
constexpr std::array<SignatureField, 9> kHmacFields = {{
    {"ARM9 HMAC (with secure area)", "arm9", 0x300},
    {"ARM7 HMAC", "arm7", 0x314},
    {"Digest master HMAC", "digestMaster", 0x328},
    {"Banner HMAC", "banner", 0x33C},
    {"ARM9i HMAC (decrypted)", "arm9i", 0x350},
    {"ARM7i HMAC (decrypted)", "arm7i", 0x364},
    {"NDS whitelist phase 1 HMAC", "whitelistPhase1", 0x378},
    {"NDS whitelist phase 2 HMAC", "whitelistPhase2", 0x38C},
    {"ARM9 HMAC (without secure area)", "arm9NoSecureArea", 0x3A0},
}};
constexpr std::size_t kRsaAt = 0xF80;
constexpr std::size_t kRsaSize = 0x80;
static_assert(kRsaAt + kRsaSize == kDsiHeaderSize);
static_assert(kHmacFields.back().at + kHmacSize <= 0x3B4);

bool anyNonZero(std::span<const std::uint8_t> bytes)
{
    for (std::uint8_t b : bytes)
        if (b != 0)
            return true;
    return false;
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string s;
    for (const auto& p : parts)
        s += (s.empty() ? "" : ", ") + p;
    return s;
}

std::string sizeText(std::uint32_t v)
{
    return hex8(v) + " (" + std::to_string(v) + " bytes)";
}

} // namespace

std::string AgeRating::text() const
{
    if (!present)
        return "not rated";
    if (prohibited)
        return "prohibited";
    return "age " + std::to_string(age);
}

std::string DsiInfo::titleIdText() const
{
    return hex8(titleIdHigh) + hex8(titleIdLow);
}

std::string DsiInfo::fileType() const
{
    switch (titleIdHigh) {
    case 0x00030000:
        return "Cartridge";
    case 0x00030004:
        return "DSiWare";
    case 0x00030005:
        return "System Fun Tool";
    case 0x0003000F:
        return "Non-executable data";
    case 0x00030015:
        return "System Base Tool";
    case 0x00030017:
        return "System Menu";
    default:
        return "Unknown";
    }
}

std::vector<std::string> DsiInfo::regions() const
{
    std::vector<std::string> names;
    for (std::size_t bit = 0; bit < kRegionNames.size(); ++bit)
        if (regionFlags & (1u << bit))
            names.emplace_back(kRegionNames[bit]);
    return names;
}

std::string DsiInfo::regionText() const
{
    if (regionFree())
        return "Region free";
    const std::string names = joined(regions());
    return names.empty() ? "None" : names;
}

std::vector<std::string> DsiInfo::twlFlagKeys() const
{
    std::vector<std::string> keys;
    for (const TwlFlag& f : kTwlFlags)
        if (twlFlags & (1u << f.bit))
            keys.emplace_back(f.key);
    return keys;
}

std::vector<std::string> DsiInfo::twlFlagLabels() const
{
    std::vector<std::string> labels;
    for (const TwlFlag& f : kTwlFlags)
        if (twlFlags & (1u << f.bit))
            labels.emplace_back(f.label);
    return labels;
}

DsiInfo readDsiInfo(const Stream& image)
{
    std::array<std::uint8_t, kDsiHeaderSize> block{};
    image.pread(0, block); // what the file does not deliver stays zero
    const std::span<const std::uint8_t> b(block);

    DsiInfo d;
    d.unitCode = block[0x012]; // 0x012 unit code
    d.isDsi = (d.unitCode & 0x02) != 0;
    d.twlFlags = block[0x1BF];           // 0x1BF flags
    d.regionFlags = le32(b, 0x1B0);      // 0x1B0 region flags
    d.arm9iRomOffset = le32(b, 0x1C0);   // 0x1C0 ARM9i ROM offset
    d.arm9iLoadAddress = le32(b, 0x1C8); // 0x1C8 ARM9i load address
    d.arm9iSize = le32(b, 0x1CC);        // 0x1CC ARM9i size
    d.arm7iRomOffset = le32(b, 0x1D0);   // 0x1D0 ARM7i ROM offset
    d.arm7iLoadAddress = le32(b, 0x1D8); // 0x1D8 ARM7i load address
    d.arm7iSize = le32(b, 0x1DC);        // 0x1DC ARM7i size
    d.bannerSize = le32(b, 0x208);       // 0x208 banner (icon/title) size
    d.dsiUsedSize = le32(b, 0x210);      // 0x210 total used ROM size including the DSi area
    d.modcrypt[0] = {le32(b, 0x220), le32(b, 0x224)}; // 0x220 modcrypt area 1 offset, size
    d.modcrypt[1] = {le32(b, 0x228), le32(b, 0x22C)}; // 0x228 modcrypt area 2 offset, size
    d.titleIdLow = le32(b, 0x230);                    // 0x230 title ID, low word
    d.titleIdHigh = le32(b, 0x234);                   // 0x234 title ID, high word (the file type)
    d.publicSaveSize = le32(b, 0x238);                // 0x238 public.sav size
    d.privateSaveSize = le32(b, 0x23C);               // 0x23C private.sav size
    for (std::size_t i = 0; i < d.ageRatings.size(); ++i) {
        AgeRating& r = d.ageRatings[i];
        r.board = kRatingBoards[i];
        r.raw = block[0x2F0 + i]; // 0x2F0 age ratings
        r.present = (r.raw & 0x80) != 0;
        r.prohibited = (r.raw & 0x40) != 0;
        r.age = r.raw & 0x1F;
    }
    for (const SignatureField& f : kHmacFields)
        d.hmacs.push_back({f.name, f.key, f.at, anyNonZero(b.subspan(f.at, kHmacSize))});
    d.rsaPresent = anyNonZero(b.subspan(kRsaAt, kRsaSize)); // 0xF80 RSA signature
    return d;
}

std::vector<InfoRow> dsiPageRows(const BannerInfo& banner, const DsiInfo& dsi)
{
    std::vector<InfoRow> rows;
    const auto add = [&rows](const char* group, std::string field, std::string value,
                             InfoRow::Verdict verdict = InfoRow::Verdict::None) {
        rows.push_back({group, std::move(field), std::move(value), verdict});
    };

    add("Banner", "Version", banner.versionText());
    add("Banner", "Size", sizeText(static_cast<std::uint32_t>(banner.size)));
    if (!banner.status().empty())
        add("Banner", "Status", banner.status());
    for (const BannerCrc& crc : banner.crcs) {
        std::string value = "stored " + crc.storedText() + ", computed " + crc.computedText() +
                            ": " + crc.verdict();
        if (!crc.complete)
            value += " (range runs past the end of the file)";
        add("Banner", "CRC-16 " + crc.rangeText(), value,
            crc.ok() ? InfoRow::Verdict::Ok : InfoRow::Verdict::Bad);
    }
    if (banner.version == kBannerVersionAnimated)
        add("Banner", "Animation",
            std::to_string(banner.animation.sequence.size()) + " frames" +
                (banner.animation.ended ? "" : " (no end token)"));

    if (dsi.twlFlags != 0)
        add("Flags", "TWL flags (1BF)", hex2(dsi.twlFlags) + ": " + joined(dsi.twlFlagLabels()));

    if (!dsi.isDsi) {
        add("DSi", "Unit code", hex2(dsi.unitCode) + ": " + kNotDsiText);
    } else {
        add("DSi", "Unit code",
            hex2(dsi.unitCode) + (dsi.unitCode == 0x03 ? ": DSi only" : ": DSi enhanced"));
        add("DSi", "Region", hex8(dsi.regionFlags) + ": " + dsi.regionText());
        add("DSi", "Title ID", dsi.titleIdText() + " (" + dsi.fileType() + ")");
        add("DSi", "ARM9i ROM offset", hex8(dsi.arm9iRomOffset));
        add("DSi", "ARM9i load address", hex8(dsi.arm9iLoadAddress));
        add("DSi", "ARM9i size", sizeText(dsi.arm9iSize));
        add("DSi", "ARM7i ROM offset", hex8(dsi.arm7iRomOffset));
        add("DSi", "ARM7i load address", hex8(dsi.arm7iLoadAddress));
        add("DSi", "ARM7i size", sizeText(dsi.arm7iSize));
        add("DSi", "DSi used size", sizeText(dsi.dsiUsedSize));
        add("DSi", "Banner size", sizeText(dsi.bannerSize));
        add("DSi", "public.sav size", sizeText(dsi.publicSaveSize));
        add("DSi", "private.sav size", sizeText(dsi.privateSaveSize));
        for (std::size_t i = 0; i < dsi.modcrypt.size(); ++i)
            add("DSi", "Modcrypt area " + std::to_string(i + 1),
                "offset " + hex8(dsi.modcrypt[i].offset) + ", size " +
                    sizeText(dsi.modcrypt[i].size));
        for (const AgeRating& r : dsi.ageRatings)
            if (std::string(r.board) != "Reserved" || r.raw != 0)
                add("Age ratings", r.board, r.text());
    }

    bool anySignature = dsi.rsaPresent;
    for (const auto& h : dsi.hmacs)
        anySignature = anySignature || h.present;
    if (dsi.isDsi || anySignature) {
        for (const auto& h : dsi.hmacs)
            add("Signatures (not verified)", h.name, h.present ? "present" : "absent");
        add("Signatures (not verified)", "RSA signature", dsi.rsaPresent ? "present" : "absent");
    }
    return rows;
}

} // namespace cartscope::core
