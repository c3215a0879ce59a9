#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/base/fd.h"
#include "core/extract/dir_ops.h"
#include "core/extract/identities.h"
#include "core/extract/identity.h"
#include "core/extract/made_names.h"

namespace cartscope::core::detail {

// A folder a run writes into: open, and its relative path as written (after any renaming).
struct Folder {
    UniqueFd fd;
    std::string actual;
};

// Thrown inside a run when a folder it stands in has gone (removed meanwhile): the row is tried
// once more with a fresh walk.
struct GoneError {
    int err;
};

// How many folders stay open: half of what the process may hold (the rest is left to the
// program around the run), at least 16 and at most 4096 (no image has more folders). With the
// usual limit of 1024 that is 512: a run in size or name order, which visits the folders in no
// order, still finds each one open.
std::size_t openFolderBudget();

// The folders one run keeps open between files (a bounded number of them): a whole-tree run
// writes folder by folder, and walking the chain again for each file would cost more system
// calls than the copy. A folder is reached from the longest open prefix of its path; each row
// still creates the folders it walks. A cached folder that was removed meanwhile is noticed by
// the failed create (ENOENT), which then retries once with a fresh walk.
class FolderCache {
public:
    FolderCache(const DirectoryOps& ops, WrittenIdentities& identities, CaseFoldFallback& names)
        : m_ops(ops), m_identities(identities), m_names(names)
    {}

    // The folder `folderKey` below `base`, created along the way; `cached` tells whether the
    // walk started from a folder open before. Throws the message for `full` or GoneError.
    const Folder& open(std::string_view base, std::string_view folderKey, const std::string& full,
                       bool& cached);
    void forget();
    const BaseFolder& base() const { return m_base; }
    // Whether the last base folder asked for was not there.
    bool baseGone() const { return m_baseGone; }

private:
    void openBase(std::string_view base, const std::string& full);
    Folder enterFolder(int parent, const std::string& parentKey, const std::string& name,
                       const std::string& planned, const std::string& full);

    const DirectoryOps& m_ops;
    WrittenIdentities& m_identities;
    CaseFoldFallback& m_names;
    const std::size_t m_maxOpen = openFolderBudget();
    std::unordered_map<std::string, Folder, TextHash, std::equal_to<>>
        m_open; // by planned path below the base
    BaseFolder m_base;
    bool m_baseGone = false;
};

// Stops a walk: ENOENT means the folder the walk stands in has gone.
[[noreturn]] void failWalk(const std::string& full, int err);

} // namespace cartscope::core::detail
