#include "archive/opened_archive.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "archive/libarchive_api.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/io/archive_kind.h"

namespace cartscope::archive::detail {

namespace {

// The member of a 7z archive the name rule takes (the first .nds/.ids file, else the first
// .dsi/.srl one), as its header lists it.
const SevenZipFile* imageOf(const SevenZipHeader& header)
{
    const SevenZipFile* fallback = nullptr;
    for (const SevenZipFile& f : header.files) {
        const core::ImageName kind = core::imageNameOf(f.name);
        if (kind == core::ImageName::Ds)
            return &f;
        if (kind == core::ImageName::Dsi && !fallback)
            fallback = &f;
    }
    return fallback;
}

} // namespace

// libarchive over the file, from its first entry.
void openReader(OpenedArchive& opened, const std::string& path)
{
    opened.reader.reset();
    ArchivePtr reader(la().archive_read_new(), la().archive_read_free);
    if (!reader)
        return;
    // The seekable reader works from the central directory, the archive's authoritative index:
    // it knows each member's type (the streaming reader takes a symbolic link for a regular
    // file), its sizes even when they follow the data in a descriptor, and its encryption; an
    // archive cut short has no end record and is refused as a whole instead of half-read.
    // Entries still arrive in the order of their data in the file.
    //
    // No stream filter is enabled: a ZIP archive compresses its members itself, and several of
    // libarchive's filters (lrzip, grzip, lzop) run an outside program found on PATH when the
    // first bytes of the file look like their stream.
    //
    // A 7z archive is read by libarchive's 7z reader once its header passed checkSevenZip.
    if (opened.sevenZip)
        la().archive_read_support_format_7zip(reader.get());
    else
        la().archive_read_support_format_zip_seekable(reader.get());
    opened.source = std::make_unique<detail::ArchiveSource>(opened.fd, opened.fileSize);
    if (opened.source->open(reader.get()) != ARCHIVE_OK) {
        opened.throwReadError(path);
        return;
    }
    opened.reader = std::move(reader);
}

// Over a regular file's descriptor: the directory (or the 7z header) read once, then libarchive.
void openOver(OpenedArchive& opened, const std::string& path)
{
    const core::DescriptorStream file(opened.fd, opened.fileSize, path);
    if (core::archiveKindOf(file) == core::ArchiveKind::SevenZip) {
        // The header is checked before libarchive sees it: the image member the name rule takes
        // may not lie too deep in its solid block, and no block's dictionary may be hostile.
        opened.sevenZip = readSevenZipHeader(file, path);
        const SevenZipFile* wanted = imageOf(*opened.sevenZip);
        checkSevenZip(
            *opened.sevenZip, [&](const SevenZipFile& f) { return &f == wanted; }, path);
        openReader(opened, path);
        return;
    }
    // Members that share bytes would have libarchive inflate the same data again and again.
    opened.directory = detail::readDirectory(file);
    if (opened.directory)
        detail::refuseZipBomb(opened.directory->entries, opened.fileSize, path);
    openReader(opened, path);
}

OpenedArchive openArchive(const std::string& path)
{
    OpenedArchive opened;
    opened.owned =
        core::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!opened.owned.valid())
        throw core::Error(core::cannotOpenMessage(path, errno));
    opened.fd = opened.owned.get();
    struct stat st {};
    if (::fstat(opened.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return opened;
    opened.fileSize = static_cast<std::uint64_t>(st.st_size);
    openOver(opened, path);
    return opened;
}

// The member's name, or null when libarchive could not decode it (an invalid UTF-8 name under
// the UTF-8 flag gives null from every accessor). UTF-8 first; the locale form is the raw bytes
// of a name stored in a legacy code page.
const char* memberName(archive_entry* entry)
{
    if (const char* utf8 = la().archive_entry_pathname_utf8(entry))
        return utf8;
    return la().archive_entry_pathname(entry);
}

// libarchive walks the central directory, so the loops below end with its entries; as a second
// bound no archive holds more entries than central records fit in the file.
std::uint64_t entryBound(const OpenedArchive& opened)
{
    if (opened.sevenZip)
        return opened.sevenZip->files.size() + 1;
    return opened.fileSize / kCentralRecordSize + 1;
}

Step nextEntry(struct archive* reader, archive_entry** entry, bool* warned)
{
    const int r = la().archive_read_next_header(reader, entry);
    if (warned)
        *warned = r == ARCHIVE_WARN;
    if (r == ARCHIVE_OK || r == ARCHIVE_WARN)
        return Step::Entry;
    if (r == ARCHIVE_FAILED)
        return Step::Skip;
    return Step::End;
}

} // namespace cartscope::archive::detail
