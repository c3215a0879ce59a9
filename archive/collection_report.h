#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/verify/dat.h"
#include "core/verify/verify.h"

// What a collection holds against its DATs: per DAT, the games held (every rom of the game
// matched by a dump that verified, trimmed or not), the games missing, and the games held more
// than once; and the files a collector acts on (a list of what is missing, a fixdat).
namespace cartscope::archive {

// One dump as verified: the file (or the archive holding it) and its verification.
struct ReportedDump {
    std::string path;
    std::optional<std::string> member; // the member's name when in an archive
    core::VerifyResult result;         // only Verified and VerifiedTrimmed count as held
};

// A game held by more than one dump: its name and where each copy is, in the order given.
struct HeldTwice {
    std::string game;
    std::vector<std::string> places; // "path" or "path/member"
};

// One DAT's side of the report; games in DAT order.
struct DatSummary {
    std::size_t dat = 0;   // index into DatSet::dats()
    std::size_t games = 0; // games in the DAT
    std::vector<std::string> held;
    std::vector<std::string> missing;
    std::vector<HeldTwice> twice;
};

struct CollectionReport {
    std::vector<DatSummary> dats; // one per loaded DAT, in load order
};

// Counts the dumps against every DAT of the set. Cost: one pass over the dumps and one over the
// set's entries; nothing is read from disk.
CollectionReport makeReport(const core::DatSet& dats, std::span<const ReportedDump> dumps);

// The report as the command prints it (per DAT a title line, then held, missing and held-twice
// counts and the names missing and held twice).
std::string reportText(const CollectionReport& report, const core::DatSet& dats);

// The report as one JSON document.
std::string reportJson(const CollectionReport& report, const core::DatSet& dats);

// Writes the missing entries as CSV (one row per missing rom: DAT, game, rom, size, CRC-32,
// MD5, SHA-1), appearing whole. Throws core::Error with the user's message.
void writeMissingCsv(const CollectionReport& report, const core::DatSet& dats,
                     const std::string& file);

// Writes DIR/<DAT name> (fixdat).dat for every DAT with a game missing: a Logiqx DAT of the
// missing entries with the source DAT's header and a note of its origin. Each file appears
// whole. Returns the paths written. Throws core::Error with the user's message.
std::vector<std::string> writeFixdats(const CollectionReport& report, const core::DatSet& dats,
                                      const std::string& dir);

} // namespace cartscope::archive
