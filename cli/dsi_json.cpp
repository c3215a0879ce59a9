#include "cli/dsi_json.h"

#include <span>

#include "cli/common.h"
#include "core/banner_fields.h"
#include "core/base/text.h"
#include "core/dsi_fields.h"

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

// One value as JSON: numbers and yes/no facts as themselves, a list as an array, everything
// else as the text it shows.
std::string jsonValue(core::ValueKind kind, const core::FieldValue& value)
{
    switch (kind) {
    case core::ValueKind::Number:
    case core::ValueKind::ByteSize:
        return std::to_string(static_cast<std::int64_t>(std::get<std::uint64_t>(value)));
    case core::ValueKind::Flag:
    case core::ValueKind::Check:
    case core::ValueKind::Presence:
        return std::get<bool>(value) ? "true" : "false";
    case core::ValueKind::TextList:
        return stringArray(std::get<std::vector<std::string>>(value));
    default:
        return core::jsonString(core::valueText(kind, value));
    }
}

// Every field of the record that has a key, in the list's order.
template <class Record>
void addFields(JsonObject& o, std::span<const core::RecordField<Record>> fields,
               const Record& record)
{
    for (const core::RecordField<Record>& f : fields)
        if (f.jsonKey)
            o.raw(f.jsonKey, jsonValue(f.kind, f.get(record)));
}

// A list of records as an array with one object per line.
template <class Item, std::size_t kFields, class Items>
std::string itemArray(const std::array<core::RecordField<Item>, kFields>& fields,
                      const Items& items, int indent)
{
    std::vector<std::string> objects;
    for (const Item& item : items) {
        JsonObject o;
        addFields<Item>(o, fields, item);
        objects.push_back(o.line());
    }
    return lines(objects, indent);
}

} // namespace

std::string bannerJson(const core::BannerInfo& banner, int indent)
{
    std::vector<std::string> titles;
    std::vector<std::string> units;
    for (const auto& f : core::kBannerTitleFields) {
        const auto title = std::get<std::u16string_view>(f.get(banner));
        titles.push_back(core::utf16ToUtf8(title));
        units.push_back(core::hexUtf16(title));
    }
    JsonObject o;
    addFields<core::BannerInfo>(o, core::kBannerFields, banner);
    o.raw("crcs", itemArray(core::kBannerCrcFields, banner.crcs, indent + 2))
        .raw("titles", stringArray(titles))
        .raw("titlesUtf16", stringArray(units));
    addFields<core::BannerInfo>(o, core::kBannerAnimationFields, banner);
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
    JsonObject o;
    addFields<core::DsiInfo>(o, core::kDsiFields, dsi);
    o.raw("ageRatings", itemArray(core::kAgeRatingFields, dsi.ageRatings, indent + 2))
        .raw("modcryptAreas", itemArray(core::kModcryptFields, dsi.modcrypt, indent + 2))
        .raw("hmacs", itemArray(core::kSignatureFields, dsi.hmacs, indent + 2));
    addFields<core::DsiInfo>(o, core::kRsaFields, dsi);
    return o.text(indent);
}

} // namespace cartscope::cli
