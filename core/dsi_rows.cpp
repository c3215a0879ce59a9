#include "core/dsi_rows.h"

#include "core/base/hex.h"

namespace cartscope::core {

namespace {

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
        for (const DsiField& f : kDsiFields)
            add("DSi", f.label, f.byteCount ? sizeText(dsi.*f.value) : hex8(dsi.*f.value));
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
