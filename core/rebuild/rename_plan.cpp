// How a tree's names map onto the image's file IDs.
//
// A file the layout lists at its path keeps its ID. A layout path the tree lacks and a tree path
// the layout lacks are one file renamed (or moved) when they share their size and modification
// time, and the SHA-1 where the layout recorded one, and no other pair shares them: `mv` keeps
// both, and the old bytes are nowhere but in the image, which a build does not read. A renamed
// file keeps its ID. Other new paths are added files, other lost paths removed ones.
//
// The name table gives each folder a first file ID and numbers its files from there in the order
// it lists them, so a folder's files always hold consecutive IDs. Files in a folder that holds no
// file of the image take new IDs after every existing one. A file added to or removed from a
// folder that does, or a move that leaves a folder's IDs with a hole, would shift the IDs after
// it: refused, naming the folder, unless --renumber, which numbers the listed files again in the
// table's order from the lowest old file ID, past the overlays' IDs (which never change): each
// folder's files by their old ID, added ones after them by name; folders by the lowest old ID
// of the files they kept, else of the files moved in.
//
// Folders keep their names and places in the table; a new folder whose renamed files all come
// from one folder that left the tree takes that folder's place (a folder renamed); folders the
// tree never held (extract makes no empty folders) stay while their parent does.
#include "core/rebuild/rename_plan.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/base/names.h"
#include "core/fs/fnt.h"
#include "core/rebuild/name_table_writer.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::size_t kEntrySize = 8;
constexpr std::uint32_t kNoId = 0xFFFFFFFF;

std::string parentOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool byBytes(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

bool isFileKind(RegionKind kind)
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

class Planner {
public:
    Planner(const Layout& layout, std::span<const std::uint8_t> fnt,
            std::span<const std::uint8_t> fat, const TreeNames& names, bool renumber,
            const TreeHasher& hash, const std::string& tree)
        : m_layout(layout), m_fnt(fnt), m_names(names), m_renumber(renumber), m_hash(hash),
          m_tree(tree), m_oldEntries(static_cast<std::uint32_t>(fat.size() / kEntrySize))
    {
        const std::size_t n = layout.regions.size();
        m_plan.ids.resize(n);
        m_plan.removed.assign(n, false);
        m_plan.paths.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            m_plan.ids[i] = layout.regions[i].id;
            m_plan.paths[i] = layout.regions[i].path;
        }
        readOldTables(fat);
    }

    RenamePlan run()
    {
        pairRenames();
        makeSlots();
        fillSlots();
        if (m_renumber)
            renumber();
        else
            keepIds();
        encode();
        return std::move(m_plan);
    }

private:
    std::string shown(const std::string& path) const
    {
        return path.empty() ? m_tree : m_tree + "/" + path;
    }

    [[noreturn]] void refuse(const std::string& what, const std::string& folder) const
    {
        throw Error(what + " the folder \"" + shown(folder) +
                    "\", which shifts the file IDs after it; use --renumber to renumber them");
    }

    void readOldTables(std::span<const std::uint8_t> fat)
    {
        std::vector<TFileEntry> files;
        std::vector<TDirEntry> dirs;
        walkTables({m_fnt, nullptr}, {fat, 0x00}, files, dirs);
        OldFolders& o = m_old;
        o.path.assign(kDirIdCount, std::nullopt);
        o.name.assign(kDirIdCount, {});
        o.parent.assign(kDirIdCount, 0);
        o.known.assign(kDirIdCount, false);
        o.holdsFiles.assign(kDirIdCount, false);
        o.rawFileName.assign(m_layout.regions.size(), {});
        o.known[0] = true;
        o.path[0] = "";
        for (const TDirEntry& d : dirs) {
            if (d.DirID == 0 || o.known[d.DirID])
                continue;
            o.known[d.DirID] = true;
            o.name[d.DirID] = d.Name;
            o.parent[d.DirID] = d.ParentID;
        }
        std::unordered_map<std::uint32_t, std::size_t> byId;
        for (std::size_t i = 0; i < m_layout.regions.size(); ++i)
            if (m_layout.regions[i].kind == RegionKind::File)
                byId.emplace(m_layout.regions[i].id, i);
        for (const TFileEntry& f : files) {
            const auto r = byId.find(f.FileId);
            const std::optional<std::uint16_t> dir = folderIdOf(f);
            if (r == byId.end() || !dir || !o.known[*dir] || !o.rawFileName[r->second].empty())
                continue;
            o.rawFileName[r->second] = f.Name;
            if (!o.path[*dir])
                o.path[*dir] = parentOf(m_layout.regions[r->second].path);
            // Bounded: a parent chain is at most the folder count long.
            std::size_t at = *dir;
            for (std::size_t step = 0; step < kDirIdCount && !o.holdsFiles[at]; ++step) {
                o.holdsFiles[at] = true;
                at = o.parent[at];
            }
        }
        // Folders without files below them: their path from their parent's. Bounded: each pass
        // names at least one more folder or ends.
        for (bool more = true; more;) {
            more = false;
            for (std::size_t d = 1; d < kDirIdCount; ++d) {
                if (o.known[d] && !o.path[d] && o.path[o.parent[d]]) {
                    const std::string& up = *o.path[o.parent[d]];
                    o.path[d] = (up.empty() ? "" : up + "/") + cleanName(o.name[d]);
                    more = true;
                }
            }
        }
    }

    void pairRenames()
    {
        using Key = std::pair<std::uint64_t, std::int64_t>;
        std::map<Key, std::vector<std::size_t>> gone, unlisted;
        for (std::size_t r : m_names.gone)
            gone[{m_layout.regions[r].size, m_layout.regions[r].mtimeNs.value_or(-1)}].push_back(r);
        for (std::size_t k = 0; k < m_names.unlisted.size(); ++k)
            unlisted[{m_names.unlisted[k].size, m_names.unlisted[k].mtimeNs}].push_back(k);
        std::vector<bool> taken(m_names.unlisted.size(), false);
        for (const auto& [key, regions] : gone) {
            const auto match = unlisted.find(key);
            const std::size_t r = regions.front();
            if (regions.size() == 1 && match != unlisted.end() && match->second.size() == 1) {
                const std::size_t k = match->second.front();
                const Region& region = m_layout.regions[r];
                if (!region.sha1 || m_hash(m_names.unlisted[k].path) == *region.sha1) {
                    m_plan.paths[r] = m_names.unlisted[k].path;
                    m_plan.renamed.push_back(r);
                    taken[k] = true;
                    continue;
                }
            }
            for (std::size_t g : regions)
                m_plan.removed[g] = true;
        }
        for (std::size_t k = 0; k < taken.size(); ++k)
            if (!taken[k])
                m_addedIndex.push_back(k);
    }

    std::size_t addSlot(Slot slot)
    {
        if (m_slots.size() >= kMaxTreeFolders + 1)
            throw Error("The tree \"" + m_tree + "\" holds more than 4,095 folders");
        m_slotByPath.emplace(slot.path, m_slots.size());
        m_slots.push_back(std::move(slot));
        return m_slots.size() - 1;
    }

    // The old folders the tree still has (or never had), and the folders new to it.
    void makeSlots()
    {
        std::set<std::string> tree(m_names.folders.begin(), m_names.folders.end());
        tree.insert("");
        const OldFolders& o = m_old;
        std::map<std::string, std::size_t> goneFolders; // old path -> old index
        std::vector<bool> stays(kDirIdCount, false);
        for (std::size_t d = 0; d < kDirIdCount; ++d) {
            if (!o.known[d] || !o.path[d])
                continue;
            if (tree.count(*o.path[d]))
                stays[d] = true;
            else if (o.holdsFiles[d])
                goneFolders.emplace(*o.path[d], d);
        }
        const std::map<std::size_t, std::string> claimed = claimRenamedFolders(goneFolders, stays);
        keepFoldersNeverHeld(stays);
        std::vector<std::size_t> slotOfOld(kDirIdCount, 0);
        for (std::size_t d = 0; d < kDirIdCount; ++d) {
            if (!stays[d])
                continue;
            Slot s;
            const auto claim = claimed.find(d);
            s.path = claim != claimed.end() ? claim->second : *o.path[d];
            s.name = claim != claimed.end() ? baseOf(s.path) : o.name[d];
            s.oldIndex = d;
            slotOfOld[d] = addSlot(std::move(s));
        }
        std::vector<std::string> fresh;
        for (const std::string& path : tree)
            if (!m_slotByPath.count(path))
                fresh.push_back(path);
        std::sort(fresh.begin(), fresh.end(), byBytes);
        for (const std::string& path : fresh) {
            checkName(path);
            Slot s;
            s.path = path;
            s.name = baseOf(path);
            addSlot(std::move(s));
        }
        // Parents: by path for the tree's folders, by the old table for the others.
        for (std::size_t i = 1; i < m_slots.size(); ++i) {
            Slot& s = m_slots[i];
            const auto byPath = m_slotByPath.find(parentOf(s.path));
            if (s.oldIndex && !tree.count(s.path) && !claimed.count(*s.oldIndex))
                s.parent = slotOfOld[o.parent[*s.oldIndex]];
            else if (byPath != m_slotByPath.end())
                s.parent = byPath->second;
        }
    }

    // A new folder whose renamed files all come from one folder that left takes its place:
    // old index -> new path.
    std::map<std::size_t, std::string>
    claimRenamedFolders(const std::map<std::string, std::size_t>& goneFolders,
                        std::vector<bool>& stays) const
    {
        std::map<std::size_t, std::string> claimed;
        std::map<std::string, std::set<std::string>> sources;
        for (std::size_t r : m_plan.renamed)
            sources[parentOf(m_plan.paths[r])].insert(parentOf(m_layout.regions[r].path));
        for (const auto& [path, from] : sources) {
            const auto gone = goneFolders.find(*from.begin());
            if (from.size() == 1 && gone != goneFolders.end() && !isStayingOldPath(path, stays) &&
                !claimed.count(gone->second)) {
                claimed.emplace(gone->second, path);
                stays[gone->second] = true;
            }
        }
        return claimed;
    }

    // Folders the tree never held stay while their parent does; parents may come later in the
    // table, so passes until none is added (bounded by the folder count).
    void keepFoldersNeverHeld(std::vector<bool>& stays) const
    {
        const OldFolders& o = m_old;
        for (bool more = true; more;) {
            more = false;
            for (std::size_t d = 1; d < kDirIdCount; ++d)
                if (o.known[d] && o.path[d] && !stays[d] && !o.holdsFiles[d] &&
                    stays[o.parent[d]]) {
                    stays[d] = more = true;
                }
        }
    }

    bool isStayingOldPath(const std::string& path, const std::vector<bool>& stays) const
    {
        for (std::size_t d = 0; d < kDirIdCount; ++d)
            if (stays[d] && *m_old.path[d] == path)
                return true;
        return false;
    }

    void checkName(const std::string& path) const
    {
        if (baseOf(path).size() > kMaxNameBytes)
            throw Error("The name of \"" + shown(path) + "\" is longer than 127 bytes");
    }

    std::size_t slotOf(const std::string& path) const
    {
        const auto it = m_slotByPath.find(parentOf(path));
        if (it == m_slotByPath.end())
            throw Error("The file \"" + shown(path) + "\" lies in no folder of the tree");
        return it->second;
    }

    void fillSlots()
    {
        for (std::size_t i = 0; i < m_layout.regions.size(); ++i)
            if (m_layout.regions[i].kind == RegionKind::File && !m_plan.removed[i])
                m_slots[slotOf(m_plan.paths[i])].files.push_back(i);
        for (std::size_t k : m_addedIndex) {
            checkName(m_names.unlisted[k].path);
            m_slots[slotOf(m_names.unlisted[k].path)].added.push_back(k);
        }
        for (Slot& s : m_slots) {
            std::sort(s.files.begin(), s.files.end(), [&](std::size_t a, std::size_t b) {
                return m_layout.regions[a].id < m_layout.regions[b].id;
            });
            std::sort(s.added.begin(), s.added.end(), [&](std::size_t a, std::size_t b) {
                return byBytes(baseOf(m_names.unlisted[a].path), baseOf(m_names.unlisted[b].path));
            });
        }
    }

    // Every ID stays; files in folders of new files only take IDs after the existing ones.
    void keepIds()
    {
        for (std::size_t r : m_names.gone)
            if (m_plan.removed[r])
                refuse("The file \"" + shown(m_layout.regions[r].path) + "\" was removed from",
                       parentOf(m_layout.regions[r].path));
        std::uint32_t next = m_oldEntries;
        for (const Region& r : m_layout.regions)
            if (isFileKind(r.kind))
                next = std::max(next, r.id + 1);
        for (const Slot& s : m_slots) {
            if (s.files.empty()) {
                for (std::size_t k : s.added)
                    assignAdded(k, next++);
                continue;
            }
            if (!s.added.empty())
                refuse("The file \"" + shown(m_names.unlisted[s.added.front()].path) +
                           "\" was added to",
                       s.path);
            for (std::size_t j = 1; j < s.files.size(); ++j)
                if (m_layout.regions[s.files[j]].id != m_layout.regions[s.files[j - 1]].id + 1)
                    refuse("A file moved into or out of", s.path);
        }
        m_plan.allocationEntries = next;
        m_plan.keptEntries = m_oldEntries;
    }

    void assignAdded(std::size_t k, std::uint32_t id)
    {
        if (id > 0xFFFF)
            throw Error("The tree \"" + m_tree + "\" holds more than 65,536 files");
        m_plan.added.push_back(m_names.unlisted[k]);
        m_plan.addedIds.push_back(id);
        m_idOfUnlisted[k] = id;
    }

    // The listed files numbered again in the table's order, past the overlays' IDs.
    void renumber()
    {
        std::set<std::uint32_t> overlays;
        std::uint32_t start = kNoId, overlayEnd = 0;
        for (const Region& r : m_layout.regions) {
            if (r.kind == RegionKind::Overlay) {
                overlays.insert(r.id);
                if (r.id < m_oldEntries)
                    overlayEnd = std::max(overlayEnd, r.id + 1);
            } else if (r.kind == RegionKind::File) {
                start = std::min(start, r.id);
            }
        }
        if (start == kNoId)
            start = overlays.empty() ? 0 : *overlays.rbegin() + 1;
        std::vector<std::size_t> order(m_slots.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        // A folder's place: the lowest old ID of the files it kept, else of the files moved in.
        const auto lowest = [&](std::size_t s) {
            std::uint32_t kept = kNoId, moved = kNoId;
            for (std::size_t r : m_slots[s].files) {
                std::uint32_t& v = m_plan.paths[r] == m_layout.regions[r].path ? kept : moved;
                v = std::min(v, m_layout.regions[r].id);
            }
            return std::make_pair(kept, moved);
        };
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return lowest(a) < lowest(b); });
        std::uint32_t id = start;
        const auto take = [&] {
            // Bounded by the overlays: each step passes one.
            while (overlays.count(id))
                ++id;
            if (id > 0xFFFF)
                throw Error("The tree \"" + m_tree + "\" holds more than 65,536 files");
            return id++;
        };
        for (std::size_t s : order) {
            for (std::size_t r : m_slots[s].files) {
                m_plan.ids[r] = take();
                if (m_plan.ids[r] != m_layout.regions[r].id)
                    m_plan.changes.push_back(
                        {m_layout.regions[r].id, m_plan.ids[r], m_plan.paths[r]});
            }
            for (std::size_t k : m_slots[s].added)
                assignAdded(k, take());
        }
        std::sort(m_plan.changes.begin(), m_plan.changes.end(),
                  [](const IdChange& a, const IdChange& b) { return a.from < b.from; });
        m_plan.keptEntries = std::min(start, m_oldEntries);
        m_plan.allocationEntries = std::max({id, overlayEnd, m_plan.keptEntries});
    }

    std::uint16_t oldFirstId(std::size_t index) const
    {
        const std::size_t at = kEntrySize * index + 4; // +4 first file ID
        return at + 2 <= m_fnt.size() ? le16(m_fnt, at) : 0;
    }

    void encode()
    {
        std::vector<NameTableFolder> folders(m_slots.size());
        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            const Slot& s = m_slots[i];
            NameTableFolder& f = folders[i];
            f.parent = static_cast<std::uint16_t>(s.parent);
            std::uint32_t first = kNoId;
            for (std::size_t r : s.files) {
                first = std::min(first, m_plan.ids[r]);
                const bool renamed = m_plan.paths[r] != m_layout.regions[r].path;
                const std::string& raw = m_old.rawFileName[r];
                f.files.push_back(renamed || raw.empty() ? baseOf(m_plan.paths[r]) : raw);
            }
            for (std::size_t k : s.added) {
                first = std::min(first, m_idOfUnlisted.at(k));
                f.files.push_back(baseOf(m_names.unlisted[k].path));
            }
            // A folder without files keeps the first ID it had; a new one gets the next free.
            if (first != kNoId)
                f.firstFileId = static_cast<std::uint16_t>(first);
            else if (s.oldIndex)
                f.firstFileId = oldFirstId(*s.oldIndex);
            else
                f.firstFileId = static_cast<std::uint16_t>(m_plan.allocationEntries);
            if (i > 0)
                folders[s.parent].folders.emplace_back(s.name, static_cast<std::uint16_t>(i));
        }
        m_plan.nameTable = encodeNameTable(folders);
    }

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

} // namespace

RenamePlan planRenames(const Layout& layout, std::span<const std::uint8_t> fnt,
                       std::span<const std::uint8_t> fat, const TreeNames& names, bool renumber,
                       const TreeHasher& hash, const std::string& tree)
{
    return Planner(layout, fnt, fat, names, renumber, hash, tree).run();
}

std::vector<std::uint8_t> allocationAfter(std::span<const std::uint8_t> oldFat,
                                          const RenamePlan& names, std::span<const Region> layout,
                                          std::span<const EditRegion> regions,
                                          const EditPlan& placed)
{
    const std::size_t entries = names.allocationEntries;
    const std::size_t oldEntries = oldFat.size() / kEntrySize;
    std::vector<std::uint8_t> fat(entries * kEntrySize, 0);
    const std::size_t kept = std::min({entries, oldEntries, std::size_t{names.keptEntries}});
    std::copy_n(oldFat.begin(), kept * kEntrySize, fat.begin());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const EditRegion& r = regions[i];
        const Placement& p = placed.placed[i];
        const bool old = i < layout.size();
        if (!isFileKind(r.kind) || (old && names.removed[i]))
            continue;
        const bool same = old && p.offset == r.offset && p.size == r.size;
        if (r.id >= entries) {
            if (same)
                continue;
            throw Error("The allocation entry of file ID " + std::to_string(r.id) +
                        " lies past the allocation table's size in the header; it cannot move");
        }
        const std::size_t at = std::size_t{r.id} * kEntrySize;
        if (same && layout[i].id < oldEntries) {
            std::copy_n(oldFat.begin() + std::size_t{layout[i].id} * kEntrySize, kEntrySize,
                        fat.begin() + at);
            continue;
        }
        // An added file of no bytes is placed nowhere: its entry points past the used area.
        const std::uint64_t start = !old && p.size == 0 ? placed.usedEnd : p.offset;
        putLe32(fat, at, static_cast<std::uint32_t>(start));
        putLe32(fat, at + 4, static_cast<std::uint32_t>(start + p.size));
    }
    return fat;
}

} // namespace cartscope::core::rebuild
