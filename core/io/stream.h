#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/base/fd.h"

namespace cartscope::core {

// Where a stream's bytes lie in an open file, for copies the kernel can do (copy_file_range):
// byte 0 of the stream is byte `offset` of descriptor `fd`.
struct NativeFile {
    int fd = -1;
    std::uint64_t offset = 0;
};

// A read-only byte stream over an image, read by position only. A stream keeps no position of
// its own: every read names its offset, so one `const Stream&` can be read by any number of
// threads at once (the whole-file pass reads ahead on a thread while the window's steps read the
// same stream). Positions are unsigned 64-bit; a read at or past the end delivers nothing,
// exactly like a file.
class Stream {
public:
    virtual ~Stream() = default;

    // Reads up to out.size() bytes at `position`, as pread(2) does: fewer only where the stream
    // ends (a read that fails throws the user's message instead); the bytes not delivered are
    // left untouched. Returns the count delivered.
    //
    // Thread safety: every implementation may be called from several threads at once on one
    // object. It keeps no state between reads (a positioned system read, a copy out of memory,
    // a window onto another stream), and one that must (a test stream counting its reads) keeps
    // it atomic or behind a lock.
    virtual std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const = 0;
    virtual std::uint64_t size() const = 0;
    // The open file behind the stream, when there is one.
    virtual std::optional<NativeFile> nativeFile() const { return std::nullopt; }

    // Reads exactly out.size() bytes at `position` or throws "Stream read error".
    void readExact(std::uint64_t position, std::span<std::uint8_t> out) const;
};

// The image bytes held in memory (fuzzing, tests).
class MemoryStream final : public Stream {
public:
    explicit MemoryStream(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override;
    std::uint64_t size() const override { return m_bytes.size(); }

private:
    std::span<const std::uint8_t> m_bytes;
};

// An image file opened read-only. The open refuses anything that is not a regular file (a
// folder, a FIFO, a device) before reading a byte, so a wrong path can never hang a read.
// With `exclusive`, an advisory exclusive lock is taken, the closest Linux has to a share-none
// open: a second Cartscope cannot hold the same image while this one does.
class FileStream final : public Stream {
public:
    explicit FileStream(const std::string& path, bool exclusive = false);
    ~FileStream() override;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override;
    std::uint64_t size() const override { return m_size; }
    std::optional<NativeFile> nativeFile() const override { return NativeFile{m_fd.get(), 0}; }
    int fd() const { return m_fd.get(); }
    const std::string& path() const { return m_path; }

private:
    UniqueFd m_fd;
    std::uint64_t m_size = 0;
    std::string m_path;
    std::string m_what; // "file "<path>"", for a read that fails
};

// A stream over a descriptor opened (and closed) by someone else, for `size` bytes. A read that
// fails says "Cannot read <what>. <the system's reason>", or "Stream read error: <reason>"
// when `what` is empty.
class DescriptorStream final : public Stream {
public:
    DescriptorStream(int fd, std::uint64_t size, std::string what = {})
        : m_fd(fd), m_size(size), m_what(std::move(what))
    {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override;
    std::uint64_t size() const override { return m_size; }
    std::optional<NativeFile> nativeFile() const override { return NativeFile{m_fd, 0}; }

private:
    int m_fd;
    std::uint64_t m_size;
    std::string m_what;
};

// A window onto `length` bytes of `parent` from `offset` (a file inside an image, a NARC member).
// Its size is what the parent can deliver of that range, never more; the parent must outlive it.
class SubStream final : public Stream {
public:
    SubStream(const Stream& parent, std::uint64_t offset, std::uint64_t length);
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override;
    std::uint64_t size() const override { return m_size; }
    std::optional<NativeFile> nativeFile() const override;

private:
    const Stream& m_parent;
    std::uint64_t m_offset;
    std::uint64_t m_size;
};

// Why a file that is not a regular file cannot be read, naming what it is ("Is a directory",
// "Not a regular file (a named pipe)", a socket, a character or block device), from its
// st_mode; and the message "Cannot open file "%s". <that reason>".
std::string notRegularReason(unsigned mode);
std::string notRegularMessage(const std::string& path, unsigned mode);

// Checks that path names a regular file (following symbolic links) and throws
// "Cannot open file "%s". %s" otherwise, without opening anything that could block.
void requireRegularFile(const std::string& path);

} // namespace cartscope::core
