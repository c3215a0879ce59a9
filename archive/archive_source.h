#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/libarchive_api.h"

// The archive file's bytes as libarchive reads them: positioned reads of a descriptor we opened,
// so that a failed read keeps the system's reason and libarchive's own wording ("Truncated ZIP
// file data") never stands in for it.
namespace cartscope::archive::detail {

class ArchiveSource {
public:
    ArchiveSource(int fd, std::uint64_t size);
    ArchiveSource(const ArchiveSource&) = delete;
    ArchiveSource& operator=(const ArchiveSource&) = delete;

    // Opens `reader` (its formats already chosen) over the file. ARCHIVE_OK or libarchive's
    // failure code.
    int open(struct archive* reader);
    // The errno of the first read that failed, 0 when none did.
    int readError() const { return m_error; }
    // "Cannot read file "%s". <the system's reason>" for that failure.
    std::string readErrorMessage(const std::string& path) const;

private:
    static la_ssize_t read(struct archive* a, void* self, const void** buffer);
    static la_int64_t seek(struct archive* a, void* self, la_int64_t offset, int whence);
    static la_int64_t skip(struct archive* a, void* self, la_int64_t request);

    int m_fd;
    std::uint64_t m_size;
    std::uint64_t m_position = 0;
    std::vector<std::uint8_t> m_buffer;
    int m_error = 0;
};

// A fault seam for tests, as a bad sector would be: every read of an archive file that touches
// the bytes [g_failArchiveReadsFrom, g_failArchiveReadsTo) fails with EIO while they differ.
// Process-wide; tests set and clear it around one call.
inline std::atomic<std::uint64_t> g_failArchiveReadsFrom{0};
inline std::atomic<std::uint64_t> g_failArchiveReadsTo{0};

// How many times libarchive has been opened over an archive file, and how many times a central
// directory has been read on its own (readDirectory): what tests count to see that a load reads
// an archive once.
inline std::atomic<int> g_libarchiveOpens{0};
inline std::atomic<int> g_directoryReads{0};

} // namespace cartscope::archive::detail
