#include "core/extract/made_names.h"

#include "core/base/paths.h"

namespace cartscope::core::detail {

std::size_t MadeNamesLog::add(std::string_view folderKey, std::string_view name)
{
    m_entries.push_back({m_text.size(), static_cast<std::uint32_t>(folderKey.size()),
                         static_cast<std::uint32_t>(name.size())});
    m_text += folderKey;
    if (!folderKey.empty())
        m_text += '/';
    m_text += name;
    m_text += '\0';
    return m_entries.size() - 1;
}

void MadeNamesLog::reserve(std::size_t entries, std::size_t textBytes)
{
    m_entries.reserve(entries);
    m_text.reserve(textBytes);
}

std::string_view MadeNamesLog::folderOf(std::size_t index) const
{
    return std::string_view(path(index), m_entries[index].folderLength);
}

std::string_view MadeNamesLog::nameOf(std::size_t index) const
{
    const Entry& e = m_entries[index];
    return std::string_view(path(index) + e.folderLength + (e.folderLength ? 1 : 0), e.nameLength);
}

std::size_t CaseFoldFallback::note(std::string_view folderKey, std::string_view name)
{
    if (m_indexed) {
        m_byFolder[std::string(folderKey)].insert(std::string(name));
        const auto listing = m_listings.find(folderKey);
        if (listing != m_listings.end())
            listing->second.insert(std::string(name));
    }
    return m_log.add(folderKey, name);
}

void CaseFoldFallback::index()
{
    if (m_indexed)
        return;
    for (std::size_t k = 0; k < m_log.size(); ++k)
        m_byFolder[std::string(m_log.folderOf(k))].insert(std::string(m_log.nameOf(k)));
    m_indexed = true;
}

bool CaseFoldFallback::foldedOntoOurs(int dir, std::string_view folderKey, const std::string& name)
{
    index();
    const auto made = m_byFolder.find(folderKey);
    if (made == m_byFolder.end())
        return false;
    auto listing = m_listings.find(folderKey);
    if (listing == m_listings.end()) {
        std::vector<std::string> names;
        if (!m_ops.listNames(dir, names))
            return false;
        listing = m_listings
                      .emplace(std::string(folderKey),
                               std::unordered_set<std::string>(names.begin(), names.end()))
                      .first;
    }
    if (listing->second.count(name))
        return false;
    // Bounded by the names this run made in the folder.
    for (const std::string& m : made->second) {
        if (equalsIgnoreCase(m, name))
            return true;
    }
    return false;
}

} // namespace cartscope::core::detail
