#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/staged_copy.h"
#include "archive/staged_zip.h"
#include "core/base/fd.h"
#include "core/rebuild/output_file.h"
#include "core/verify/dat.h"
#include "core/verify/verify.h"

// Putting verified dumps in order under their DAT names: DIR/<DAT name>/<rom name>, or
// DIR/<DAT name>/<game name>.zip holding the rom. The plan is made from the verification
// results alone; carrying it out never loses a dump: every write appears whole, and a source is
// removed only once its copy is in place, synced and known to hold the verified bytes (read back,
// or staged from the very bytes the verification hashed).
namespace cartscope::archive {

enum class OrganiseFormat { Raw, Zip, TorrentZip };
enum class OrganiseMode { Copy, Move, Link };

// The longest name most file systems take, in bytes, where the folder does not say.
inline constexpr std::size_t kDefaultNameLimit = 255;

// A name from a DAT as one path component: "/" and "\" become "_", cleaned as names from an
// image are (cleanName), then what FAT, exFAT and NTFS refuse: `:*?"<>|` become "_", trailing
// dots and spaces are dropped, a reserved device name ("CON", "lpt1.txt") gets "_" in front;
// cut to `limit` bytes at a character boundary, keeping the extension when it fits.
std::string componentName(std::string_view name, std::size_t limit = kDefaultNameLimit);

// What the verification's read left in the destination's file system for a dump: its bytes as
// they are (raw output, named as the destination) or deflated (a zip's member). Either may be
// empty.
struct StagedBytes {
    std::unique_ptr<StagedCopy> copy;
    std::unique_ptr<StagedDeflate> deflated;
};

// One dump that verified.
struct Dump {
    std::string path;                  // the file, or the archive holding it
    std::optional<std::string> member; // the member's name when in an archive
    std::size_t memberIndex = 0;       // its position in the archive
    core::VerifyResult result;
    // Opens `path` for reading (the command line's rule for links below a folder).
    std::function<core::UniqueFd()> open;
    // The dump's bytes as verified, staged while they were read: the dump is then placed from
    // them, not by reading it again. May be empty.
    std::shared_ptr<StagedBytes> staged;
};

// One rom going into a destination file.
struct RomPlacement {
    std::size_t dump = 0; // index into the dumps
    std::uint32_t rom = 0;
    std::string name; // raw: the file name; zip: the member's name
};

// One destination file: DIR/folder/file.
struct Target {
    std::string folder;
    std::string file;
    std::vector<RomPlacement> roms; // one for raw output, each rom of the game for a zip
};

struct Duplicate {
    std::size_t dump = 0;
    std::size_t first = 0; // the dump that holds the place
};

struct Plan {
    std::vector<Target> targets;
    std::vector<Duplicate> duplicates;
};

// Dumps in the order given (the first of two copies of one rom takes the place); names cleaned
// by componentName, two that clean to one name (letter case aside) told apart by " (2)", " (3)".
Plan planOrganise(const std::vector<Dump>& dumps, const core::DatSet& dats, OrganiseFormat format,
                  std::size_t nameLimit = kDefaultNameLimit);

struct OrganiseOptions {
    std::string to;
    OrganiseFormat format = OrganiseFormat::Raw;
    OrganiseMode mode = OrganiseMode::Copy;
    bool pad = false;
};

enum class Outcome { Written, Moved, Linked, InPlace };

struct TargetOutcome {
    Outcome outcome = Outcome::Written;
    // Sources removed by --move, and archives that held a source and were kept.
    std::vector<std::string> removed, keptArchives;
};

// Carries out one target: a destination that already holds the right bytes is left alone (and,
// moving, its sources removed); another file there is an error. A raw dump with a staged copy
// is placed by naming that copy (padded first when padding is wanted), a zip whose members were
// all staged deflated is written from them; the staged bytes of the target's dumps are closed
// either way. Throws core::Error with the
// user's message; whatever happened before the throw left every dump at least once, whole.
TargetOutcome carryOut(const Target& target, const std::vector<Dump>& dumps,
                       const core::DatSet& dats, const OrganiseOptions& options,
                       const core::Checkpoint& checkpoint = {});

// The destination path of a target.
std::string targetPath(const OrganiseOptions& options, const Target& target);

} // namespace cartscope::archive
