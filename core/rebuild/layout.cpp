#include "core/rebuild/layout.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <unordered_set>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/compress/code.h"
#include "core/rebuild/json_reader.h"

namespace cartscope::core::rebuild {

namespace {

struct KindName {
    RegionKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {
    {RegionKind::Header, "header"},
    {RegionKind::Arm9, "arm9"},
    {RegionKind::Arm7, "arm7"},
    {RegionKind::Arm9i, "arm9i"},
    {RegionKind::Arm7i, "arm7i"},
    {RegionKind::Arm9OverlayTable, "arm9OverlayTable"},
    {RegionKind::Arm7OverlayTable, "arm7OverlayTable"},
    {RegionKind::Fnt, "fnt"},
    {RegionKind::Fat, "fat"},
    {RegionKind::Banner, "banner"},
    {RegionKind::Overlay, "overlay"},
    {RegionKind::File, "file"},
};

// A path as JSON text: valid UTF-8 is written as a string ("path"); a name with bytes that are
// not UTF-8 (the image's names are bytes) is written as hex ("pathBytes").
bool isUtf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80           ? 1
                        : (c >> 5) == 0x6  ? 2
                        : (c >> 4) == 0xE  ? 3
                        : (c >> 3) == 0x1E ? 4
                                           : 0;
        if (n == 0 || i + n > s.size())
            return false;
        std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        constexpr std::uint32_t kMinOf[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinOf[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += n;
    }
    return true;
}

void appendString(std::string& out, std::string_view s)
{
    out += '"';
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    out += '"';
}

void appendPath(std::string& out, const char* key, const std::string& path)
{
    if (isUtf8(path)) {
        out += ", \"";
        out += key;
        out += "\": ";
        appendString(out, path);
    } else {
        out += ", \"";
        out += key;
        out += "Bytes\": \"";
        out += hexBytes(std::span(reinterpret_cast<const std::uint8_t*>(path.data()), path.size()),
                        HexCase::Lower);
        out += '"';
    }
}

void appendNumber(std::string& out, const char* key, std::uint64_t value, bool first = false)
{
    if (!first)
        out += ", ";
    out += '"';
    out += key;
    out += "\": ";
    out += std::to_string(value);
}

} // namespace

const char* regionKindName(RegionKind kind)
{
    for (const KindName& k : kKindNames)
        if (k.kind == kind)
            return k.name;
    return "file";
}

std::optional<RegionKind> regionKindNamed(std::string_view name)
{
    for (const KindName& k : kKindNames)
        if (name == k.name)
            return k.kind;
    return std::nullopt;
}

std::string packingName(const std::optional<Codec>& codec)
{
    return codec ? std::string(codecName(*codec)) : std::string("code");
}

bool packingNamed(std::string_view name, std::optional<Codec>& packing)
{
    if (name == "code") {
        packing.reset();
        return true;
    }
    for (const Codec c :
         {Codec::Lz10, Codec::Lz11, Codec::Lz77Lz10, Codec::Huffman4, Codec::Huffman8, Codec::Rle})
        if (name == codecName(c)) {
            packing = c;
            return true;
        }
    return false;
}

std::string originalFile(const std::string& path)
{
    return std::string(kOriginalFolder) + "/" + path;
}

namespace {

// One region's object, as layout.json holds it.
void appendRegion(std::string& out, const Region& r)
{
    out += "\"kind\": \"";
    out += regionKindName(r.kind);
    out += '"';
    if (r.kind == RegionKind::File || r.kind == RegionKind::Overlay)
        appendNumber(out, "id", r.id);
    appendNumber(out, "offset", r.offset);
    appendNumber(out, "size", r.size);
    appendPath(out, "path", r.path);
    if (r.mtimeNs) {
        out += ", \"mtimeNs\": ";
        out += std::to_string(*r.mtimeNs);
    }
    if (r.sha1) {
        out += ", \"sha1\": \"";
        out += hexBytes(*r.sha1, HexCase::Lower);
        out += '"';
    }
    if (r.decompressed) {
        out += ", \"codec\": \"";
        out += packingName(r.decompressed->codec);
        out += '"';
        appendNumber(out, "decompressedSize", r.decompressed->size);
        out += ", \"decompressedSha1\": \"";
        out += hexBytes(r.decompressed->sha1, HexCase::Lower);
        out += '"';
    }
}

// One run's object.
void appendRun(std::string& out, const Run& r)
{
    appendNumber(out, "offset", r.offset, true);
    appendNumber(out, "size", r.size);
    if (r.fill)
        appendNumber(out, "fill", *r.fill);
    else
        appendPath(out, "file", r.file);
}

} // namespace

void encodeLayout(const Layout& layout, const std::function<void(std::string_view)>& write)
{
    constexpr std::size_t kPiece = 64 * 1024;
    std::string out;
    out.reserve(kPiece + 4096);
    const auto flush = [&](bool last) {
        if (last || out.size() >= kPiece) {
            write(out);
            out.clear();
        }
    };
    out += "{\"format\": \"cartscope-layout\", \"version\": 1, \"imageSize\": ";
    out += std::to_string(layout.imageSize);
    out += ",\n\"regions\": [";
    bool first = true;
    for (const Region& r : layout.regions) {
        out += first ? "\n{" : ",\n{";
        first = false;
        appendRegion(out, r);
        out += '}';
        flush(false);
    }
    out += "],\n\"runs\": [";
    first = true;
    for (const Run& r : layout.runs) {
        out += first ? "\n{" : ",\n{";
        first = false;
        appendRun(out, r);
        out += '}';
        flush(false);
    }
    out += "]}\n";
    flush(true);
}

std::string encodeLayout(const Layout& layout)
{
    std::string text;
    encodeLayout(layout, [&text](std::string_view piece) { text += piece; });
    return text;
}

} // namespace cartscope::core::rebuild
