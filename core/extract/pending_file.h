#pragma once

#include <string>
#include <unistd.h>

#include "core/base/fd.h"
#include "core/extract/dir_ops.h"

namespace cartscope::core::detail {

// The file being written: unnamed (O_TMPFILE) or, where the file system has none, under a
// hidden name in its folder. It gets its real name only once complete, so a run that is killed
// (SIGKILL, the OOM killer) leaves no file cut short under a name from the image: at most a
// hidden ".cartscope-*.part" where there are no unnamed files.
struct Pending {
    UniqueFd fd;
    std::string hidden; // empty for an unnamed file
};

// Opens, names and discards the pending files of one run.
class PendingFiles {
public:
    explicit PendingFiles(const DirectoryOps& ops) : m_ops(ops) {}

    Pending open(int dir, const std::string& full);
    // Gives the pending file the hidden name it is renamed from (an unnamed file replacing an
    // existing entry needs one).
    void nameHidden(Pending& p, int dir, const std::string& full) const;
    void discard(Pending& p, int dir) const;
    // A failure inside the folder open as dir: GoneError when the folder has gone (whatever errno
    // the file system chose), else the message for `full`.
    [[noreturn]] void failIn(int dir, const std::string& full, int err) const;

private:
    const DirectoryOps& m_ops;
    // Unnamed files are named through /proc on kernels before 6.10; asked once per run.
    bool m_unnamed = ::access("/proc/self/fd", X_OK) == 0;
};

} // namespace cartscope::core::detail
