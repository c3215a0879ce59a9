#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/rebuild/rename_plan.h"

// The planner behind planRenames (rename_plan.cpp states the rules): pairing, numbering and the
// table's encoding in rename_plan.cpp, the folders in rename_folders.cpp.
namespace cartscope::core::rebuild::renames {

inline constexpr std::size_t kEntrySize = 8;
inline constexpr std::uint32_t kNoId = 0xFFFFFFFF;

inline std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

inline std::string baseOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline bool byBytes(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

inline bool isFileKind(RegionKind kind)
{
    return kind == RegionKind::File || kind == RegionKind::Overlay;
}

// A folder of the table to write.
struct Slot {
    std::string path; // below the tree; a folder the tree never held keeps its old path
    std::string name; // as the table names it
    std::optional<std::size_t> oldIndex;
    std::size_t parent = 0;         // slot index
    std::vector<std::size_t> files; // layout regions listed here
    std::vector<std::size_t> added; // indexes into TreeNames::unlisted
};

// The image's old folders as the layout's paths show them.
struct OldFolders {
    std::vector<std::optional<std::string>> path; // by main-table index, as written in the tree
    std::vector<std::string> name;                // the table's own bytes
    std::vector<std::size_t> parent;
    std::vector<bool> known, holdsFiles;
    std::vector<std::string> rawFileName; // by layout region, "" when none
};

// Plans the names of a tree: see planRenames.
class Planner {
public:
    Planner(const Layout& layout, std::span<const std::uint8_t> fnt,
            std::span<const std::uint8_t> fat, const TreeNames& names, bool renumber,
            const TreeHasher& hash, const std::string& tree);

    RenamePlan run();

private:
    std::string shown(const std::string& path) const;

    [[noreturn]] void refuse(const std::string& what, const std::string& folder) const;

    void readOldTables(std::span<const std::uint8_t> fat);

    void pairRenames();

    std::size_t addSlot(Slot slot);

    // The old folders the tree still has (or never had), and the folders new to it.
    void makeSlots();

    // A new folder whose renamed files all come from one folder that left takes its place:
    // old index -> new path.
    std::map<std::size_t, std::string>
    claimRenamedFolders(const std::map<std::string, std::size_t>& goneFolders,
                        std::vector<bool>& stays) const;

    // Folders the tree never held stay while their parent does; parents may come later in the
    // table, so passes until none is added (bounded by the folder count).
    void keepFoldersNeverHeld(std::vector<bool>& stays) const;

    bool isStayingOldPath(const std::string& path, const std::vector<bool>& stays) const;

    void checkName(const std::string& path) const;

    std::size_t slotOf(const std::string& path) const;

    void fillSlots();

    // Every ID stays; files in folders of new files only take IDs after the existing ones.
    void keepIds();

    void assignAdded(std::size_t k, std::uint32_t id);

    // The listed files numbered again in the table's order, past the overlays' IDs.
    void renumber();

    std::uint16_t oldFirstId(std::size_t index) const;

    void encode();

    const Layout& m_layout;
    std::span<const std::uint8_t> m_fnt;
    const TreeNames& m_names;
    bool m_renumber;
    const TreeHasher& m_hash;
    const std::string& m_tree;
    std::uint32_t m_oldEntries;
    OldFolders m_old;
    std::vector<std::size_t> m_addedIndex; // unlisted files that are no rename
    std::unordered_map<std::size_t, std::uint32_t> m_idOfUnlisted;
    std::vector<Slot> m_slots;
    std::unordered_map<std::string, std::size_t> m_slotByPath;
    RenamePlan m_plan;
};

} // namespace cartscope::core::rebuild::renames
