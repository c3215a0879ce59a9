#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "archive/archive_source.h"
#include "archive/libarchive_util.h"
#include "archive/sevenz_header.h"
#include "archive/zip_directory.h"
#include "core/base/error.h"
#include "core/base/fd.h"

// One archive opened for the reader: the file, its directory or 7z header read once, and
// libarchive over it; and the steps of a walk over its entries.
namespace cartscope::archive::detail {

// The archive file, opened by us so that a missing or unreadable file is reported with the
// system's reason, a FIFO cannot block the open (O_NONBLOCK) and anything but a regular file is
// refused before libarchive sees it; or a descriptor the caller opened and keeps.
struct OpenedArchive {
    core::UniqueFd owned;
    int fd = -1;
    std::uint64_t fileSize = 0;
    std::optional<detail::Directory> directory;         // the central directory, read once
    std::optional<SevenZipHeader> sevenZip;             // or a 7z archive's header, read once
    std::unique_ptr<detail::ArchiveSource> source;      // what libarchive reads through
    ArchivePtr reader{nullptr, la().archive_read_free}; // null: not a readable ZIP archive
    // Throws the read error that ended libarchive's work, when one did.
    void throwReadError(const std::string& path) const
    {
        if (source && source->readError())
            throw core::Error(source->readErrorMessage(path));
    }
};

// libarchive over the file, from its first entry (again, when called once more).
void openReader(OpenedArchive& opened, const std::string& path);
// Over a regular file's descriptor: the directory (or the 7z header) read once, then libarchive.
void openOver(OpenedArchive& opened, const std::string& path);
// Opens the file at `path` and then as openOver; a file that is not regular has no reader.
OpenedArchive openArchive(const std::string& path);

// The member's name, or null when libarchive could not decode it.
const char* memberName(archive_entry* entry);
// No archive holds more entries than this: a bound for every walk.
std::uint64_t entryBound(const OpenedArchive& opened);

// Headers: ARCHIVE_OK and ARCHIVE_WARN (a name that would not convert) give an entry;
// ARCHIVE_FAILED spoils only this entry; ARCHIVE_FATAL, ARCHIVE_RETRY and anything else end the
// walk.
enum class Step { Entry, Skip, End };
Step nextEntry(struct archive* reader, archive_entry** entry, bool* warned = nullptr);

} // namespace cartscope::archive::detail
