#include "core/verify/dat_builder.h"

#include <algorithm>

#include "core/base/error.h"
#include "core/base/hex.h"

namespace cartscope::core::dat {

namespace {

// Hex of exactly out.size() bytes, either case; false (nothing written) for an absent value.
bool hexDigest(const DatError& err, std::ptrdiff_t at, const char* key, std::string_view text,
               std::span<std::uint8_t> out)
{
    if (text.empty())
        return false;
    if (text.size() != 2 * out.size())
        err.at(at, std::string("bad ") + key + " \"" + echo(text) + "\" (" +
                       std::to_string(2 * out.size()) + " hex digits expected)");
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hexDigitValue(text[2 * i]);
        const int lo = hexDigitValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            err.at(at, std::string("bad ") + key + " \"" + echo(text) + "\" (not hex)");
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
            err.at(at, "bad crc \"" + echo(text) + "\" (up to 8 hex digits expected)");
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
            err.at(at, "bad size \"" + echo(text) + "\"");
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (v > kMaxDatRomSize)
        err.at(at, "bad size \"" + echo(text) + "\" (absurdly large)");
    return v;
}

} // namespace

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

DatSet::Entry DatBuilder::values(const RomFields& rom) const
{
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
    return e;
}

DatSet::Text DatBuilder::store(std::string_view s)
{
    std::string& arena = m_set.m_arena;
    if (s.size() > UINT32_MAX - arena.size())
        throw Error("DAT \"" + m_err.file() + "\" has too many names for one set");
    const DatSet::Text t{static_cast<std::uint32_t>(arena.size()),
                         static_cast<std::uint32_t>(s.size())};
    arena.append(s);
    return t;
}

void DatBuilder::storeGame()
{
    m_gameName = store(m_game.name);
    std::string family;
    for (const std::string_view field : {m_game.id, m_game.cloneOf, m_game.cloneOfId})
        family.append(field).push_back('\0');
    family.append(m_game.releases).push_back('\0');
    m_family = store(family);
    m_gameStored = true;
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
    DatSet::Entry e = values(rom);
    // The game's names are stored once for all of its roms.
    if (!m_gameStored)
        storeGame();
    e.game = m_gameName;
    e.family = m_family;
    e.rom = store(rom.name);
    e.serial = store(rom.serial);
    e.status = store(rom.status);
    m_set.m_entries.push_back(e);
    // The entries and names so far, and the indexes they will take (six numbers each at most).
    const std::size_t used = (added + 1) * (sizeof(DatSet::Entry) + 6 * sizeof(std::uint32_t)) +
                             (m_set.m_arena.size() - m_arenaBefore);
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

} // namespace cartscope::core::dat
