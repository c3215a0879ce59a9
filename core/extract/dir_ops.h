#pragma once

#include <cstddef>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// The directory and file operations extraction makes, behind one small interface so that tests
// can stand in for file systems CI cannot mount: one that folds letter case (FAT, exFAT,
// casefolded ext4), one that is full or read-only, a pair of files the kernel cannot copy
// between (EXDEV), one without unnamed files (FAT, FUSE). Each call has the system call's contract:
// -1 with errno set on failure.
namespace cartscope::core {

class DirectoryOps {
public:
    virtual ~DirectoryOps() = default;
    virtual int openAt(int dir, const char* name, int flags, mode_t mode) const;
    virtual int mkdirAt(int dir, const char* name, mode_t mode) const;
    virtual int unlinkAt(int dir, const char* name, int flags) const;
    virtual int statAt(int dir, const char* name, struct stat* st, int flags) const;
    virtual int statFd(int fd, struct stat* st) const;
    virtual ssize_t copyRange(int in, loff_t* inOffset, int out, std::size_t length) const;
    virtual ssize_t write(int fd, const void* data, std::size_t size) const;
    // An unnamed file for writing in the folder open as dir (O_TMPFILE), and the name it gets
    // once complete (linkat; EEXIST when the name is taken, which is never replaced).
    virtual int openUnnamed(int dir) const;
    virtual int linkUnnamed(int fd, int dir, const char* name) const;
    // renameat within one folder: `to` is replaced when it exists.
    virtual int renameAt(int dir, const char* from, const char* to) const;
    // The names in the folder open as dir (without "." and ".."); false when it cannot be read.
    virtual bool listNames(int dir, std::vector<std::string>& names) const;
};

// The real system calls.
const DirectoryOps& systemDirectoryOps();

} // namespace cartscope::core
