#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/extract/dir_ops.h"
#include "core/extract/identity.h"

namespace cartscope::core::detail {

// The names a run made or wrote into, by the folder (its relative path as written) that holds
// them, logged in one piece of text ("folder/name", NUL-ended): one append per name, since most
// runs never look at them again.
class MadeNamesLog {
public:
    // Logs one entry; returns its index.
    std::size_t add(std::string_view folderKey, std::string_view name);
    // Room for `entries` entries of `textBytes` bytes of paths in all, made once.
    void reserve(std::size_t entries, std::size_t textBytes);
    // The path of an entry below its base, NUL-ended.
    const char* path(std::size_t index) const { return m_text.c_str() + m_entries[index].at; }
    std::size_t size() const { return m_entries.size(); }
    std::string_view folderOf(std::size_t index) const;
    std::string_view nameOf(std::size_t index) const;

private:
    struct Entry {
        std::size_t at;             // in m_text
        std::uint32_t folderLength; // a path is far shorter than 4 GiB
        std::uint32_t nameLength;
    };
    std::vector<Entry> m_entries;
    std::string m_text;
};

// The fallback where identity cannot tell: FUSE drivers of FAT and exFAT give every spelling of
// a name an inode of its own. Asked only for a name that turned out to exist already and that
// identity did not show as one of this run's: when the folder holds no entry of exactly that
// name, the file system has matched it to another spelling, and when this run made an entry of
// that spelling (letter case aside), the two would meet.
//
// The log is indexed by folder when the fallback is first asked (most runs never ask), and so
// are the names a folder held when first listed; both are kept up to date with later names.
class CaseFoldFallback {
public:
    explicit CaseFoldFallback(const DirectoryOps& ops) : m_ops(ops) {}

    // Notes a name made or written into (a folder entered, a file placed); returns its index in
    // the log.
    std::size_t note(std::string_view folderKey, std::string_view name);
    void reserve(std::size_t entries, std::size_t textBytes) { m_log.reserve(entries, textBytes); }
    const MadeNamesLog& log() const { return m_log; }
    // Whether `name` in the folder open as dir (folderKey below the base) is one of this run's
    // names under another spelling.
    bool foldedOntoOurs(int dir, std::string_view folderKey, const std::string& name);
    // The folders' listings are stale once the run walks its folders again.
    void forgetListings() { m_listings.clear(); }

private:
    using NameSets =
        std::unordered_map<std::string, std::unordered_set<std::string>, TextHash, std::equal_to<>>;
    void index();

    const DirectoryOps& m_ops;
    MadeNamesLog m_log;
    bool m_indexed = false;
    NameSets m_byFolder;
    NameSets m_listings;
};

} // namespace cartscope::core::detail
