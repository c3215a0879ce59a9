#include "core/image/dsi.h"

#include "core/base/hex.h"

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

// 0x1B0 region bits 0-5.
constexpr std::array<const char*, 6> kRegionNames = {"Japan",     "USA",   "Europe",
                                                     "Australia", "China", "Korea"};

std::string joined(const std::vector<std::string>& parts)
{
    std::string s;
    for (const auto& p : parts)
        s += (s.empty() ? "" : ", ") + p;
    return s;
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

} // namespace cartscope::core
