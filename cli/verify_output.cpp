#include "cli/verify_output.h"

#include "cli/common.h"
#include "core/base/text.h"

namespace cartscope::cli {

std::string hashesJson(const core::ImageHashes& h)
{
    JsonObject o;
    for (const core::HashField& field : core::kHashFields) {
        if (const auto hex = core::hashHex(h, field))
            o.str(field.key, *hex);
        else
            o.raw(field.key, "null");
    }
    return o.line();
}

std::string trimJson(const core::TrimInfo& t)
{
    JsonObject o;
    o.num("usedSize", static_cast<std::int64_t>(t.usedSize))
        .raw("chipSize", t.chipSize ? std::to_string(*t.chipSize) : "null")
        .str("state", core::trimStateName(t.state))
        .boolean("paddingClean", t.paddingClean);
    return o.line();
}

std::string matchJson(const core::DatMatch& m, const core::DatSet& dats)
{
    const core::DatRom& e = dats.roms()[m.rom];
    const core::DatInfo& dat = dats.dats()[e.dat];
    JsonObject o;
    o.str("game", std::string(e.game))
        .str("rom", std::string(e.rom))
        .str("dat", dat.name)
        .str("datVersion", dat.version)
        .str("by", core::matchedByName(m.by))
        .raw("padding", m.padding ? (*m.padding == 0xFF ? "\"ff\"" : "\"00\"") : "null")
        .num("paddedSize", static_cast<std::int64_t>(m.paddedSize));
    return o.line();
}

void addText(JsonObject& o, const std::string& key, const std::string& text)
{
    o.str(key, text);
    if (core::utf16ToUtf8(core::utf8ToUtf16(text)) != text)
        o.str(key + "Bytes", hexBytes(core::charBytes(text)));
}

} // namespace cartscope::cli
