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
#include "core/rebuild/rename_planner.h"

namespace cartscope::core::rebuild {

namespace renames {

Planner::Planner(const Layout& layout, std::span<const std::uint8_t> fnt,
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

RenamePlan Planner::run()
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

std::string Planner::shown(const std::string& path) const
{
    return path.empty() ? m_tree : m_tree + "/" + path;
}

void Planner::refuse(const std::string& what, const std::string& folder) const
{
    throw Error(what + " the folder \"" + shown(folder) +
                "\", which shifts the file IDs after it; use --renumber to renumber them");
}

void Planner::readOldTables(std::span<const std::uint8_t> fat)
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

void Planner::pairRenames()
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

// Every ID stays; files in folders of new files only take IDs after the existing ones.
void Planner::keepIds()
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

void Planner::assignAdded(std::size_t k, std::uint32_t id)
{
    if (id > 0xFFFF)
        throw Error("The tree \"" + m_tree + "\" holds more than 65,536 files");
    m_plan.added.push_back(m_names.unlisted[k]);
    m_plan.addedIds.push_back(id);
    m_idOfUnlisted[k] = id;
}

// The listed files numbered again in the table's order, past the overlays' IDs.
void Planner::renumber()
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
                m_plan.changes.push_back({m_layout.regions[r].id, m_plan.ids[r], m_plan.paths[r]});
        }
        for (std::size_t k : m_slots[s].added)
            assignAdded(k, take());
    }
    std::sort(m_plan.changes.begin(), m_plan.changes.end(),
              [](const IdChange& a, const IdChange& b) { return a.from < b.from; });
    m_plan.keptEntries = std::min(start, m_oldEntries);
    m_plan.allocationEntries = std::max({id, overlayEnd, m_plan.keptEntries});
}

std::uint16_t Planner::oldFirstId(std::size_t index) const
{
    const std::size_t at = kEntrySize * index + 4; // +4 first file ID
    return at + 2 <= m_fnt.size() ? le16(m_fnt, at) : 0;
}

void Planner::encode()
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

} // namespace renames

using renames::isFileKind;
using renames::kEntrySize;

RenamePlan planRenames(const Layout& layout, std::span<const std::uint8_t> fnt,
                       std::span<const std::uint8_t> fat, const TreeNames& names, bool renumber,
                       const TreeHasher& hash, const std::string& tree)
{
    return renames::Planner(layout, fnt, fat, names, renumber, hash, tree).run();
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
