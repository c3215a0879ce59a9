// The folders of the name table to write: the image's old folders the tree keeps (or never
// held), a renamed folder in its old place, new folders after them, and each one's files.
#include <algorithm>
#include <set>

#include "core/base/error.h"
#include "core/fs/fnt.h"
#include "core/rebuild/rename_planner.h"

namespace cartscope::core::rebuild::renames {

std::size_t Planner::addSlot(Slot slot)
{
    if (m_slots.size() >= kMaxTreeFolders + 1)
        throw Error("The tree \"" + m_tree + "\" holds more than 4,095 folders");
    m_slotByPath.emplace(slot.path, m_slots.size());
    m_slots.push_back(std::move(slot));
    return m_slots.size() - 1;
}

// The old folders the tree still has (or never had), and the folders new to it.
void Planner::makeSlots()
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
Planner::claimRenamedFolders(const std::map<std::string, std::size_t>& goneFolders,
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
void Planner::keepFoldersNeverHeld(std::vector<bool>& stays) const
{
    const OldFolders& o = m_old;
    for (bool more = true; more;) {
        more = false;
        for (std::size_t d = 1; d < kDirIdCount; ++d)
            if (o.known[d] && o.path[d] && !stays[d] && !o.holdsFiles[d] && stays[o.parent[d]]) {
                stays[d] = more = true;
            }
    }
}

bool Planner::isStayingOldPath(const std::string& path, const std::vector<bool>& stays) const
{
    for (std::size_t d = 0; d < kDirIdCount; ++d)
        if (stays[d] && *m_old.path[d] == path)
            return true;
    return false;
}

void Planner::checkName(const std::string& path) const
{
    if (baseOf(path).size() > kMaxNameBytes)
        throw Error("The name of \"" + shown(path) + "\" is longer than 127 bytes");
}

std::size_t Planner::slotOf(const std::string& path) const
{
    const auto it = m_slotByPath.find(parentOf(path));
    if (it == m_slotByPath.end())
        throw Error("The file \"" + shown(path) + "\" lies in no folder of the tree");
    return it->second;
}

void Planner::fillSlots()
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

} // namespace cartscope::core::rebuild::renames
