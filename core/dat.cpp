#include "core/dat.h"

#include <algorithm>
#include <cstring>
#include <pugixml.hpp>

#include "core/error.h"

namespace cartscope::core {

namespace {

// A DAT's line of a byte offset: newlines before it plus one. Only for messages.
std::size_t lineAt(std::span<const char> xml, std::ptrdiff_t offset)
{
    const auto end = static_cast<std::size_t>(
        std::clamp<std::ptrdiff_t>(offset, 0, static_cast<std::ptrdiff_t>(xml.size())));
    return 1 + static_cast<std::size_t>(std::count(xml.begin(), xml.begin() + end, '\n'));
}

class DatError {
public:
    DatError(const std::string& file, std::span<const char> xml) : m_file(file), m_xml(xml) {}
    [[noreturn]] void at(std::ptrdiff_t offset, const std::string& what) const
    {
        throw Error("DAT \"" + m_file + "\" line " + std::to_string(lineAt(m_xml, offset)) + ": " +
                    what);
    }
    [[noreturn]] void at(const pugi::xml_node& node, const std::string& what) const
    {
        at(node.offset_debug(), what);
    }

private:
    const std::string& m_file;
    std::span<const char> m_xml;
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Exactly `length` bytes of hex, either case; an absent or empty attribute gives no digest.
DigestBytes hexDigest(const DatError& err, const pugi::xml_node& rom, const char* attribute,
                      std::size_t length)
{
    const std::string_view text = rom.attribute(attribute).as_string();
    if (text.empty())
        return {};
    if (text.size() != 2 * length)
        err.at(rom, std::string("bad ") + attribute + " \"" + std::string(text.substr(0, 80)) +
                        "\" (" + std::to_string(2 * length) + " hex digits expected)");
    DigestBytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
        const int hi = hexValue(text[2 * i]);
        const int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            err.at(rom,
                   std::string("bad ") + attribute + " \"" + std::string(text) + "\" (not hex)");
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return out;
}

std::optional<std::uint32_t> hexCrc(const DatError& err, const pugi::xml_node& rom)
{
    const std::string_view text = rom.attribute("crc").as_string();
    if (text.empty())
        return std::nullopt;
    std::uint32_t v = 0;
    for (const char c : text) {
        const int d = hexValue(c);
        if (d < 0 || text.size() > 8)
            err.at(rom, "bad crc \"" + std::string(text.substr(0, 80)) +
                            "\" (up to 8 hex digits expected)");
        v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return v;
}

std::optional<std::uint64_t> decimalSize(const DatError& err, const pugi::xml_node& rom)
{
    const std::string_view text = rom.attribute("size").as_string();
    if (text.empty())
        return std::nullopt;
    std::uint64_t v = 0;
    for (const char c : text) {
        // Checked before each step, so v never exceeds kMaxDatRomSize * 10 + 9.
        if (c < '0' || c > '9' || v > kMaxDatRomSize)
            err.at(rom, "bad size \"" + std::string(text.substr(0, 80)) + "\"");
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > kMaxDatRomSize)
        err.at(rom, "bad size \"" + std::string(text) + "\" (absurdly large)");
    return v;
}

std::string key(const DigestBytes& d)
{
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

std::string sizeCrcKey(std::uint64_t size, std::uint32_t crc)
{
    std::string k(12, '\0');
    for (int i = 0; i < 8; ++i)
        k[static_cast<std::size_t>(i)] = static_cast<char>(size >> (8 * i));
    for (int i = 0; i < 4; ++i)
        k[static_cast<std::size_t>(8 + i)] = static_cast<char>(crc >> (8 * i));
    return k;
}

const std::vector<std::uint32_t>& none()
{
    static const std::vector<std::uint32_t> empty;
    return empty;
}

} // namespace

bool DatRom::has(DigestKind kind) const
{
    return !digest(kind).empty();
}

const DigestBytes& DatRom::digest(DigestKind kind) const
{
    switch (kind) {
    case DigestKind::Md5:
        return md5;
    case DigestKind::Sha1:
        return sha1;
    case DigestKind::Sha256:
        return sha256;
    }
    return sha256;
}

void DatSet::addXml(const std::string& file, std::span<const char> xml,
                    const std::function<bool()>& cancelled)
{
    const DatError err(file, xml);
    if (xml.size() > kMaxDatSize)
        throw Error("DAT \"" + file + "\" is too large (over " + std::to_string(kMaxDatSize >> 20) +
                    " MiB)");
    pugi::xml_document doc;
    // pugixml expands only the five predefined entities and character references, and never
    // reads anything but this buffer; the DOCTYPE is kept so that declarations can be refused.
    const unsigned options = pugi::parse_default | pugi::parse_doctype;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(xml.data(), xml.size(), options, pugi::encoding_auto);
    if (!parsed)
        err.at(parsed.offset, std::string("not well-formed XML (") + parsed.description() + ")");
    for (const pugi::xml_node& node : doc.children())
        if (node.type() == pugi::node_doctype && std::strstr(node.value(), "<!ENTITY"))
            err.at(node, "entity declarations are not allowed in a DAT");
    const pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "datafile") != 0)
        err.at(root,
               std::string("not a Logiqx datafile (the root element is <") + root.name() + ">)");

    DatInfo info;
    info.file = file;
    const pugi::xml_node header = root.child("header");
    info.name = header.child_value("name");
    info.version = header.child_value("version");
    const std::size_t datIndex = m_dats.size();

    std::vector<DatRom> roms;
    std::size_t walked = 0; // games and entries; `cancelled` is asked every 4096 of them
    const auto checkCancelled = [&] {
        if (cancelled && ++walked % 4096 == 0 && cancelled())
            throw Error("DAT \"" + file + "\": load cancelled");
    };
    for (const pugi::xml_node& game : root.children()) {
        checkCancelled();
        // MAME-style DATs call a game a machine.
        if (std::strcmp(game.name(), "game") != 0 && std::strcmp(game.name(), "machine") != 0)
            continue;
        for (const pugi::xml_node& rom : game.children("rom")) {
            checkCancelled();
            DatRom r;
            r.dat = datIndex;
            r.game = game.attribute("name").as_string();
            r.rom = rom.attribute("name").as_string();
            r.size = decimalSize(err, rom);
            r.crc32 = hexCrc(err, rom);
            r.md5 = hexDigest(err, rom, "md5", 16);
            r.sha1 = hexDigest(err, rom, "sha1", 20);
            r.sha256 = hexDigest(err, rom, "sha256", 32);
            r.serial = rom.attribute("serial").as_string();
            r.status = rom.attribute("status").as_string();
            roms.push_back(std::move(r));
        }
    }
    if (m_roms.size() + roms.size() > UINT32_MAX)
        throw Error("DAT \"" + file + "\" has too many entries");

    m_dats.push_back(std::move(info));
    for (DatRom& r : roms) {
        const auto index = static_cast<std::uint32_t>(m_roms.size());
        for (const DigestKind kind : kDigestKinds)
            if (r.has(kind))
                m_byDigest[static_cast<std::size_t>(kind)][key(r.digest(kind))].push_back(index);
        if (r.size && r.crc32)
            m_bySizeCrc[sizeCrcKey(*r.size, *r.crc32)].push_back(index);
        if (!r.has(DigestKind::Sha1))
            m_withoutSha1.push_back(index);
        if (r.size) {
            m_sizes.push_back(*r.size);
            m_bySize[*r.size].push_back(index);
        }
        m_roms.push_back(std::move(r));
    }
    std::sort(m_sizes.begin(), m_sizes.end());
    m_sizes.erase(std::unique(m_sizes.begin(), m_sizes.end()), m_sizes.end());
}

const std::vector<std::uint32_t>& DatSet::byDigest(DigestKind kind, const DigestBytes& value) const
{
    const Index& index = m_byDigest[static_cast<std::size_t>(kind)];
    const auto it = index.find(key(value));
    return it == index.end() ? none() : it->second;
}

const std::vector<std::uint32_t>& DatSet::bySizeCrc(std::uint64_t size, std::uint32_t crc) const
{
    const auto it = m_bySizeCrc.find(sizeCrcKey(size, crc));
    return it == m_bySizeCrc.end() ? none() : it->second;
}

} // namespace cartscope::core

namespace cartscope::core {

const std::vector<std::uint32_t>& DatSet::bySize(std::uint64_t size) const
{
    const auto it = m_bySize.find(size);
    return it == m_bySize.end() ? none() : it->second;
}

} // namespace cartscope::core
