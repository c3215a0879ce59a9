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

// A seekable, read-only byte stream over an image. Positions are unsigned 64-bit; seeking past
// the end is allowed and reads there deliver nothing, exactly like a file.
class Stream {
public:
    virtual ~Stream() = default;

    // Reads up to out.size() bytes at `position` without touching the current position, so
    // several threads may read one stream at once. A short read at the end is not an error;
    // the bytes not delivered are left untouched.
    virtual std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const = 0;
    virtual std::uint64_t size() const = 0;
    // The open file behind the stream, when there is one.
    virtual std::optional<NativeFile> nativeFile() const { return std::nullopt; }

    // Reads up to out.size() bytes at the current position and advances by what was delivered.
    std::size_t read(std::span<std::uint8_t> out)
    {
        const std::size_t n = pread(m_position, out);
        m_position += n;
        return n;
    }

    void seek(std::uint64_t position) { m_position = position; }
    std::uint64_t position() const { return m_position; }

    // Reads exactly out.size() bytes or throws "Stream read error".
    void readExact(std::span<std::uint8_t> out);

    // Seeks to position and reads up to out.size() bytes; the bytes not delivered (past the end
    // of the image) are zero. Returns the count delivered.
    std::size_t readAt(std::uint64_t position, std::span<std::uint8_t> out);

protected:
    std::uint64_t m_position = 0;
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
