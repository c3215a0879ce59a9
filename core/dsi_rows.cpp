#include "core/dsi_rows.h"

#include <span>

namespace cartscope::core {

namespace {

// A field's text as the page shows it: a byte count also in decimal.
std::string pageText(ValueKind kind, const FieldValue& value)
{
    std::string text = valueText(kind, value);
    if (kind == ValueKind::HexSize || kind == ValueKind::ByteSize)
        text += " (" + std::to_string(std::get<std::uint64_t>(value)) + " bytes)";
    return text;
}

// The fields of one record in `group` as rows: a labelled field starts a row, a joining one
// ends the row before it. An empty labelled value makes no row (a banner without a problem has
// no "Status" row).
template <class Record>
void addRows(std::vector<InfoRow>& rows, std::span<const RecordField<Record>> fields,
             const Record& record, const char* group)
{
    bool open = false;
    for (const RecordField<Record>& f : fields) {
        if (std::string_view(f.group) != group)
            continue;
        if (f.label) {
            std::string text = pageText(f.kind, f.get(record));
            open = !text.empty();
            if (open)
                rows.push_back({group, f.label, std::move(text)});
        } else if (f.joins && open) {
            const std::string text = pageText(f.kind, f.get(record));
            if (!text.empty())
                rows.back().value += f.joins + text + f.closes;
        }
    }
}

// One item of a list as one row under `label`: its labelled fields as "label text" joined by
// ", ", then its joining fields; a Check field colours the row.
template <class Item>
void addItemRow(std::vector<InfoRow>& rows, std::span<const RecordField<Item>> fields,
                const Item& item, const char* group, std::string label)
{
    InfoRow row{group, std::move(label), {}};
    for (const RecordField<Item>& f : fields) {
        const FieldValue value = f.get(item);
        if (f.kind == ValueKind::Check)
            row.verdict = std::get<bool>(value) ? InfoRow::Verdict::Ok : InfoRow::Verdict::Bad;
        const std::string text = pageText(f.kind, value);
        if (f.label)
            row.value += (row.value.empty() ? "" : ", ") + std::string(f.label) + " " + text;
        else if (f.joins && !text.empty())
            row.value += f.joins + text + f.closes;
    }
    rows.push_back(std::move(row));
}

void addBannerRows(std::vector<InfoRow>& rows, const BannerInfo& banner)
{
    addRows<BannerInfo>(rows, kBannerFields, banner, kBannerGroup);
    for (const BannerCrc& crc : banner.crcs)
        addItemRow<BannerCrc>(rows, kBannerCrcFields, crc, kBannerGroup,
                              "CRC-16 " + crc.rangeText());
    if (banner.version == kBannerVersionAnimated)
        addRows<BannerInfo>(rows, kBannerAnimationFields, banner, kBannerGroup);
}

void addDsiRows(std::vector<InfoRow>& rows, const DsiInfo& dsi)
{
    if (dsi.twlFlags != 0)
        addRows<DsiInfo>(rows, kDsiFields, dsi, kFlagsGroup);
    const std::size_t first = rows.size();
    addRows<DsiInfo>(rows, kDsiFields, dsi, kDsiGroup);
    if (!dsi.isDsi) {
        rows.resize(first + 1); // the unit code's row alone
        return;
    }
    for (std::size_t i = 0; i < dsi.modcrypt.size(); ++i)
        addItemRow<ModcryptArea>(rows, kModcryptFields, dsi.modcrypt[i], kDsiGroup,
                                 "Modcrypt area " + std::to_string(i + 1));
    for (const AgeRating& r : dsi.ageRatings)
        if (std::string_view(r.board) != "Reserved" || r.raw != 0)
            addItemRow<AgeRating>(rows, kAgeRatingFields, r, kRatingsGroup, r.board);
}

} // namespace

std::string unitText(const DsiInfo& dsi)
{
    if (!dsi.isDsi)
        return kNotDsiText;
    return dsi.unitCode == 0x03 ? "DSi only" : "DSi enhanced";
}

std::vector<InfoRow> dsiPageRows(const BannerInfo& banner, const DsiInfo& dsi)
{
    std::vector<InfoRow> rows;
    addBannerRows(rows, banner);
    addDsiRows(rows, dsi);
    bool anySignature = dsi.rsaPresent;
    for (const auto& h : dsi.hmacs)
        anySignature = anySignature || h.present;
    if (dsi.isDsi || anySignature) {
        for (const SignaturePresence& h : dsi.hmacs)
            addItemRow<SignaturePresence>(rows, kSignatureFields, h, kSignaturesGroup, h.name);
        addRows<DsiInfo>(rows, kRsaFields, dsi, kSignaturesGroup);
    }
    return rows;
}

} // namespace cartscope::core
