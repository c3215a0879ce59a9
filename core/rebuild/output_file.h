#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "core/base/fd.h"
#include "core/io/staged_file.h"
#include "core/io/stream.h"

// An image written whole: the bytes go to an unnamed file in the destination's folder (a
// hidden sibling where the file system has no unnamed files), are synced, and only then take
// the destination's name. Until commit() the destination is untouched; an object that goes
// without a commit (an error, Ctrl-C) leaves nothing behind.
namespace cartscope::core {

// What may stand at the destination.
enum class Overwrite {
    Refuse,  // an existing destination is refused (even one that appears meanwhile)
    Replace, // an existing destination is replaced in one step
};

// Called between blocks of long work; it throws to stop (the command line's Ctrl-C check).
using Checkpoint = std::function<void()>;

// Where a command's OUT may go, checked before anything is read or written: OUT that is the
// input (the same device and inode, also through a link) is refused unless `inPlace`; another
// existing OUT is refused unless `force`. Throws the user's message; returns how the commit
// treats the destination.
Overwrite checkDestination(const std::string& input, const std::string& out, bool force,
                           bool inPlace);

class OutputFile {
public:
    // Creates the temporary file beside `path`; throws "Cannot create file "%s". %s".
    OutputFile(const std::string& path, Overwrite overwrite);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::span<const std::uint8_t> bytes);
    // Overwrites bytes already written (a record whose values are known only after what
    // follows it, such as a zip member's sizes); the size stays as it is.
    void writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // `count` bytes of one value.
    void fill(std::uint8_t value, std::uint64_t count, const Checkpoint& checkpoint = {});
    // `length` bytes of `source` from `offset`: copied by the kernel (copy_file_range) when the
    // stream lies in a file, else read and written in blocks. A source that ends early throws
    // "Stream read error".
    void copyFrom(const Stream& source, std::uint64_t offset, std::uint64_t length,
                  const Checkpoint& checkpoint = {});
    // Bytes written so far.
    std::uint64_t size() const { return m_size; }

    // Syncs the file and gives it the destination's name (replacing or refusing what is there
    // as the overwrite rule says).
    void commit();

private:
    std::string m_path; // as given, for messages
    Overwrite m_overwrite;
    StagedFile m_file;
    std::uint64_t m_size = 0;
};

// "OUT "%s" exists; --force replaces it" and the like, for tests.
std::string existsMessage(const std::string& out);
std::string sameFileMessage(const std::string& out);

} // namespace cartscope::core
