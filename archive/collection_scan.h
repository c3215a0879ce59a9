#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/base/fd.h"
#include "core/io/read_pass.h"
#include "core/verify/dat.h"
#include "core/verify/verify.h"

// The dumps of a collection and their verification, for every front end that works on many
// dumps at once (`verify`, `organise`, `report`, the collection window): the paths given,
// folders walked, and each dump (a file, or every image member of a .zip or .7z) read once and
// verified against the DATs.
namespace cartscope::archive {

struct DumpItem {
    std::string path;
    bool zip = false; // named .zip: read as an archive even without the signature in front
    std::uint64_t size = 0;
    std::string error; // set when the path could not even be looked at
    // Found by the walk below a folder the user gave: where the part of `path` below that folder
    // starts. That part is opened one component at a time, never through a link.
    std::size_t belowAt = std::string::npos;
};

// Every image, .zip and .7z the paths name, folders walked recursively (names sorted, links
// inside them never followed, nesting bounded); a path that cannot be looked at is an item with
// its error.
std::vector<DumpItem> collectDumps(const std::vector<std::string>& paths);

// Opens an item for reading: a path the user gave as it is (followed when it is a link); below
// a folder the user gave, never through a link that replaced a file or folder after the walk.
// Throws core::Error.
core::UniqueFd openDumpItem(const DumpItem& item);

// The memory the jobs reading 7z archives may take together. A 7z reader takes its dictionary
// (up to 1.5 GiB), not a few MiB, so a job whose archive needs more than is left waits until
// others are done. One always runs, so an archive needing more than the whole is read alone.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t total) : m_total(total) {}

    // Holds `bytes` of the budget until it goes.
    class Share {
    public:
        Share(MemoryBudget& budget, std::uint64_t bytes);
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

    private:
        MemoryBudget& m_budget;
        std::uint64_t m_bytes;
    };

private:
    std::mutex m_mutex;
    std::condition_variable m_freed;
    std::uint64_t m_total;
    std::uint64_t m_used = 0; // may pass m_total only while one share holds it all
};

// One dump as verified, or why it could not be.
struct ScannedDump {
    std::string path;                  // the file, or the archive holding it
    std::optional<std::string> member; // the member's name when in an archive
    std::size_t memberIndex = 0;       // its position in the archive
    std::optional<core::VerifyResult> result;
    std::string error;       // the user's message when there is no result
    bool torrentzip = false; // in a zip archive in the canonical TorrentZip layout
};

struct ScanHooks {
    // Asked while reading; true stops the item (nothing more is reported for it).
    std::function<bool()> cancelled;
    // Bytes of the item read since the last call (progress).
    std::function<void(std::uint64_t)> onBytes;
    // Shares this budget while a 7z archive is read (none: no limit).
    MemoryBudget* memory = nullptr;
    // Hash on helper threads (one job reading many dumps at once wants false).
    bool threaded = false;
    // Asked once for every dump before its one read, with the item open as `fd` and whether the
    // dump is a member of that archive (else the file itself): a sink that takes its bytes too
    // (a copy riding the verification's read), or nullptr. The caller owns it; a member's is
    // asked for only after the dump before it was reported.
    std::function<core::ReadSink*(int fd, bool member)> dumpSink;
};

// Verifies one item, handing `report` one ScannedDump per dump it holds: one for a file, one per
// image member of an archive in archive order ("No .nds, .ids, .dsi or .srl image in the
// archive" when it has none), one with the error for an item that cannot be read. Throws
// core::Error only when the item cannot be opened at all.
void scanItem(const DumpItem& item, const core::DatSet& dats, const ScanHooks& hooks,
              const std::function<void(ScannedDump)>& report);

} // namespace cartscope::archive
