#include "core/extract/folder_cache.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <vector>

#include "core/base/error.h"
#include "core/extract/path_pieces.h"

namespace cartscope::core::detail {

std::size_t openFolderBudget()
{
    struct rlimit limit {};
    const std::uint64_t soft =
        ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur
                                                                                   : 1024;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(soft / 2, 16, 4096));
}

void failWalk(const std::string& full, int err)
{
    if (err == ENOENT)
        throw GoneError{err};
    throw Error(cannotCreateMessage(full, err));
}

void FolderCache::forget()
{
    m_open.clear();
    m_names.forgetListings();
    m_base = BaseFolder();
}

void FolderCache::openBase(std::string_view base, const std::string& full)
{
    if (m_base.fd.valid() && m_base.name == base)
        return;
    forget();
    m_base.name = base;
    // The base is followed through links: the user chose it.
    m_base.fd = UniqueFd(::open(m_base.name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!m_base.fd.valid()) {
        const int err = errno;
        m_base.name.clear();
        m_baseGone = err == ENOENT || err == ENOTDIR;
        throw Error(cannotCreateMessage(full, err));
    }
}

const Folder& FolderCache::open(std::string_view base, std::string_view folderKey,
                                const std::string& full, bool& cached)
{
    openBase(base, full);
    // Most files go to a folder that is open already.
    if (const auto open = m_open.find(folderKey); open != m_open.end()) {
        cached = true;
        return open->second;
    }
    const std::vector<std::string> parts = splitPath(std::string(folderKey));
    const std::string key(folderKey);
    std::size_t have = parts.size();
    std::string prefix = key;
    // Bounded by the depth of the path.
    while (have > 0 && !m_open.count(prefix)) {
        --have;
        prefix = joinPath(parts, have);
    }
    cached = have > 0;
    if (m_open.size() >= m_maxOpen) {
        // Keep the base; this walk starts there.
        m_open.clear();
        have = 0;
        prefix.clear();
        cached = false;
    }
    int parent = have > 0 ? m_open.at(prefix).fd.get() : m_base.fd.get();
    std::string actual = have > 0 ? m_open.at(prefix).actual : std::string();
    // The folders on the way are kept while there is room; past it the walk holds one
    // descriptor at a time, so a path thousands of folders deep never runs out of them.
    UniqueFd walking;
    for (std::size_t k = have; k < parts.size(); ++k) {
        if (!isSafeComponent(parts[k]))
            throw Error(cannotCreateMessage(full, EINVAL));
        const std::string planned = joinPath(parts, k + 1);
        Folder next = enterFolder(parent, actual, parts[k], planned, full);
        next.actual = actual.empty() ? next.actual : actual + "/" + next.actual;
        actual = next.actual;
        if (k + 1 == parts.size() || m_open.size() + 1 < m_maxOpen) {
            auto [it, inserted] = m_open.insert_or_assign(planned, std::move(next));
            parent = it->second.fd.get();
        } else {
            walking = std::move(next.fd);
            parent = walking.get();
        }
    }
    return m_open.at(key);
}

// One folder below parent: created when missing, opened without following a link. A folder that
// is one this run already wrote under another planned path (the destination folds letter case)
// is left as it is and the row's folder goes under a suffixed name.
Folder FolderCache::enterFolder(int parent, const std::string& parentKey, const std::string& name,
                                const std::string& planned, const std::string& full)
{
    // Every suffix tried collides with a file or folder written in this run.
    const std::size_t bound = m_identities.count() + 2;
    for (std::size_t k = 1; k <= bound; ++k) {
        const std::string candidate = k == 1 ? name : withSuffix(name, k);
        const int made = m_ops.mkdirAt(parent, candidate.c_str(), 0777);
        const int mkdirError = made != 0 && errno != EEXIST ? errno : 0;
        UniqueFd fd(m_ops.openAt(parent, candidate.c_str(),
                                 O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
        if (!fd.valid()) {
            const int openError = errno;
            if ((openError == ENOTDIR || openError == ELOOP) &&
                (m_identities.writtenFileAt(parent, candidate, m_names.log(), m_base) ||
                 m_names.foldedOntoOurs(parent, parentKey, candidate)))
                continue;
            // The folder's own failure says more than the open's ("Read-only file system" or
            // "Permission denied" rather than "No such file or directory").
            failWalk(full, mkdirError ? mkdirError : openError);
        }
        struct stat st {};
        if (m_ops.statFd(fd.get(), &st) != 0)
            failWalk(full, errno);
        if (!S_ISDIR(st.st_mode))
            failWalk(full, ENOTDIR);
        // A folder made just now is new whatever its inode number (a removed folder's may come
        // back); only one that was there already can be one this run wrote.
        if (made == 0) {
            m_identities.folderMade(identityOf(st), planned);
        } else if (!m_identities.folderFound(identityOf(st), planned) ||
                   m_names.foldedOntoOurs(parent, parentKey, candidate)) {
            continue;
        }
        m_names.note(parentKey, candidate);
        return Folder{std::move(fd), candidate};
    }
    throw Error(cannotCreateMessage(full, EEXIST));
}

} // namespace cartscope::core::detail
