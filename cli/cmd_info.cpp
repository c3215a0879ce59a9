#include <sstream>

#include "cli/common.h"
#include "core/hex.h"
#include "core/paths.h"
#include "core/report.h"
#include "core/text.h"

namespace cartscope::cli {

namespace {

std::string headerJson(const core::TNDSHeader& h, int indent)
{
    JsonObject o;
    o.str("GameTitle", core::fieldText(h.GameTitle))
        .str("GameCode", core::fieldText(h.GameCode))
        .str("Serial", h.Serial)
        .str("MakerCode", core::fieldText(h.MakerCode))
        .str("UnitCode", h.UnitCode)
        .str("DeviceType", h.DeviceType)
        .str("DeviceCapacity", h.DeviceCapacity)
        .str("Reserved1", hexBytes(h.Reserved1))
        .str("RomVersion", h.RomVersion)
        .num("AutostartFlags", h.AutostartFlags)
        .str("Arm9RomOffset", h.Arm9RomOffset)
        .str("Arm9EntryAddress", h.Arm9EntryAddress)
        .str("Arm9RamAddress", h.Arm9RamAddress)
        .str("Arm9Size", h.Arm9Size)
        .str("Arm7RomOffset", h.Arm7RomOffset)
        .str("Arm7EntryAddress", h.Arm7EntryAddress)
        .str("Arm7RamAddress", h.Arm7RamAddress)
        .str("Arm7Size", h.Arm7Size)
        .str("FntOffset", h.FntOffset)
        .str("FntSize", h.FntSize)
        .str("FatOffset", h.FatOffset)
        .str("FatSize", h.FatSize)
        .str("Arm9OverlayOffset", h.Arm9OverlayOffset)
        .str("Arm9OverlaySize", h.Arm9OverlaySize)
        .str("Arm7OverlayOffset", h.Arm7OverlayOffset)
        .str("Arm7OverlaySize", h.Arm7OverlaySize)
        .str("RomControl", h.RomControl)
        .str("BannerOffset", h.BannerOffset)
        .str("SecureAreaCrc", h.SecureAreaCrc)
        .str("SecureAreaCrcCalc", h.SecureAreaCrcCalc)
        .str("SecureAreaDelay", h.SecureAreaDelay)
        .str("Arm9AutoloadHook", h.Arm9AutoloadHook)
        .str("Arm7AutoloadHook", h.Arm7AutoloadHook)
        .str("SecureAreaDisableLo", hexBytes(h.SecureAreaDisableLo))
        .str("SecureAreaDisableHi", hexBytes(h.SecureAreaDisableHi))
        .str("TotalUsedRomSize", h.TotalUsedRomSize)
        .str("HeaderSize", h.HeaderSize)
        .str("Reserved2", hexBytes(h.Reserved2))
        .str("Logo", hexBytes(h.Logo))
        .str("LogoCrc", h.LogoCrc)
        .str("LogoCrcCalc", h.LogoCrcCalc)
        .str("HeaderCrc", h.HeaderCrc)
        .str("HeaderCrcCalc", h.HeaderCrcCalc)
        .str("FileSize", h.FileSize);
    std::array<std::uint8_t, 512> bad{};
    for (std::size_t i = 0; i < bad.size(); ++i)
        bad[i] = static_cast<std::uint8_t>(h.BadDataBlock[i]);
    o.str("BadDataBlock", hexBytes(bad));
    return o.text(indent);
}

std::string checkJson(const std::string& stored, const std::string& computed,
                      const std::string& verdict)
{
    return "{\"stored\": " + core::jsonString(stored) +
           ", \"computed\": " + core::jsonString(computed) +
           ", \"ok\": " + (verdict == "OK" ? "true" : "false") + "}";
}

int cmdInfo(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const bool json = inv.has("--json");
    std::ostream& out = ctx.out;
    const Input in = openInput(path);
    const core::LoadedImage img = load(in, true);
    const core::DisplayValues& d = img.display;
    if (!json) {
        const auto lines = core::BuildHeaderInfoReport(core::namePart(in.given), d, img.banner);
        for (const auto& line : lines)
            out << core::escapeForTerminal(core::utf16ToUtf8(line), true) << '\n';
        return 0;
    }
    std::string titles = "[";
    for (std::size_t i = 0; i < d.Titles.size(); ++i)
        titles += (i ? ", " : "") + core::jsonString(core::utf16ToUtf8(d.Titles[i]));
    titles += "]";
    std::uint64_t fileSize = 0;
    std::istringstream(img.header.FileSize) >> fileSize;
    JsonObject o;
    o.str("file", in.given)
        .str("internalName", d.IntName)
        .num("fileSize", static_cast<std::int64_t>(fileSize))
        .str("fileSizeText", d.FileSize)
        .str("serial", d.Serial)
        .str("makerCode", d.MakerCode)
        .str("publisher", d.MakerName)
        .str("cardSizeText", d.CardSize)
        .str("crc32", d.CRC32)
        .boolean("badDump", d.badDumpFound)
        .str("badDumpText", d.BadDumpCode)
        .str("version", d.VersionCode)
        .str("unitCode", d.UnitCode)
        .str("deviceCode", d.DeviceCode)
        .raw("checks",
             "{\"secureArea\": " + checkJson(d.ExpSecAreaCRC16, d.ActSecAreaCRC16, d.SecAreaCheck) +
                 ", \"logo\": " + checkJson(d.ExpLogoCRC16, d.ActLogoCRC16, d.LogoCheck) +
                 ", \"header\": " + checkJson(d.ExpHeaderCRC16, d.ActHeaderCRC16, d.HeaderCheck) +
                 "}")
        .raw("titles", titles)
        .raw("header", headerJson(img.header, 2))
        .raw("files", filesJson(img.rows, 2));
    if (in.fromArchive)
        o.str("archiveMember", in.fromArchive->memberName);
    out << o.text() << '\n';
    return 0;
}

} // namespace

const Command& infoCommand()
{
    static const Command command{"info", 1, 1, {"--json", "--force"}, cmdInfo};
    return command;
}

} // namespace cartscope::cli
