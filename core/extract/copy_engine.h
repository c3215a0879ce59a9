#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/extract/dir_ops.h"
#include "core/io/stream.h"

namespace cartscope::core::detail {

// The copy of one run: from a FileStream the bytes go through copy_file_range (no user-space
// copy; a reflink where the file system can), falling back to a pread/write loop with one 1 MiB
// buffer for the rest of the run when the kernel refuses the pair of files (EXDEV between two
// file systems). The 1 MiB buffer is a throughput choice only: the bytes written are those of a
// copy through any smaller buffer. A row's size is never allocated.
class CopyEngine {
public:
    CopyEngine(const Stream& image, const DirectoryOps& ops) : m_image(image), m_ops(ops) {}

    // Copies `length` bytes of the image from `offset` to the file open as `out`, at its
    // position. Throws "Stream read error" when the image ends early or cannot be read, and
    // "Cannot write file "full". <reason>" when the output cannot take the bytes.
    void copy(std::uint64_t offset, std::uint64_t length, int out, const std::string& full);

private:
    void copyBuffered(std::uint64_t offset, std::uint64_t length, int out, const std::string& full);

    const Stream& m_image;
    const DirectoryOps& m_ops;
    std::vector<std::uint8_t> m_buffer;
    bool m_kernelCopy = true;
};

} // namespace cartscope::core::detail
