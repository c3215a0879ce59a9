#pragma once

#include <array>
#include <string>

#include "core/image/dsi.h"
#include "core/interpret.h"

// The DSi header's fields as every front end shows them: the window's "DSi" page and
// `info --json` are renderers of these lists.
namespace cartscope::core {

inline constexpr const char* kDsiGroup = "DSi";
inline constexpr const char* kFlagsGroup = "Flags";
inline constexpr const char* kRatingsGroup = "Age ratings";
inline constexpr const char* kSignaturesGroup = "Signatures (not verified)";

inline constexpr const char* kNotDsiText = "Not a DSi image: the unit code has no DSi bit";

// What the unit code says: "DSi only", "DSi enhanced" or kNotDsiText.
std::string unitText(const DsiInfo& dsi);

namespace detail {
template <std::uint32_t DsiInfo::*kMember> FieldValue dsiWord(const DsiInfo& d)
{
    return std::uint64_t{d.*kMember};
}
} // namespace detail

// The DSi header. Without the DSi bit the page shows the unit code's row alone (and the JSON
// has null); the "Flags" row shows only when a flag is set.
inline constexpr std::array<RecordField<DsiInfo>, 20> kDsiFields = {{
    {kDsiGroup, "Unit code", "unitCode", ValueKind::Code,
     [](const DsiInfo& d) -> FieldValue { return std::uint64_t{d.unitCode}; }},
    {kDsiGroup, nullptr, nullptr, ValueKind::Text,
     [](const DsiInfo& d) -> FieldValue { return unitText(d); }, ": "},
    {kDsiGroup, "Region", "regionFlags", ValueKind::Hex32,
     [](const DsiInfo& d) -> FieldValue { return std::uint64_t{d.regionFlags}; }},
    {kDsiGroup, nullptr, nullptr, ValueKind::Text,
     [](const DsiInfo& d) -> FieldValue { return d.regionText(); }, ": "},
    {kDsiGroup, nullptr, "regionFree", ValueKind::Flag,
     [](const DsiInfo& d) -> FieldValue { return d.regionFree(); }},
    {kDsiGroup, nullptr, "regions", ValueKind::TextList,
     [](const DsiInfo& d) -> FieldValue { return d.regions(); }},
    {kDsiGroup, "Title ID", "titleId", ValueKind::Text,
     [](const DsiInfo& d) -> FieldValue { return d.titleIdText(); }},
    {kDsiGroup, nullptr, "fileType", ValueKind::Text,
     [](const DsiInfo& d) -> FieldValue { return d.fileType(); }, " (", ")"},
    {kFlagsGroup, "TWL flags (1BF)", "twlFlags", ValueKind::Code,
     [](const DsiInfo& d) -> FieldValue { return std::uint64_t{d.twlFlags}; }},
    {kFlagsGroup, nullptr, nullptr, ValueKind::TextList,
     [](const DsiInfo& d) -> FieldValue { return d.twlFlagLabels(); }, ": "},
    {kDsiGroup, "ARM9i ROM offset", "arm9iRomOffset", ValueKind::Hex32,
     detail::dsiWord<&DsiInfo::arm9iRomOffset>},
    {kDsiGroup, "ARM9i load address", "arm9iLoadAddress", ValueKind::Hex32,
     detail::dsiWord<&DsiInfo::arm9iLoadAddress>},
    {kDsiGroup, "ARM9i size", "arm9iSize", ValueKind::HexSize,
     detail::dsiWord<&DsiInfo::arm9iSize>},
    {kDsiGroup, "ARM7i ROM offset", "arm7iRomOffset", ValueKind::Hex32,
     detail::dsiWord<&DsiInfo::arm7iRomOffset>},
    {kDsiGroup, "ARM7i load address", "arm7iLoadAddress", ValueKind::Hex32,
     detail::dsiWord<&DsiInfo::arm7iLoadAddress>},
    {kDsiGroup, "ARM7i size", "arm7iSize", ValueKind::HexSize,
     detail::dsiWord<&DsiInfo::arm7iSize>},
    {kDsiGroup, "DSi used size", "dsiUsedSize", ValueKind::HexSize,
     detail::dsiWord<&DsiInfo::dsiUsedSize>},
    {kDsiGroup, "Banner size", "bannerSize", ValueKind::HexSize,
     detail::dsiWord<&DsiInfo::bannerSize>},
    {kDsiGroup, "public.sav size", "publicSaveSize", ValueKind::HexSize,
     detail::dsiWord<&DsiInfo::publicSaveSize>},
    {kDsiGroup, "private.sav size", "privateSaveSize", ValueKind::HexSize,
     detail::dsiWord<&DsiInfo::privateSaveSize>},
}};

// One age rating: on the page the row "<board>": "not rated", "prohibited" or "age N" (a
// reserved board with nothing set has no row).
inline constexpr std::array<RecordField<AgeRating>, 5> kAgeRatingFields = {{
    {kRatingsGroup, nullptr, "board", ValueKind::Text,
     [](const AgeRating& r) -> FieldValue { return std::string_view(r.board); }},
    {kRatingsGroup, nullptr, "present", ValueKind::Flag,
     [](const AgeRating& r) -> FieldValue { return r.present; }},
    {kRatingsGroup, nullptr, "prohibited", ValueKind::Flag,
     [](const AgeRating& r) -> FieldValue { return r.prohibited; }},
    {kRatingsGroup, nullptr, "age", ValueKind::Number,
     [](const AgeRating& r) -> FieldValue { return static_cast<std::uint64_t>(r.age); }},
    {kRatingsGroup, nullptr, nullptr, ValueKind::Text,
     [](const AgeRating& r) -> FieldValue { return r.text(); }, ""},
}};

// One modcrypt area: on the page the row "Modcrypt area N": "offset X, size Y (N bytes)".
inline constexpr std::array<RecordField<ModcryptArea>, 2> kModcryptFields = {{
    {kDsiGroup, "offset", "offset", ValueKind::Hex32,
     [](const ModcryptArea& m) -> FieldValue { return std::uint64_t{m.offset}; }},
    {kDsiGroup, "size", "size", ValueKind::HexSize,
     [](const ModcryptArea& m) -> FieldValue { return std::uint64_t{m.size}; }},
}};

// One signature: on the page the row "<name>": "present" or "absent". Nothing is verified.
inline constexpr std::array<RecordField<SignaturePresence>, 3> kSignatureFields = {{
    {kSignaturesGroup, nullptr, "name", ValueKind::Text,
     [](const SignaturePresence& s) -> FieldValue { return std::string_view(s.key); }},
    {kSignaturesGroup, nullptr, "offset", ValueKind::Hex16,
     [](const SignaturePresence& s) -> FieldValue { return std::uint64_t{s.at & 0xFFFFu}; }},
    {kSignaturesGroup, nullptr, "present", ValueKind::Presence,
     [](const SignaturePresence& s) -> FieldValue { return s.present; }, ""},
}};

// After the signatures' list.
inline constexpr std::array<RecordField<DsiInfo>, 1> kRsaFields = {{
    {kSignaturesGroup, "RSA signature", "rsaSignaturePresent", ValueKind::Presence,
     [](const DsiInfo& d) -> FieldValue { return d.rsaPresent; }},
}};

} // namespace cartscope::core
