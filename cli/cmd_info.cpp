#include "cli/commands.h"
#include "cli/common.h"
#include "cli/dsi_json.h"
#include "cli/verify_output.h"
#include "core/base/hex.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/checksum/digest.h"
#include "core/io/stream.h"
#include "core/load.h"
#include "core/report.h"
#include "core/verify/trim.h"
#include "core/verify/verify.h"

namespace cartscope::cli {

namespace {

std::string headerJson(const core::TNDSHeader& h, int indent)
{
    JsonObject o;
    o.str("GameTitle", core::fieldText(h.GameTitle))
        .str("GameCode", core::fieldText(h.GameCode))
        .str("Serial", h.Serial)
        .str("MakerCode", core::fieldText(h.MakerCode))
        .str("UnitCode", core::hex2(h.UnitCode))
        .str("DeviceType", core::hex2(h.DeviceType))
        .str("DeviceCapacity", core::hex2(h.DeviceCapacity))
        .str("Reserved1", hexBytes(h.Reserved1))
        .str("RomVersion", core::hex2(h.RomVersion))
        .num("AutostartFlags", h.AutostartFlags)
        .str("Arm9RomOffset", core::hex8(h.Arm9RomOffset))
        .str("Arm9EntryAddress", core::hex8(h.Arm9EntryAddress))
        .str("Arm9RamAddress", core::hex8(h.Arm9RamAddress))
        .str("Arm9Size", core::hex8(h.Arm9Size))
        .str("Arm7RomOffset", core::hex8(h.Arm7RomOffset))
        .str("Arm7EntryAddress", core::hex8(h.Arm7EntryAddress))
        .str("Arm7RamAddress", core::hex8(h.Arm7RamAddress))
        .str("Arm7Size", core::hex8(h.Arm7Size))
        .str("FntOffset", core::hex8(h.FntOffset))
        .str("FntSize", core::hex8(h.FntSize))
        .str("FatOffset", core::hex8(h.FatOffset))
        .str("FatSize", core::hex8(h.FatSize))
        .str("Arm9OverlayOffset", core::hex8(h.Arm9OverlayOffset))
        .str("Arm9OverlaySize", core::hex8(h.Arm9OverlaySize))
        .str("Arm7OverlayOffset", core::hex8(h.Arm7OverlayOffset))
        .str("Arm7OverlaySize", core::hex8(h.Arm7OverlaySize))
        .str("RomControl", core::hexText(h.RomControl, 16))
        .str("BannerOffset", core::hex8(h.BannerOffset))
        .str("SecureAreaCrc", core::hex4(h.SecureAreaCrc))
        .str("SecureAreaCrcCalc", core::hex4(h.SecureAreaCrcCalc))
        .str("SecureAreaDelay", core::hex4(h.SecureAreaDelay))
        .str("Arm9AutoloadHook", core::hex8(h.Arm9AutoloadHook))
        .str("Arm7AutoloadHook", core::hex8(h.Arm7AutoloadHook))
        .str("SecureAreaDisableLo", hexBytes(h.SecureAreaDisableLo))
        .str("SecureAreaDisableHi", hexBytes(h.SecureAreaDisableHi))
        .str("TotalUsedRomSize", core::hex8(h.TotalUsedRomSize))
        .str("HeaderSize", core::hex8(h.HeaderSize))
        .str("Reserved2", hexBytes(h.Reserved2))
        .str("Logo", hexBytes(h.Logo))
        .str("LogoCrc", core::hex4(h.LogoCrc))
        .str("LogoCrcCalc", core::hex4(h.LogoCrcCalc))
        .str("HeaderCrc", core::hex4(h.HeaderCrc))
        .str("HeaderCrcCalc", core::hex4(h.HeaderCrcCalc))
        .str("FileSize", std::to_string(h.FileSize));
    std::array<std::uint8_t, 512> bad{};
    for (std::size_t i = 0; i < bad.size(); ++i)
        bad[i] = static_cast<std::uint8_t>(h.BadDataBlock[i]);
    o.str("BadDataBlock", hexBytes(bad))
        // The three character fields in full: the texts above stop at the first NUL.
        .str("GameTitleHex", hexBytes(core::charBytes(h.GameTitle)))
        .str("GameCodeHex", hexBytes(core::charBytes(h.GameCode)))
        .str("MakerCodeHex", hexBytes(core::charBytes(h.MakerCode)));
    return o.text(indent);
}

std::string checkJson(const core::Crc16Check& check)
{
    return "{\"stored\": " + core::jsonString(core::hex4(check.stored)) +
           ", \"computed\": " + core::jsonString(core::hex4(check.computed)) +
           ", \"ok\": " + (check.ok() ? "true" : "false") + "}";
}

// The page's values in its order, each under its key as the page shows it; a byte count and the
// bad-dump verdict also go out as what they say, just before.
void addHeaderValues(JsonObject& o, const core::HeaderValues& v)
{
    for (const core::HeaderField& field : core::kHeaderFields) {
        if (!field.jsonKey)
            continue;
        const core::FieldValue value = field.get(v);
        if (field.kind == core::ValueKind::ByteCount)
            o.num("fileSize", static_cast<std::int64_t>(std::get<std::uint64_t>(value)));
        if (field.kind == core::ValueKind::BadDump)
            o.boolean("badDump", std::get<bool>(value));
        o.str(field.jsonKey, core::valueText(field.kind, value));
    }
    o.raw("checks", "{\"secureArea\": " + checkJson(v.secureArea) + ", \"logo\": " +
                        checkJson(v.logo) + ", \"header\": " + checkJson(v.header) + "}");
}

// What info adds for verification: the hashes, the trim check and the secure-area form.
struct Verification {
    core::ImageHashes hashes;
    core::HeadFacts head;
    core::TrimInfo trim;
    // The banner as its version describes it and the DSi header, read from the same open.
    core::BannerInfo banner;
    core::DsiInfo dsi;
};

// The load of `info`, with one whole-file read at most: the CRC-32, the trim check and (with
// --hashes) the three digests share it. An image out of an archive was hashed as it was copied,
// so without --hashes only the bytes after its used size are read again.
core::LoadedImage loadWithVerification(InputImage& image, bool hashes, bool json, Verification& v)
{
    core::LoadedImage img;
    {
        // The report names no file of the image: only the JSON needs the tables.
        core::analyse(image, img, json ? core::Tables::Read : core::Tables::Skip);
        if (json) { // only the JSON shows them
            v.banner = img.banner.info;
            v.dsi = img.header.dsi;
        }
        if (image.fromArchive() && !hashes) {
            img.fileCrc32 = image.fromArchive()->crc32;
            const core::TrimAnalysis t = core::analyseTrim(image, img.header);
            v.head = t.head;
            v.trim = t.trim;
        } else {
            core::DigestSink digests(hashes ? core::DigestSelection::all()
                                            : core::DigestSelection{});
            core::TrimSink trim;
            core::ReadSink* extra[] = {&digests, &trim};
            img.fileCrc32 = core::readWholeImage(image, extra);
            for (const core::DigestKind kind : core::kDigestKinds)
                if (const auto& state = digests.state(kind))
                    v.hashes.digests[static_cast<std::size_t>(kind)] = state->value();
            v.head = trim.head();
            v.trim = trim.trim();
        }
    }
    v.hashes.crc32 = *img.fileCrc32;
    core::finishLoad(img);
    checkInterrupted();
    return img;
}

// The report; with --hashes, the digests, the trim state and the secure-area form after it.
void writeReport(std::ostream& out, const InputImage& image, const core::LoadedImage& img,
                 const Verification* v)
{
    const auto lines =
        core::BuildHeaderInfoReport(core::namePart(image.given()), img.display, img.banner.info);
    for (const auto& line : lines)
        out << core::escapeForTerminal(core::utf16ToUtf8(line), true) << '\n';
    if (!v)
        return;
    out << '\n';
    for (const core::HashField& field : core::kHashFields) {
        if (!field.digest)
            continue; // the report has the CRC-32
        std::string label = field.label;
        label.resize(16, ' ');
        out << label << ": " << core::hashHex(v->hashes, field).value_or("") << '\n';
    }
    out << "Trim            : " << core::trimText(v->trim)
        << "\nSecure area     : " << core::secureAreaFormText(v->head.secureAreaForm) << '\n';
}

int cmdInfo(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[0];
    const bool json = inv.has("--json");
    const bool hashes = inv.has("--hashes");
    std::ostream& out = ctx.out;
    InputImage image(path, inputOptions());
    Verification v;
    const core::LoadedImage img = loadWithVerification(image, hashes, json, v);
    const core::HeaderValues& d = img.display;
    if (!json) {
        writeReport(out, image, img, hashes ? &v : nullptr);
        return 0;
    }
    std::string titles = "[";
    for (std::size_t i = 0; i < d.titles.size(); ++i)
        titles += (i ? ", " : "") + core::jsonString(core::utf16ToUtf8(d.titles[i]));
    titles += "]";
    // The titles' exact code units: a lone surrogate shows as U+FFFD in the text above.
    std::string titlesUtf16 = "[";
    for (std::size_t i = 0; i < d.titles.size(); ++i)
        titlesUtf16 += (i ? ", \"" : "\"") + core::hexUtf16(d.titles[i]) + "\"";
    titlesUtf16 += "]";
    JsonObject o;
    o.str("file", image.given());
    addHeaderValues(o, d);
    o.raw("titles", titles)
        .raw("header", headerJson(img.header.ds, 2))
        .raw("files", filesJson(img.rows, 2))
        .raw("hashes", hashesJson(v.hashes))
        // Not a DS image: the trim state and the secure area would be read from other bytes.
        .boolean("image", v.head.image)
        .raw("trim", v.head.image ? trimJson(v.trim) : "null")
        .raw("secureAreaForm",
             v.head.image ? core::jsonString(core::secureAreaFormName(v.head.secureAreaForm))
                          : "null")
        .raw("banner", bannerJson(v.banner, 2))
        .raw("twlFlags", twlFlagsJson(v.dsi))
        .raw("dsi", dsiJson(v.dsi, 2));
    if (image.fromArchive())
        o.str("archiveMember", image.fromArchive()->memberName);
    o.raw("titlesUtf16", titlesUtf16);
    out << o.text() << '\n';
    return 0;
}

} // namespace

const Command& infoCommand()
{
    static const Command command{"info", 1, 1, {"--json", "--hashes"}, cmdInfo};
    return command;
}

} // namespace cartscope::cli
