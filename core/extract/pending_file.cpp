#include "core/extract/pending_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/base/error.h"
#include "core/extract/folder_cache.h"
#include "core/io/whole_file.h"

namespace cartscope::core::detail {

void PendingFiles::failIn(int dir, const std::string& full, int err) const
{
    // A folder that was removed has no links left.
    struct stat st {};
    if (err == ENOENT || (m_ops.statFd(dir, &st) == 0 && st.st_nlink == 0))
        throw GoneError{ENOENT};
    throw Error(cannotCreateMessage(full, err));
}

Pending PendingFiles::open(int dir, const std::string& full)
{
    if (m_unnamed) {
        UniqueFd fd(m_ops.openUnnamed(dir));
        if (fd.valid())
            return {std::move(fd), {}};
        const int err = errno;
        if (!unnamedFilesUnsupported(err))
            failIn(dir, full, err);
        m_unnamed = false; // for the rest of the run
    }
    // Each attempt draws a new name; only a folder full of such names exhausts them.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string hidden = hiddenTemporaryName();
        UniqueFd fd(m_ops.openAt(dir, hidden.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.valid())
            return {std::move(fd), std::move(hidden)};
        if (errno != EEXIST)
            failIn(dir, full, errno);
    }
    throw Error(cannotCreateMessage(full, EEXIST));
}

void PendingFiles::nameHidden(Pending& p, int dir, const std::string& full) const
{
    if (!p.hidden.empty())
        return;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string hidden = hiddenTemporaryName();
        if (m_ops.linkUnnamed(p.fd.get(), dir, hidden.c_str()) == 0) {
            p.hidden = std::move(hidden);
            return;
        }
        if (errno != EEXIST)
            failIn(dir, full, errno);
    }
    throw Error(cannotCreateMessage(full, EEXIST));
}

void PendingFiles::discard(Pending& p, int dir) const
{
    p.fd = UniqueFd();
    if (!p.hidden.empty())
        m_ops.unlinkAt(dir, p.hidden.c_str(), 0);
    p.hidden.clear();
}

} // namespace cartscope::core::detail
