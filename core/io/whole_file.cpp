#include "core/io/whole_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/io/staged_file.h"

namespace cartscope::core {

std::string hiddenTemporaryName()
{
    static std::atomic<std::uint64_t> counter{0};
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return ".cartscope-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(now % 1000000) + ".part";
}

void writeAllOrThrow(int fd, std::span<const std::uint8_t> bytes, const std::string& path)
{
    if (const int err = writeAll(fd, bytes))
        throw Error(cannotWriteMessage(path, err));
}

namespace {

// The bytes reach the disk before the name does: a power cut after the rename finds them.
void syncAndClose(UniqueFd& fd, const std::string& path, bool regular)
{
    if (regular && ::fsync(fd.get()) != 0 && errno != EINVAL)
        throw Error(cannotWriteMessage(path, errno));
    // A delayed write error (a full disk on a network file system) shows only here.
    if (const int err = fd.close())
        throw Error(cannotWriteMessage(path, err));
}

} // namespace

// The destination to replace: the file a symbolic link names, else the path itself.
std::string resolvedDestination(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    std::error_code ec;
    // A link whose target does not exist resolves to its folder and its own name: it is
    // replaced by the file.
    const std::filesystem::path target = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : target.string();
}

std::string cannotWriteMessage(const std::string& path, int errnum)
{
    return "Cannot write file \"" + path + "\". " + std::strerror(errnum);
}

int openUnnamedFile(int dir)
{
    return ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

bool unnamedFilesUnsupported(int err)
{
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

int linkUnnamedFile(int fd, int dir, const char* name)
{
    // Linking by descriptor (AT_EMPTY_PATH) is one call; kernels before 6.10 allow it only with
    // a capability and refuse it with ENOENT, which a folder that was removed also gives. Then
    // the descriptor's entry in /proc is linked instead (a path walk through /proc per file),
    // and from that success on for the rest of the process.
    static std::atomic<bool> throughProc{false};
    if (!throughProc.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT)
            return -1;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int linked = ::linkat(AT_FDCWD, self.c_str(), dir, name, AT_SYMLINK_FOLLOW);
    if (linked == 0)
        throughProc.store(true, std::memory_order_relaxed);
    return linked;
}

void writeWholeFile(const std::string& given, std::span<const std::uint8_t> bytes,
                    CreateMessage cannotCreate, AtLink atLink)
{
    if (!cannotCreate)
        cannotCreate = cannotCreateMessage;
    // Messages name the path as the user gave it; the file written is the one it resolves to.
    const std::string path = atLink == AtLink::Follow ? resolvedDestination(given) : given;
    struct stat existing {};
    // A link that is replaced is looked at, not through: it is neither a device nor a folder.
    const bool exists = (atLink == AtLink::Follow ? ::stat(path.c_str(), &existing)
                                                  : ::lstat(path.c_str(), &existing)) == 0 &&
                        !S_ISLNK(existing.st_mode);
    if (exists && S_ISDIR(existing.st_mode))
        throw Error(cannotCreate(given, EISDIR));
    if (exists && !S_ISREG(existing.st_mode)) {
        // A device or FIFO has no folder entry to replace: written in place. O_NONBLOCK keeps a
        // FIFO without a reader from hanging the open.
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
        if (!fd.valid())
            throw Error(cannotCreate(given, errno));
        writeAllOrThrow(fd.get(), bytes, given);
        syncAndClose(fd, given, false);
        return;
    }

    StagedFile out(path, given, cannotCreate);
    if (exists)
        ::fchmod(out.fd(), existing.st_mode & 07777);
    writeAllOrThrow(out.fd(), bytes, given);
    out.publish(true);
}

} // namespace cartscope::core
