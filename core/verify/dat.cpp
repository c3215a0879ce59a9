#include "core/verify/dat.h"

#include <algorithm>
#include <compare>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <utility>

#include "core/base/error.h"
#include "core/base/hex.h"

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

// An attribute echoed in a message: enough to recognise it, never the whole of a huge one.
std::string echo(std::string_view text)
{
    constexpr std::size_t kEchoLength = 64;
    return std::string(text.substr(0, kEchoLength)) + (text.size() > kEchoLength ? "..." : "");
}

// Exactly out.size() bytes of hex, either case; false (nothing written) for an absent or empty
// attribute.
bool hexDigest(const DatError& err, const pugi::xml_node& rom, const char* attribute,
               std::span<std::uint8_t> out)
{
    const std::string_view text = rom.attribute(attribute).as_string();
    if (text.empty())
        return false;
    if (text.size() != 2 * out.size())
        err.at(rom, std::string("bad ") + attribute + " \"" + echo(text) + "\" (" +
                        std::to_string(2 * out.size()) + " hex digits expected)");
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hexDigitValue(text[2 * i]);
        const int lo = hexDigitValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            err.at(rom, std::string("bad ") + attribute + " \"" + echo(text) + "\" (not hex)");
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::optional<std::uint32_t> hexCrc(const DatError& err, const pugi::xml_node& rom)
{
    const std::string_view text = rom.attribute("crc").as_string();
    if (text.empty())
        return std::nullopt;
    std::uint32_t v = 0;
    for (const char c : text) {
        const int d = hexDigitValue(c);
        if (d < 0 || text.size() > 8)
            err.at(rom, "bad crc \"" + echo(text) + "\" (up to 8 hex digits expected)");
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
            err.at(rom, "bad size \"" + echo(text) + "\"");
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > kMaxDatRomSize)
        err.at(rom, "bad size \"" + echo(text) + "\" (absurdly large)");
    return v;
}

constexpr std::uint8_t kHasSize = 1;
constexpr std::uint8_t kHasCrc = 2;
constexpr std::uint8_t kHasMd5 = 4;
constexpr std::uint8_t kHasSha1 = 8;
constexpr std::uint8_t kHasSha256 = 16;

std::uint8_t digestBit(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Md5:
        return kHasMd5;
    case DigestKind::Sha1:
        return kHasSha1;
    case DigestKind::Sha256:
        return kHasSha256;
    }
    return 0;
}

// The XML parser's memory, counted against a budget for the parse running on this thread: a
// DAT of a given size can make it allocate only so much, however its elements are packed.
thread_local std::size_t t_parseBudget = SIZE_MAX;
thread_local std::size_t t_parseUsed = 0;
constexpr std::size_t kAllocationHeader = alignof(std::max_align_t);

void* parserAllocate(std::size_t size)
{
    if (size > t_parseBudget - t_parseUsed || size > SIZE_MAX - kAllocationHeader)
        return nullptr; // the parser reports it as out of memory
    auto* block = static_cast<unsigned char*>(std::malloc(size + kAllocationHeader));
    if (!block)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    t_parseUsed += size;
    return block + kAllocationHeader;
}

void parserDeallocate(void* p)
{
    if (!p)
        return;
    auto* block = static_cast<unsigned char*>(p) - kAllocationHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    t_parseUsed -= std::min(size, t_parseUsed);
    std::free(block);
}

// The budget for one parse, for as long as the object lives (declared before the document, so
// the document's memory is returned while it still counts).
class ParseBudget {
public:
    explicit ParseBudget(std::size_t budget)
    {
        // Once, before the first document; every document of the process then goes through it.
        static const bool installed = [] {
            pugi::set_memory_management_functions(parserAllocate, parserDeallocate);
            return true;
        }();
        (void)installed;
        t_parseBudget = budget;
        t_parseUsed = 0;
    }
    ~ParseBudget() { t_parseBudget = SIZE_MAX; }
    ParseBudget(const ParseBudget&) = delete;
    ParseBudget& operator=(const ParseBudget&) = delete;
};

// The root <datafile> element of a DAT that parses within its budget and declares no entities.
pugi::xml_node parseDatafile(pugi::xml_document& doc, const std::string& file,
                             std::span<const char> xml, const DatError& err)
{
    // pugixml expands only the five predefined entities and character references, and never
    // reads anything but this buffer; the DOCTYPE is kept so that declarations can be refused.
    const unsigned options = pugi::parse_default | pugi::parse_doctype;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(xml.data(), xml.size(), options, pugi::encoding_auto);
    if (parsed.status == pugi::status_out_of_memory)
        throw Error("DAT \"" + file + "\" would take more than " +
                    std::to_string(kMaxDatParseFactor) +
                    " times its size in memory to read: it holds more XML elements than a DAT "
                    "of its size honestly can");
    if (!parsed)
        err.at(parsed.offset, std::string("not well-formed XML (") + parsed.description() + ")");
    for (const pugi::xml_node& node : doc.children())
        if (node.type() == pugi::node_doctype && std::strstr(node.value(), "<!ENTITY"))
            err.at(node, "entity declarations are not allowed in a DAT");
    const pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "datafile") != 0)
        err.at(root,
               std::string("not a Logiqx datafile (the root element is <") + root.name() + ">)");
    return root;
}

// MAME-style DATs call a game a machine.
bool isGame(const pugi::xml_node& node)
{
    return std::strcmp(node.name(), "game") == 0 || std::strcmp(node.name(), "machine") == 0;
}

// Asked for every game and entry walked; asks `cancelled` every 4096 of them.
struct CancelCheck {
    const std::function<bool()>& cancelled;
    const std::string& file;
    std::size_t walked = 0;
    void operator()()
    {
        if (cancelled && ++walked % 4096 == 0 && cancelled())
            throw Error("DAT \"" + file + "\": load cancelled");
    }
};

// The entries of every game, refused past kMaxDatEntries. Bounded by the document's elements,
// themselves bounded by the parse budget.
std::size_t countEntries(const pugi::xml_node& root, const std::string& file, CancelCheck& check)
{
    std::size_t count = 0;
    for (const pugi::xml_node& game : root.children()) {
        check();
        if (isGame(game))
            for ([[maybe_unused]] const pugi::xml_node& rom : game.children("rom"))
                if (++count > kMaxDatEntries)
                    throw Error("DAT \"" + file + "\" has more than " +
                                std::to_string(kMaxDatEntries) + " entries");
    }
    return count;
}

// The size and digests a <rom> gives, each marked in `present` (the set's stored entry type).
template <typename Entry> void readValues(const DatError& err, const pugi::xml_node& rom, Entry& e)
{
    if (const auto size = decimalSize(err, rom)) {
        e.size = *size;
        e.present |= kHasSize;
    }
    if (const auto crc = hexCrc(err, rom)) {
        e.crc32 = *crc;
        e.present |= kHasCrc;
    }
    if (hexDigest(err, rom, "md5", e.md5))
        e.present |= kHasMd5;
    if (hexDigest(err, rom, "sha1", e.sha1))
        e.present |= kHasSha1;
    if (hexDigest(err, rom, "sha256", e.sha256))
        e.present |= kHasSha256;
    // Such an entry can match nothing, and costs memory all the same.
    if (e.present == 0)
        err.at(rom, "an entry with neither a size nor a digest");
}

template <typename Less>
std::span<const std::uint32_t> range(const std::vector<std::uint32_t>& index, Less&& less)
{
    const auto lo = std::partition_point(index.begin(), index.end(),
                                         [&](std::uint32_t i) { return less(i) < 0; });
    const auto hi =
        std::partition_point(lo, index.end(), [&](std::uint32_t i) { return less(i) <= 0; });
    return {index.data() + (lo - index.begin()), static_cast<std::size_t>(hi - lo)};
}

int compareBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    const auto r = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

} // namespace

bool DatRom::has(DigestKind kind) const
{
    return !digest(kind).empty();
}

std::span<const std::uint8_t> DatRom::digest(DigestKind kind) const
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

std::size_t DatRoms::size() const
{
    return m_set.m_entries.size();
}

DatRom DatRoms::operator[](std::size_t index) const
{
    const DatSet::Entry& e = m_set.m_entries[index];
    DatRom r;
    r.dat = e.dat;
    r.game = m_set.text(e.game);
    r.rom = m_set.text(e.rom);
    r.serial = m_set.text(e.serial);
    r.status = m_set.text(e.status);
    std::string_view family = m_set.text(e.family);
    for (std::string_view* field : {&r.id, &r.cloneOf, &r.cloneOfId, &r.releases}) {
        const std::size_t end = family.find('\0');
        if (end == std::string_view::npos)
            break;
        *field = family.substr(0, end);
        family.remove_prefix(end + 1);
    }
    if (e.present & kHasSize)
        r.size = e.size;
    if (e.present & kHasCrc)
        r.crc32 = e.crc32;
    if (e.present & kHasMd5)
        r.md5 = e.md5;
    if (e.present & kHasSha1)
        r.sha1 = e.sha1;
    if (e.present & kHasSha256)
        r.sha256 = e.sha256;
    return r;
}

void DatSet::addXml(const std::string& file, std::span<const char> xml,
                    const std::function<bool()>& cancelled)
{
    const DatError err(file, xml);
    if (xml.size() > kMaxDatSize)
        throw Error("DAT \"" + file + "\" is too large (over " + std::to_string(kMaxDatSize >> 20) +
                    " MiB)");
    // The parser's copy of the text, then its elements: at most kMaxDatParseFactor times the
    // text, and a little for the smallest DATs.
    const ParseBudget budget(static_cast<std::size_t>(xml.size() * (1 + kMaxDatParseFactor)) +
                             (std::size_t{1} << 20));
    pugi::xml_document doc;
    const pugi::xml_node root = parseDatafile(doc, file, xml, err);

    DatInfo info;
    info.file = file;
    const pugi::xml_node header = root.child("header");
    info.name = header.child_value("name");
    info.version = header.child_value("version");
    // Bounded by kMaxDatHeaderFields.
    for (const pugi::xml_node& field : header.children()) {
        if (info.header.size() == kMaxDatHeaderFields)
            break;
        // Text alone: an element of attributes (<clrmamepro forcenodump=...>) is the source
        // DAT's own business.
        const pugi::xml_node text = field.first_child();
        if (field.type() == pugi::node_element && !text.next_sibling() &&
            (text.type() == pugi::node_pcdata || text.type() == pugi::node_cdata))
            info.header.emplace_back(field.name(), text.value());
    }

    CancelCheck checkCancelled{cancelled, file};
    const std::size_t count = countEntries(root, file, checkCancelled);
    if (m_entries.size() + count > UINT32_MAX)
        throw Error("DAT \"" + file + "\" has too many entries");

    // Everything below is added to the set's storage and taken back whole on failure.
    const std::size_t entriesBefore = m_entries.size();
    const std::size_t arenaBefore = m_arena.size();
    try {
        const auto datIndex = static_cast<std::uint32_t>(m_dats.size());
        const auto store = [&](std::string_view s) {
            if (s.size() > UINT32_MAX - m_arena.size())
                throw Error("DAT \"" + file + "\" has too many names for one set");
            const Text t{static_cast<std::uint32_t>(m_arena.size()),
                         static_cast<std::uint32_t>(s.size())};
            m_arena.append(s);
            return t;
        };
        m_entries.reserve(m_entries.size() + count);
        for (const pugi::xml_node& game : root.children()) {
            if (!isGame(game))
                continue;
            std::optional<Text> gameName; // stored once for all of the game's roms
            Text family;
            for (const pugi::xml_node& rom : game.children("rom")) {
                checkCancelled();
                Entry e;
                e.dat = datIndex;
                readValues(err, rom, e);
                if (!gameName) {
                    gameName = store(game.attribute("name").as_string());
                    std::string text;
                    for (const char* attribute : {"id", "cloneof", "cloneofid"})
                        text.append(game.attribute(attribute).as_string()).push_back('\0');
                    // Bounded by the document's elements, like the roms.
                    for (const pugi::xml_node& release : game.children("release"))
                        text.append(release.attribute("region").as_string())
                            .append("/")
                            .append(release.attribute("language").as_string())
                            .append("\n");
                    text.push_back('\0');
                    family = store(text);
                }
                e.game = *gameName;
                e.family = family;
                e.rom = store(rom.attribute("name").as_string());
                e.serial = store(rom.attribute("serial").as_string());
                e.status = store(rom.attribute("status").as_string());
                m_entries.push_back(e);
            }
        }
    } catch (...) {
        m_entries.resize(entriesBefore);
        m_arena.resize(arenaBefore);
        throw;
    }
    m_arena.shrink_to_fit();
    m_dats.push_back(std::move(info));
    rebuildIndexes();
}

void DatSet::rebuildIndexes()
{
    const auto n = static_cast<std::uint32_t>(m_entries.size());
    const auto with = [&](std::uint8_t bits) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t i = 0; i < n; ++i)
            if ((m_entries[i].present & bits) == bits)
                out.push_back(i);
        out.shrink_to_fit();
        return out;
    };
    for (const DigestKind kind : kDigestKinds) {
        std::vector<std::uint32_t>& index = m_byDigest[static_cast<std::size_t>(kind)];
        index = with(digestBit(kind));
        std::stable_sort(index.begin(), index.end(), [&](std::uint32_t a, std::uint32_t b) {
            return compareBytes(roms()[a].digest(kind), roms()[b].digest(kind)) < 0;
        });
    }
    const auto sizeCrc = [&](std::uint32_t i) {
        return std::pair(m_entries[i].size, m_entries[i].crc32);
    };
    m_bySizeCrc = with(kHasSize | kHasCrc);
    std::stable_sort(m_bySizeCrc.begin(), m_bySizeCrc.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return sizeCrc(a) < sizeCrc(b); });
    m_bySize = with(kHasSize);
    std::stable_sort(m_bySize.begin(), m_bySize.end(), [&](std::uint32_t a, std::uint32_t b) {
        return m_entries[a].size < m_entries[b].size;
    });
    m_withoutSha1.clear();
    for (std::uint32_t i = 0; i < n; ++i)
        if (!(m_entries[i].present & kHasSha1))
            m_withoutSha1.push_back(i);
    m_withoutSha1.shrink_to_fit();
    m_sizes.clear();
    for (const std::uint32_t i : m_bySize)
        if (m_sizes.empty() || m_sizes.back() != m_entries[i].size)
            m_sizes.push_back(m_entries[i].size);
    m_sizes.shrink_to_fit();
}

std::span<const std::uint32_t> DatSet::byDigest(DigestKind kind,
                                                std::span<const std::uint8_t> value) const
{
    return range(m_byDigest[static_cast<std::size_t>(kind)],
                 [&](std::uint32_t i) { return compareBytes(roms()[i].digest(kind), value); });
}

std::span<const std::uint32_t> DatSet::bySizeCrc(std::uint64_t size, std::uint32_t crc) const
{
    const auto wanted = std::pair(size, crc);
    return range(m_bySizeCrc, [&](std::uint32_t i) {
        const auto have = std::pair(m_entries[i].size, m_entries[i].crc32);
        return have < wanted ? -1 : wanted < have ? 1 : 0;
    });
}

std::span<const std::uint32_t> DatSet::bySize(std::uint64_t size) const
{
    return range(m_bySize, [&](std::uint32_t i) {
        return m_entries[i].size < size ? -1 : size < m_entries[i].size ? 1 : 0;
    });
}

std::size_t DatSet::memoryUsed() const
{
    std::size_t bytes = m_entries.capacity() * sizeof(Entry) + m_arena.capacity() +
                        m_bySizeCrc.capacity() * 4 + m_bySize.capacity() * 4 +
                        m_withoutSha1.capacity() * 4 + m_sizes.capacity() * 8;
    for (const auto& index : m_byDigest)
        bytes += index.capacity() * 4;
    return bytes;
}

} // namespace cartscope::core
