#include "core/verify/dat.h"

#include <algorithm>
#include <compare>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <utility>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/verify/dat_builder.h"

namespace cartscope::core {

namespace {

using dat::DatError;

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
            err.at(node.offset_debug(), "entity declarations are not allowed in a DAT");
    const pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "datafile") != 0)
        err.at(root.offset_debug(),
               std::string("not a Logiqx datafile (the root element is <") + root.name() + ">)");
    return root;
}

// MAME-style DATs call a game a machine.
bool isGame(const pugi::xml_node& node)
{
    return std::strcmp(node.name(), "game") == 0 || std::strcmp(node.name(), "machine") == 0;
}

// The entries of every game, refused past kMaxDatEntries. Bounded by the document's elements,
// themselves bounded by the parse budget.
std::size_t countEntries(const pugi::xml_node& root, const std::string& file,
                         dat::DatBuilder& builder)
{
    std::size_t count = 0;
    for (const pugi::xml_node& game : root.children()) {
        builder.checkCancelled();
        if (isGame(game))
            for ([[maybe_unused]] const pugi::xml_node& rom : game.children("rom"))
                if (++count > kMaxDatEntries)
                    throw Error("DAT \"" + file + "\" has more than " +
                                std::to_string(kMaxDatEntries) + " entries");
    }
    return count;
}

dat::GameFields gameFields(const pugi::xml_node& game)
{
    dat::GameFields g;
    g.name = game.attribute("name").as_string();
    g.id = game.attribute("id").as_string();
    g.cloneOf = game.attribute("cloneof").as_string();
    g.cloneOfId = game.attribute("cloneofid").as_string();
    // Bounded by the document's elements, like the roms.
    for (const pugi::xml_node& release : game.children("release"))
        g.releases.append(release.attribute("region").as_string())
            .append("/")
            .append(release.attribute("language").as_string())
            .append("\n");
    return g;
}

dat::RomFields romFields(const pugi::xml_node& rom)
{
    dat::RomFields r;
    r.offset = rom.offset_debug();
    r.name = rom.attribute("name").as_string();
    r.size = rom.attribute("size").as_string();
    r.crc = rom.attribute("crc").as_string();
    r.md5 = rom.attribute("md5").as_string();
    r.sha1 = rom.attribute("sha1").as_string();
    r.sha256 = rom.attribute("sha256").as_string();
    r.serial = rom.attribute("serial").as_string();
    r.status = rom.attribute("status").as_string();
    return r;
}

// Hex of exactly out.size() bytes, either case; false (nothing written) for an absent value.
bool hexDigest(const DatError& err, std::ptrdiff_t at, const char* key, std::string_view text,
               std::span<std::uint8_t> out)
{
    if (text.empty())
        return false;
    if (text.size() != 2 * out.size())
        err.at(at, std::string("bad ") + key + " \"" + dat::echo(text) + "\" (" +
                       std::to_string(2 * out.size()) + " hex digits expected)");
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hexDigitValue(text[2 * i]);
        const int lo = hexDigitValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            err.at(at, std::string("bad ") + key + " \"" + dat::echo(text) + "\" (not hex)");
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::optional<std::uint32_t> hexCrc(const DatError& err, std::ptrdiff_t at, std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::uint32_t v = 0;
    for (const char c : text) {
        const int d = hexDigitValue(c);
        if (d < 0 || text.size() > 8)
            err.at(at, "bad crc \"" + dat::echo(text) + "\" (up to 8 hex digits expected)");
        v = v << 4 | static_cast<std::uint32_t>(d);
    }
    return v;
}

std::optional<std::uint64_t> decimalSize(const DatError& err, std::ptrdiff_t at,
                                         std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::uint64_t v = 0;
    for (const char c : text) {
        // Checked before each step, so v never exceeds kMaxDatRomSize * 10 + 9.
        if (c < '0' || c > '9' || v > kMaxDatRomSize)
            err.at(at, "bad size \"" + dat::echo(text) + "\"");
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > kMaxDatRomSize)
        err.at(at, "bad size \"" + dat::echo(text) + "\" (absurdly large)");
    return v;
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

    dat::DatBuilder builder(*this, err, cancelled);
    const std::size_t count = countEntries(root, file, builder);
    builder.reserve(count);
    for (const pugi::xml_node& game : root.children()) {
        if (!isGame(game))
            continue;
        bool begun = false; // the game's fields are read for its first rom
        for (const pugi::xml_node& rom : game.children("rom")) {
            if (!begun) {
                builder.beginGame(gameFields(game));
                begun = true;
            }
            builder.addRom(romFields(rom));
        }
    }
    builder.commit(std::move(info));
}

void DatSet::add(const std::string& file, std::span<const char> text,
                 const std::function<bool()>& cancelled)
{
    if (isClrmameproText(text))
        addClrmamepro(file, text, cancelled);
    else
        addXml(file, text, cancelled);
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

namespace dat {

void DatError::at(std::ptrdiff_t offset, const std::string& what) const
{
    const auto end = static_cast<std::size_t>(
        std::clamp<std::ptrdiff_t>(offset, 0, static_cast<std::ptrdiff_t>(m_text.size())));
    const auto line =
        1 + static_cast<std::size_t>(std::count(m_text.begin(), m_text.begin() + end, '\n'));
    throw Error("DAT \"" + m_file + "\" line " + std::to_string(line) + ": " + what);
}

std::string echo(std::string_view text)
{
    constexpr std::size_t kEchoLength = 64;
    return std::string(text.substr(0, kEchoLength)) + (text.size() > kEchoLength ? "..." : "");
}

DatBuilder::DatBuilder(DatSet& set, const DatError& err, const std::function<bool()>& cancelled,
                       std::size_t memoryBudget)
    : m_set(set), m_err(err), m_cancelled(cancelled), m_budget(memoryBudget),
      m_entriesBefore(set.m_entries.size()), m_arenaBefore(set.m_arena.size())
{}

DatBuilder::~DatBuilder()
{
    if (m_committed)
        return;
    // Everything this DAT added is taken back whole.
    m_set.m_entries.resize(m_entriesBefore);
    m_set.m_arena.resize(m_arenaBefore);
}

void DatBuilder::reserve(std::size_t entries)
{
    if (m_set.m_entries.size() + entries > UINT32_MAX)
        throw Error("DAT \"" + m_err.file() + "\" has too many entries");
    m_set.m_entries.reserve(m_set.m_entries.size() + entries);
}

void DatBuilder::checkCancelled()
{
    if (m_cancelled && ++m_walked % 4096 == 0 && m_cancelled())
        throw Error("DAT \"" + m_err.file() + "\": load cancelled");
}

void DatBuilder::beginGame(GameFields game)
{
    m_game = std::move(game);
    m_gameStored = false;
}

void DatBuilder::addRom(const RomFields& rom)
{
    checkCancelled();
    const std::size_t added = m_set.m_entries.size() - m_entriesBefore;
    if (added == kMaxDatEntries)
        throw Error("DAT \"" + m_err.file() + "\" has more than " + std::to_string(kMaxDatEntries) +
                    " entries");
    if (m_set.m_entries.size() == UINT32_MAX)
        throw Error("DAT \"" + m_err.file() + "\" has too many entries");
    DatSet::Entry e;
    e.dat = static_cast<std::uint32_t>(m_set.m_dats.size());
    if (const auto size = decimalSize(m_err, rom.offset, rom.size)) {
        e.size = *size;
        e.present |= kHasSize;
    }
    if (const auto crc = hexCrc(m_err, rom.offset, rom.crc)) {
        e.crc32 = *crc;
        e.present |= kHasCrc;
    }
    if (hexDigest(m_err, rom.offset, "md5", rom.md5, e.md5))
        e.present |= kHasMd5;
    if (hexDigest(m_err, rom.offset, "sha1", rom.sha1, e.sha1))
        e.present |= kHasSha1;
    if (hexDigest(m_err, rom.offset, "sha256", rom.sha256, e.sha256))
        e.present |= kHasSha256;
    // Such an entry can match nothing, and costs memory all the same.
    if (e.present == 0)
        m_err.at(rom.offset, "an entry with neither a size nor a digest");

    std::string& arena = m_set.m_arena;
    const auto store = [&](std::string_view s) {
        if (s.size() > UINT32_MAX - arena.size())
            throw Error("DAT \"" + m_err.file() + "\" has too many names for one set");
        const DatSet::Text t{static_cast<std::uint32_t>(arena.size()),
                             static_cast<std::uint32_t>(s.size())};
        arena.append(s);
        return t;
    };
    if (!m_gameStored) {
        // Stored once for all of the game's roms.
        m_gameName = store(m_game.name);
        std::string family;
        for (const std::string_view field : {m_game.id, m_game.cloneOf, m_game.cloneOfId})
            family.append(field).push_back('\0');
        family.append(m_game.releases).push_back('\0');
        m_family = store(family);
        m_gameStored = true;
    }
    e.game = m_gameName;
    e.family = m_family;
    e.rom = store(rom.name);
    e.serial = store(rom.serial);
    e.status = store(rom.status);
    m_set.m_entries.push_back(e);
    // The entries and names so far, and the indexes they will take (six numbers each at most).
    const std::size_t used = (added + 1) * (sizeof(DatSet::Entry) + 6 * sizeof(std::uint32_t)) +
                             (arena.size() - m_arenaBefore);
    if (used > m_budget)
        throw Error("DAT \"" + m_err.file() + "\" would take more than " +
                    std::to_string(kMaxDatParseFactor) +
                    " times its size in memory to read: it holds more entries than a DAT of its "
                    "size honestly can");
}

void DatBuilder::commit(DatInfo info)
{
    m_set.m_arena.shrink_to_fit();
    m_set.m_dats.push_back(std::move(info));
    m_set.rebuildIndexes();
    m_committed = true;
}

} // namespace dat

} // namespace cartscope::core
