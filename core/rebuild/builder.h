#pragma once

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/fs/fnt.h"
#include "core/io/stream.h"
#include "core/rebuild/build.h"
#include "core/rebuild/build_io.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/layout.h"
#include "core/rebuild/path_index.h"
#include "core/rebuild/rename_plan.h"

// The build of a tree with its layout (buildImage): opening and the unchanged image in
// build.cpp, the walk over the tree in build_walk.cpp, edits laid out and written in
// build_edits.cpp.
namespace cartscope::core::rebuild::building {

// Tables and blocks read whole to be changed: the allocation table of 65,536 files, a banner.
inline constexpr std::uint64_t kMaxFatBytes = 65536 * 8;
inline constexpr std::uint64_t kMaxBannerBytes = 1 << 20;
inline constexpr std::uint64_t kMaxOverlayTableBytes = 65536 * 32;
inline constexpr std::uint64_t kMaxFntBytes = kNameTableReadAhead;

std::int64_t mtimeOf(const struct stat& st);

// layout.json's bytes as read.
struct LayoutText {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

class Builder {
public:
    Builder(const std::string& tree, const std::string& out, const BuildOptions& options);

    BuildResult run(const std::string& out);

private:
    LayoutText readLayoutText();

    // OUT is never one of the build's own files, nor placed in the tree or the layout (it would
    // contradict them at the next build).
    void checkOutput(const std::string& out);

    void interruptPoint() const;

    // The folders breadth first, each opened below the one before without following links; one
    // folder open at a time.
    void walkTree(Output& image);

    std::vector<std::pair<std::string, unsigned char>> listFolder(int fd, const std::string& rel);

    std::string shown(const std::string& rel, const std::string& name = {}) const;

    void takeFile(int dir, const std::string& name, const std::string& path, Output& image);

    // A file extract wrote decompressed: the image's own bytes while it is unchanged; an edited
    // one is packed again once the whole tree is seen (the ARM9 needs the header).
    void takeDecompressed(std::size_t i, const struct stat& st, int fd, const std::string& full,
                          Output& image);

    void copyOriginal(const Region& r, std::uint64_t offset, Output& image);

    // A region whose bytes are not its tree file's: made here (packed again, a table that
    // follows), or a decompressed file's original bytes. Returns whether it was one.
    bool writeInstead(std::size_t i, std::uint64_t offset, Output& image);

    // The edited decompressed files packed again, and the overlay tables' entries for the
    // overlays among them.
    void repackEdited();

    static bool inSystemFolder(const std::string& path);

    // A file at a path the layout does not list: renamed or added (see rename_plan.h).
    void takeUnlisted(int dir, const std::string& name, const std::string& path);

    // The tree's names differ from the layout's: which files were renamed, added and removed,
    // and the IDs they take. Renamed files are copied into their place here, as unchanged ones
    // were during the walk.
    void planNames(Output& image, BuildResult& result);

    bool removed(std::size_t i) const;

    // The file ID a region has after the build.
    std::uint32_t idAfter(std::size_t i) const;

    // Size first; then the digest where the layout has one (also for a copy that kept its time),
    // and the modification time unless the digests decide.
    template <typename Full>
    bool edited(const Region& r, const struct stat& st, int fd, const Full& full) const;

    std::vector<std::uint8_t> readRegionFile(const Region& r, std::uint64_t size,
                                             std::uint64_t limit);

    std::vector<std::uint8_t> readLayoutBytes(const Region& r, std::uint64_t limit);

    // The fill of the image's gaps: the run that pads the image at its end, else 0xFF.
    std::uint8_t gapFill() const;

    // A tree with edits (or laid out again): the plan decides where each region goes; the gaps
    // are written first, the freed bytes over them, then the regions, then the tables.
    void writeEdited(Output& image, BuildResult& result);
    // The image sized as the plan says, its gaps written and the freed bytes filled.
    void writeGapsAndFreed(Output& image, const EditPlan& plan);
    // The regions the plan placed anew or that were edited, the header and the allocation
    // table apart.
    void writePlaced(Output& image, const EditPlan& plan, std::size_t header,
                     std::optional<std::size_t> fat);
    // The allocation table where the plan put it, following the regions; its range is added to
    // `changed` when its bytes differ.
    void writeAllocation(Output& image, std::span<const EditRegion> regions, const EditPlan& plan,
                         std::size_t fat, std::vector<ByteRange>& changed);

    bool isOutput(const struct stat& st) const;

    static std::string outputMessage(const std::string& full);

    void refuseOutput(const struct stat& st, const std::string& full) const;

    // `name` in the folder `dir` opened to be read: a regular file, no link followed, not the
    // output; `st` gets its status. `full()` names it in the message of a refusal (made only
    // then: this runs once per file).
    template <class Full>
    UniqueFd openInput(int dir, const char* name, struct stat& st, const Full& full) const
    {
        UniqueFd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
            throw Error(cannotOpenMessage(full(), errno));
        if (!S_ISREG(st.st_mode))
            throw Error(notRegularMessage(full(), st.st_mode));
        if (isOutput(st))
            throw Error(outputMessage(full()));
        return fd;
    }

    // A file of the layout folder (fnt.bin, fat.bin, gaps/...), checked to be a regular file of
    // `size` bytes.
    UniqueFd openLayoutFile(const std::string& rel, std::uint64_t size);

    void copyLayoutFile(const std::string& rel, std::uint64_t size, std::uint64_t offset,
                        Output& image);

    // The image's bytes at [offset, offset + size) when the runs outside the regions hold them
    // all; nothing when a region holds any of them.
    std::optional<std::vector<std::uint8_t>> runBytes(std::uint64_t offset, std::uint64_t size);

    // The Download Play signature block right after the old used size, when the gaps hold one.
    std::optional<std::vector<std::uint8_t>> downloadPlayBlock(std::uint64_t used);

    // The runs outside every region that lie inside the image being written.
    void writeRuns(Output& image, std::uint64_t imageSize);

    std::string m_tree;
    std::string m_layoutPath;
    const BuildOptions& m_options;
    UniqueFd m_treeFd;
    UniqueFd m_layoutFd;
    std::vector<std::pair<std::string, UniqueFd>> m_layoutFolders; // its subfolders, held
    Layout m_layout;
    std::optional<std::pair<dev_t, ino_t>> m_outId;
    PathIndex m_byPath; // the tree files' paths to their regions
    std::vector<bool> m_seen;
    std::vector<std::optional<std::uint64_t>> m_newSize; // the edited files' sizes
    std::vector<std::size_t> m_repack; // edited files that extract wrote decompressed
    // Bytes made for a region instead of its tree file's: packed again, or a table that follows.
    std::unordered_map<std::size_t, std::vector<std::uint8_t>> m_made;
    std::size_t m_edited = 0;
    std::size_t m_files = 0;
    std::size_t m_treeFiles = 0;
    std::size_t m_systemRegions = 0;
    TreeNames m_names;                   // what the walk found that the layout does not list
    std::optional<RenamePlan> m_renames; // set when the names changed
    std::size_t m_layoutCount = 0;       // the layout's regions; added files follow them
    std::vector<std::uint8_t> m_oldFat;
};

} // namespace cartscope::core::rebuild::building
