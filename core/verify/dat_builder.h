#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/verify/dat.h"

// What both DAT forms (Logiqx XML, clrmamepro text) share once parsed: the checks on each
// entry's values and the one way entries enter a set. Not for use outside the DAT parsers.
namespace cartscope::core::dat {

// Which of an entry's values its DAT gave (DatSet's Entry::present).
inline constexpr std::uint8_t kHasSize = 1;
inline constexpr std::uint8_t kHasCrc = 2;
inline constexpr std::uint8_t kHasMd5 = 4;
inline constexpr std::uint8_t kHasSha1 = 8;
inline constexpr std::uint8_t kHasSha256 = 16;

// Errors that name the DAT and the line of a byte offset in its text.
class DatError {
public:
    DatError(const std::string& file, std::span<const char> text) : m_file(file), m_text(text) {}
    [[noreturn]] void at(std::ptrdiff_t offset, const std::string& what) const;
    const std::string& file() const { return m_file; }

private:
    const std::string& m_file;
    std::span<const char> m_text;
};

// An attribute echoed in a message: enough to recognise it, never the whole of a huge one.
std::string echo(std::string_view text);

// One game's fields as the DAT writes them (views into the parser's text, valid until the
// game's last rom is added).
struct GameFields {
    std::string_view name, id, cloneOf, cloneOfId;
    std::string releases; // "region/language\n" per release
};

// One rom's fields as text; an empty text is an absent value.
struct RomFields {
    std::ptrdiff_t offset = 0; // where the rom is, for messages
    std::string_view name, size, crc, md5, sha1, sha256, serial, status;
};

// Adds one DAT's entries to a set; everything added is taken back unless commit() is reached.
class DatBuilder {
public:
    // `memoryBudget`: the most bytes the new entries and names may take (the clrmamepro form,
    // which has no parser of its own to count); SIZE_MAX for none.
    DatBuilder(DatSet& set, const DatError& err, const std::function<bool()>& cancelled,
               std::size_t memoryBudget = SIZE_MAX);
    ~DatBuilder();
    DatBuilder(const DatBuilder&) = delete;
    DatBuilder& operator=(const DatBuilder&) = delete;

    void reserve(std::size_t entries);
    // Starts a game; its name and fields are stored with its first rom (a game without roms
    // costs nothing).
    void beginGame(GameFields game);
    // Checks and adds one rom of the current game: bad hex, an absurd size, an entry with neither
    // size nor digest, past kMaxDatEntries entries or the memory budget are refused.
    void addRom(const RomFields& rom);
    // Asked for every game and entry walked; asks `cancelled` every 4096 of them.
    void checkCancelled();
    // The DAT is whole: its entries stay and the set's indexes take them in.
    void commit(DatInfo info);

private:
    // The rom's size, CRC-32 and digests, checked, with the bits of those it gives.
    DatSet::Entry values(const RomFields& rom) const;
    // `s` appended to the set's names.
    DatSet::Text store(std::string_view s);
    // The current game's name and fields, once for all of its roms.
    void storeGame();

    DatSet& m_set;
    const DatError& m_err;
    const std::function<bool()>& m_cancelled;
    std::size_t m_budget;
    std::size_t m_entriesBefore, m_arenaBefore;
    std::size_t m_walked = 0;
    bool m_committed = false;
    GameFields m_game;
    bool m_gameStored = false;
    DatSet::Text m_gameName{}, m_family{};
};

} // namespace cartscope::core::dat
