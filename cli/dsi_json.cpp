#include "cli/dsi_json.h"

#include "cli/common.h"
#include "core/base/hex.h"
#include "core/base/text.h"

namespace cartscope::cli {

namespace {

std::string stringArray(const std::vector<std::string>& items)
{
    std::string s = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        s += (i ? ", " : "") + core::jsonString(items[i]);
    return s + "]";
}

// One element per line, each already encoded.
std::string lines(const std::vector<std::string>& items, int indent)
{
    if (items.empty())
        return "[]";
    const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
    std::string s = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        s += (i ? ",\n" : "\n") + pad + items[i];
    return s + "\n" + std::string(static_cast<std::size_t>(indent), ' ') + "]";
}

} // namespace

std::string bannerJson(const core::BannerInfo& banner, int indent)
{
    std::vector<std::string> crcs;
    for (const auto& c : banner.crcs)
        crcs.push_back("{\"range\": " + core::jsonString(c.rangeText()) +
                       ", \"stored\": " + core::jsonString(c.storedText()) +
                       ", \"computed\": " + core::jsonString(c.computedText()) +
                       ", \"ok\": " + (c.ok() ? "true" : "false") + "}");
    std::vector<std::string> titles;
    std::vector<std::string> units;
    for (const auto& t : banner.titles) {
        titles.push_back(core::utf16ToUtf8(t));
        units.push_back(core::hexUtf16(t));
    }
    JsonObject o;
    o.str("version", banner.versionText())
        .num("size", static_cast<std::int64_t>(banner.size))
        .num("bytesInFile", static_cast<std::int64_t>(banner.bytesInFile))
        .boolean("truncated", banner.truncated())
        .str("status", banner.status())
        .raw("crcs", lines(crcs, indent + 2))
        .raw("titles", stringArray(titles))
        .raw("titlesUtf16", stringArray(units))
        .boolean("animated", banner.animated)
        .num("frames", static_cast<std::int64_t>(banner.animation.sequence.size()));
    return o.text(indent);
}

std::string twlFlagsJson(const core::DsiInfo& dsi)
{
    return stringArray(dsi.twlFlagKeys());
}

std::string dsiJson(const core::DsiInfo& dsi, int indent)
{
    if (!dsi.isDsi)
        return "null";
    std::vector<std::string> ratings;
    for (const auto& r : dsi.ageRatings)
        ratings.push_back("{\"board\": " + core::jsonString(r.board) +
                          ", \"present\": " + (r.present ? "true" : "false") +
                          ", \"prohibited\": " + (r.prohibited ? "true" : "false") +
                          ", \"age\": " + std::to_string(r.age) + "}");
    std::vector<std::string> modcrypt;
    for (const auto& m : dsi.modcrypt)
        modcrypt.push_back("{\"offset\": " + core::jsonString(core::hex8(m.offset)) +
                           ", \"size\": " + core::jsonString(core::hex8(m.size)) + "}");
    std::vector<std::string> hmacs;
    for (const auto& h : dsi.hmacs)
        hmacs.push_back("{\"name\": " + core::jsonString(h.key) +
                        ", \"offset\": " + core::jsonString(core::hex8(h.at).substr(4)) +
                        ", \"present\": " + (h.present ? "true" : "false") + "}");
    JsonObject o;
    o.str("unitCode", core::hex2(dsi.unitCode))
        .str("regionFlags", core::hex8(dsi.regionFlags))
        .boolean("regionFree", dsi.regionFree())
        .raw("regions", stringArray(dsi.regions()))
        .str("titleId", dsi.titleIdText())
        .str("fileType", dsi.fileType())
        .str("twlFlags", core::hex2(dsi.twlFlags));
    for (const core::DsiField& f : core::kDsiFields)
        o.str(f.jsonKey, core::hex8(dsi.*f.value));
    o.raw("ageRatings", lines(ratings, indent + 2))
        .raw("modcryptAreas", lines(modcrypt, indent + 2))
        .raw("hmacs", lines(hmacs, indent + 2))
        .boolean("rsaSignaturePresent", dsi.rsaPresent);
    return o.text(indent);
}

} // namespace cartscope::cli
