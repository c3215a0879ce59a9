#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "core/banner/banner_info.h"
#include "core/interpret.h"

// The banner's fields as every front end shows them: the window's banner side and "DSi" page,
// the text report and `info --json` are renderers of these lists.
namespace cartscope::core {

inline constexpr const char* kBannerGroup = "Banner";

// The banner as a whole: its version, size, how much of it the file holds, what is wrong.
inline constexpr std::array<RecordField<BannerInfo>, 5> kBannerFields = {{
    {kBannerGroup, "Version", "version", ValueKind::Hex16,
     [](const BannerInfo& b) -> FieldValue { return std::uint64_t{b.version}; }},
    {kBannerGroup, "Size", "size", ValueKind::ByteSize,
     [](const BannerInfo& b) -> FieldValue { return b.size; }},
    {kBannerGroup, nullptr, "bytesInFile", ValueKind::Number,
     [](const BannerInfo& b) -> FieldValue { return b.bytesInFile; }},
    {kBannerGroup, nullptr, "truncated", ValueKind::Flag,
     [](const BannerInfo& b) -> FieldValue { return b.truncated(); }},
    {kBannerGroup, "Status", "status", ValueKind::Text,
     [](const BannerInfo& b) -> FieldValue { return b.status(); }},
}};

inline constexpr const char* kCrcPastEndText = "(range runs past the end of the file)";

// One CRC-16 of the banner. On the "DSi" page it is the row "CRC-16 <range>", whose value reads
// "stored XXXX, computed XXXX: OK", with a note when the range runs past the end of the file.
inline constexpr std::array<RecordField<BannerCrc>, 5> kBannerCrcFields = {{
    {kBannerGroup, nullptr, "range", ValueKind::Text,
     [](const BannerCrc& c) -> FieldValue { return c.rangeText(); }},
    {kBannerGroup, "stored", "stored", ValueKind::Crc16,
     [](const BannerCrc& c) -> FieldValue { return std::uint64_t{c.stored}; }},
    {kBannerGroup, "computed", "computed", ValueKind::Crc16,
     [](const BannerCrc& c) -> FieldValue { return std::uint64_t{c.computed}; }},
    {kBannerGroup, nullptr, "ok", ValueKind::Check,
     [](const BannerCrc& c) -> FieldValue { return c.ok(); }, ": "},
    {kBannerGroup, nullptr, nullptr, ValueKind::Text,
     [](const BannerCrc& c) -> FieldValue {
         return c.complete ? std::string_view() : std::string_view(kCrcPastEndText);
     },
     " "},
}};

namespace detail {
template <std::size_t kSlot> FieldValue titleOf(const BannerInfo& b)
{
    return std::u16string_view(b.titles[kSlot]);
}
} // namespace detail

// The titles, Japanese first, each labelled with its language; a slot the version lacks is
// empty. The text report shows the first six, the window a tab each.
inline constexpr std::array<RecordField<BannerInfo>, 8> kBannerTitleFields = {{
    {kBannerGroup, kAllTitleLanguages[0], nullptr, ValueKind::Title, detail::titleOf<0>},
    {kBannerGroup, kAllTitleLanguages[1], nullptr, ValueKind::Title, detail::titleOf<1>},
    {kBannerGroup, kAllTitleLanguages[2], nullptr, ValueKind::Title, detail::titleOf<2>},
    {kBannerGroup, kAllTitleLanguages[3], nullptr, ValueKind::Title, detail::titleOf<3>},
    {kBannerGroup, kAllTitleLanguages[4], nullptr, ValueKind::Title, detail::titleOf<4>},
    {kBannerGroup, kAllTitleLanguages[5], nullptr, ValueKind::Title, detail::titleOf<5>},
    {kBannerGroup, kAllTitleLanguages[6], nullptr, ValueKind::Title, detail::titleOf<6>},
    {kBannerGroup, kAllTitleLanguages[7], nullptr, ValueKind::Title, detail::titleOf<7>},
}};

// The animated icon. On the "DSi" page (for the animated version only) it is the row
// "Animation": "N frames", with a note when the sequence has no end token.
inline constexpr std::array<RecordField<BannerInfo>, 4> kBannerAnimationFields = {{
    {kBannerGroup, nullptr, "animated", ValueKind::Flag,
     [](const BannerInfo& b) -> FieldValue { return b.animated; }},
    {kBannerGroup, "Animation", "frames", ValueKind::Number,
     [](const BannerInfo& b) -> FieldValue { return std::uint64_t{b.animation.sequence.size()}; }},
    {kBannerGroup, nullptr, nullptr, ValueKind::Text,
     [](const BannerInfo&) -> FieldValue { return std::string_view("frames"); }, " "},
    {kBannerGroup, nullptr, nullptr, ValueKind::Text,
     [](const BannerInfo& b) -> FieldValue {
         return b.animation.ended ? std::string_view() : std::string_view("(no end token)");
     },
     " "},
}};

} // namespace cartscope::core
