#include "core/extract/dir_ops.h"

#include <cstdio>
#include <dirent.h>
#include <memory>
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
    UniqueFd fd(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return false;
    // The stream owns the descriptor once it is made.
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(fd.get()), &::closedir);
    if (!stream)
        return false;
    fd.release();
    // Bounded by the entries of the folder.
    while (const dirent* e = ::readdir(stream.get())) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return true;
}

const DirectoryOps& systemDirectoryOps()
{
    static const DirectoryOps ops;
    return ops;
}

} // namespace cartscope::core
