#include "core/extract/identities.h"

#include <fcntl.h>

namespace cartscope::core::detail {

WrittenIdentities::WrittenIdentities(const Stream& image, const DirectoryOps& ops) : m_ops(ops)
{
    // The open image is never a destination; its identity is asked once per run.
    if (const auto native = image.nativeFile()) {
        struct stat st {};
        if (ops.statFd(native->fd, &st) == 0)
            m_image = identityOf(st);
    }
}

void WrittenIdentities::folderMade(const Identity& id, const std::string& planned)
{
    m_folders.insert_or_assign(id, planned);
}

bool WrittenIdentities::folderFound(const Identity& id, const std::string& planned)
{
    const auto [it, inserted] = m_folders.emplace(id, planned);
    return inserted || it->second == planned;
}

void WrittenIdentities::fileMade(const std::string& baseName, std::size_t logIndex)
{
    if (m_unaskedBases.empty() || m_unaskedBases.back() != baseName)
        m_unaskedBases.push_back(baseName);
    m_unasked.push_back({m_unaskedBases.size() - 1, logIndex});
}

// The identities of the files created since the last time one was needed, by their paths.
// A file removed since (a close that failed, another program) has none to learn.
void WrittenIdentities::learnCreated(const MadeNamesLog& log, const BaseFolder& current)
{
    // Entries come grouped by base (a new base starts a new group): each base folder is
    // reached once, through the run's own descriptor when it is the current one.
    UniqueFd other;
    int base = -1;
    std::size_t baseIndex = m_unaskedBases.size();
    for (const Unasked& u : m_unasked) {
        if (u.base != baseIndex) {
            baseIndex = u.base;
            const std::string& baseName = m_unaskedBases[baseIndex];
            other = UniqueFd();
            base = current.fd.get();
            if (!current.fd.valid() || current.name != baseName) {
                other = UniqueFd(::open(baseName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
                base = other.get();
            }
        }
        struct stat st {};
        if (base >= 0 && m_ops.statAt(base, log.path(u.made), &st, AT_SYMLINK_NOFOLLOW) == 0)
            m_files.insert(identityOf(st));
    }
    m_unasked.clear();
    m_unaskedBases.clear();
}

bool WrittenIdentities::writtenFile(const Identity& id, const MadeNamesLog& log,
                                    const BaseFolder& base)
{
    learnCreated(log, base);
    return m_files.count(id) > 0;
}

bool WrittenIdentities::writtenFileAt(int dir, const std::string& name, const MadeNamesLog& log,
                                      const BaseFolder& base)
{
    learnCreated(log, base);
    struct stat st {};
    return m_ops.statAt(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           m_files.count(identityOf(st));
}

bool WrittenIdentities::writtenFolderAt(int dir, const std::string& name) const
{
    struct stat st {};
    return m_ops.statAt(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           m_folders.count(identityOf(st));
}

} // namespace cartscope::core::detail
