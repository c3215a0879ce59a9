#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/io/staged_file.h"

// The writes a build makes into the image it puts together: bytes, fills and whole files at
// their offsets, into a file staged beside OUT and named only once complete.
namespace cartscope::core::rebuild {

// Writes all of `bytes` at `offset`, or throws the write error naming `outPath`.
void writeAt(int fd, std::span<const std::uint8_t> bytes, std::uint64_t offset,
             const std::string& outPath);

// Writes `size` bytes of `value` at `offset`.
void fillAt(int fd, std::uint8_t value, std::uint64_t offset, std::uint64_t size,
            const std::string& outPath);

// Copies `size` bytes of `in` (from its start) to `out` at `offset`: in the kernel where it can
// (copy_file_range), else through a buffer. Returns false when `in` holds fewer bytes.
bool copyInto(int in, int out, std::uint64_t offset, std::uint64_t size,
              const std::string& outPath);

// The image being written: staged beside OUT and named only once complete.
class Output {
public:
    Output(const std::string& path, bool force) : m_path(path), m_force(force), m_file(path, path)
    {}

    int fd() const { return m_file.fd(); }
    const std::string& path() const { return m_path; }

    // Names the file OUT; throws when OUT appeared meanwhile and may not be replaced.
    void commit();

private:
    std::string m_path;
    bool m_force;
    StagedFile m_file;
};

} // namespace cartscope::core::rebuild
