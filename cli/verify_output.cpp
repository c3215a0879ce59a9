#include "cli/verify_output.h"

#include "cli/common.h"
#include "core/base/text.h"

namespace cartscope::cli {

std::string hashesJson(const core::ImageHashes& h)
{
    JsonObject o;
    o.str("crc32",
          core::lowerHex(std::array<std::uint8_t, 4>{
              static_cast<std::uint8_t>(h.crc32 >> 24), static_cast<std::uint8_t>(h.crc32 >> 16),
              static_cast<std::uint8_t>(h.crc32 >> 8), static_cast<std::uint8_t>(h.crc32)}));
    const auto digest = [&](const char* key, core::DigestKind kind) {
        const auto& d = h.digest(kind);
        if (d)
            o.str(key, core::lowerHex(*d));
        else
            o.raw(key, "null");
    };
    digest("md5", core::DigestKind::Md5);
    digest("sha1", core::DigestKind::Sha1);
    digest("sha256", core::DigestKind::Sha256);
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
