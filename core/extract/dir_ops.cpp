#include "core/extract/dir_ops.h"

#include <cstdio>
#include <unistd.h>

#include "core/base/fd.h"
#include "core/io/whole_file.h"

namespace cartscope::core {

int DirectoryOps::openAt(int dir, const char* name, int flags, mode_t mode) const
{
    return ::openat(dir, name, flags, mode);
}

int DirectoryOps::mkdirAt(int dir, const char* name, mode_t mode) const
{
    return ::mkdirat(dir, name, mode);
}

int DirectoryOps::unlinkAt(int dir, const char* name, int flags) const
{
    return ::unlinkat(dir, name, flags);
}

int DirectoryOps::statAt(int dir, const char* name, struct stat* st, int flags) const
{
    return ::fstatat(dir, name, st, flags);
}

int DirectoryOps::statFd(int fd, struct stat* st) const
{
    return ::fstat(fd, st);
}

ssize_t DirectoryOps::copyRange(int in, loff_t* inOffset, int out, std::size_t length) const
{
    return ::copy_file_range(in, inOffset, out, nullptr, length, 0);
}

ssize_t DirectoryOps::write(int fd, const void* data, std::size_t size) const
{
    return ::write(fd, data, size);
}

int DirectoryOps::openUnnamed(int dir) const
{
    return openUnnamedFile(dir);
}

int DirectoryOps::linkUnnamed(int fd, int dir, const char* name) const
{
    return linkUnnamedFile(fd, dir, name);
}

int DirectoryOps::renameAt(int dir, const char* from, const char* to) const
{
    return ::renameat(dir, from, dir, to);
}

bool DirectoryOps::listNames(int dir, std::vector<std::string>& names) const
{
    std::vector<FolderEntry> entries;
    if (!folderEntries(dir, entries))
        return false;
    for (FolderEntry& e : entries)
        names.push_back(std::move(e.name));
    return true;
}

const DirectoryOps& systemDirectoryOps()
{
    static const DirectoryOps ops;
    return ops;
}

} // namespace cartscope::core
