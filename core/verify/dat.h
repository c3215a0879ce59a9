#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/checksum/digest.h"

// Logiqx XML DATs (the preservation databases' format): loaded, checked and indexed by every
// digest they carry.
namespace cartscope::core {

// The largest DAT accepted, plain or unpacked from an archive. The biggest real ones are tens of
// megabytes.
inline constexpr std::uint64_t kMaxDatSize = std::uint64_t{256} << 20;
// The most entries one DAT may hold. No-Intro's largest sets have under 100,000, MAME's
// Logiqx DATs a few hundred thousand.
inline constexpr std::size_t kMaxDatEntries = 1'000'000;
// The most memory the XML parser may take for a DAT's elements, as a multiple of its size.
// Real DATs take 1.5 (No-Intro) to 2.5 (MAME's many small roms) times their text; a DAT of
// empty elements takes over ten times its text, so this caps what a DAT of a given size can
// cost, whatever it holds.
inline constexpr std::uint64_t kMaxDatParseFactor = 4;
// The largest ROM size a DAT entry may declare; anything above is an absurd size.
inline constexpr std::uint64_t kMaxDatRomSize = std::uint64_t{1} << 40;

// The most header fields kept of one DAT; real headers have about ten.
inline constexpr std::size_t kMaxDatHeaderFields = 64;

struct DatInfo {
    std::string file;    // where it was loaded from (for messages)
    std::string name;    // <header><name>
    std::string version; // <header><version>
    // Every text field of the header in the DAT's order (name, description, version, author,
    // homepage, ...), at most kMaxDatHeaderFields: what a DAT made from this one carries over.
    std::vector<std::pair<std::string, std::string>> header;
};

// One <rom> of one <game>, as the set hands it out: a view of the set's compact storage, valid
// while the set lives and nothing is added to it. Digests are raw bytes, empty when the
// attribute is absent.
struct DatRom {
    std::size_t dat = 0; // index into DatSet::dats()
    std::string_view game;
    std::string_view rom;
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> crc32;
    std::span<const std::uint8_t> md5, sha1, sha256;
    std::string_view serial;
    std::string_view status;
    // The game's parent/clone fields (empty when absent): its own `id`, the parent it is a clone
    // of by name (`cloneof`) or by id (`cloneofid`), and its <release> elements as
    // "region/language" lines, each ending in "\n".
    std::string_view id, cloneOf, cloneOfId, releases;

    bool has(DigestKind kind) const;
    std::span<const std::uint8_t> digest(DigestKind kind) const;
};

class DatSet;

// The entries of a set in load order, each made on access from its compact form.
class DatRoms {
public:
    explicit DatRoms(const DatSet& set) : m_set(set) {}
    std::size_t size() const;
    bool empty() const { return size() == 0; }
    DatRom operator[](std::size_t index) const;

private:
    const DatSet& m_set;
};

// Every loaded DAT, in load order, with one index per digest. An entry is kept compact: its
// digests as bytes in the entry, its names in one shared text arena, and every index a sorted
// array of entry numbers, so a DAT costs a fixed amount per entry with no allocation per entry.
class DatSet {
public:
    // Parses one DAT held in memory. `file` names it in errors ("DAT "%s" line %d: ..."). Throws
    // Error for bad XML, a DOCTYPE that declares entities, a document that is not a Logiqx
    // datafile, bad hex or an absurd size, an entry with neither a size nor a digest (naming
    // the line), more than kMaxDatEntries entries, or XML whose elements would take more than
    // kMaxDatParseFactor times its size to hold. Nothing is added on failure.
    // `cancelled`, when set, is asked every few thousand entries; once it says true the parse
    // stops by the same road (an Error, nothing added).
    void addXml(const std::string& file, std::span<const char> xml,
                const std::function<bool()>& cancelled = {});

    bool empty() const { return m_dats.empty(); }
    const std::vector<DatInfo>& dats() const { return m_dats; }
    DatRoms roms() const { return DatRoms(*this); }

    // Entries carrying exactly this digest / this size and CRC-32, in load order.
    std::span<const std::uint32_t> byDigest(DigestKind kind,
                                            std::span<const std::uint8_t> value) const;
    std::span<const std::uint32_t> bySizeCrc(std::uint64_t size, std::uint32_t crc) const;

    // Entries without a SHA-1 (matched by another digest); in No-Intro's DATs there are none.
    const std::vector<std::uint32_t>& withoutSha1() const { return m_withoutSha1; }
    // Every distinct entry size, ascending (the sizes a trimmed image may be padded to).
    const std::vector<std::uint64_t>& sizes() const { return m_sizes; }
    // Entries of exactly this size, in load order.
    std::span<const std::uint32_t> bySize(std::uint64_t size) const;

    // The bytes the entries and their indexes take (for measurements).
    std::size_t memoryUsed() const;

private:
    friend class DatRoms;
    // A name in the arena: where it starts and how long it is.
    struct Text {
        std::uint32_t at = 0;
        std::uint32_t length = 0;
    };
    // One entry as stored.
    struct Entry {
        std::uint64_t size = 0;
        std::uint32_t crc32 = 0;
        std::uint32_t dat = 0;
        Text game, rom, serial, status;
        // The game's id, cloneof, cloneofid and releases, each ended by a NUL (which XML
        // cannot hold): one name in the arena, shared by the game's roms.
        Text family;
        std::array<std::uint8_t, 16> md5{};
        std::array<std::uint8_t, 20> sha1{};
        std::array<std::uint8_t, 32> sha256{};
        std::uint8_t present = 0; // which of the values above the DAT gave (kHas* bits)
    };

    std::string_view text(Text t) const { return std::string_view(m_arena).substr(t.at, t.length); }
    void rebuildIndexes();

    std::vector<DatInfo> m_dats;
    std::vector<Entry> m_entries;
    std::string m_arena;
    std::array<std::vector<std::uint32_t>, kDigestKindCount> m_byDigest; // by digest, then number
    std::vector<std::uint32_t> m_bySizeCrc; // entries with both, by size, CRC-32, number
    std::vector<std::uint32_t> m_bySize;    // entries with a size, by size, number
    std::vector<std::uint32_t> m_withoutSha1;
    std::vector<std::uint64_t> m_sizes;
};

} // namespace cartscope::core
