#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/io/read_pass.h"

// The archive reader: lists the cartridge images in a ZIP archive and extracts one of them.
namespace cartscope::archive {

struct Member {
    std::size_t index = 0;  // position of the entry in the archive (0-based, all entries counted)
    std::string name;       // the member's full name as stored, in UTF-8 when flagged so; display
                            // only, never a path to create
    std::uint64_t size = 0; // declared (uncompressed) size
};

// Regular-file members whose name ends in ".nds" or ".ids" (core::imageNameOf's first choice, in
// any folder of the archive), in archive order. Directories, symbolic links and other special
// entries are skipped, and so is an entry whose name cannot be read (invalid UTF-8 under the
// UTF-8 flag) or whose header is damaged. A file that is not a readable ZIP archive gives an
// empty list; an archive damaged part way gives the members found before the damage.
// Throws core::Error "Cannot open file "%s". %s" when the file itself cannot be opened,
// "Cannot read file "%s". %s" when a read of it fails (an archive that cannot be read is not one
// without images), and the zip-bomb refusals of refuseZipBomb (zip_directory.h).
std::vector<Member> listImageMembers(const std::string& archivePath);

// The largest member extracted: no DS or DSi image is larger, and a member declaring more is
// refused with a message before anything is written (a few kilobytes of bzip2 can declare and
// inflate to gigabytes).
inline constexpr std::uint64_t kMaxMemberSize = std::uint64_t{1} << 30;

struct ExtractEvents {
    // Raised once before the member is extracted (count: members in this operation, 1).
    std::function<void(const std::string& memberName, std::size_t count)> onBegin;
    // byFile/byArchive percentages 0..100, about every MiB and once when the data is complete;
    // return true to request cancel.
    std::function<bool(int byFile, int byArchive)> onProgress;
    // Raised once when the operation ends, whatever happened (also when it throws).
    std::function<void()> onEnd;
    // Asked once after a successful extraction by extractFirstImage: true discards the copy
    // (a Cancel that arrived while the last progress notification ran). May be empty.
    std::function<bool()> cancelled;
    // Free bytes in the folder the copy is written to, asked before writing; core::freeBytes
    // when empty (tests replace it). std::nullopt: unknown, nothing is refused for room.
    std::function<std::optional<std::uint64_t>(const std::string& folder)> freeSpace;
};

// Extracts the member at `member.index` (found by position, never by its name again) to the new
// file `destinationPath`, created with O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC and mode 0600.
// Every block written is handed, in order, to `sinks` (the image's CRC-32 and digests are
// computed on the bytes as they are written, so the copy is never read back for them); the
// sinks' finish() is called only when the copy is complete and checked.
// Returns 1 when the member's data was written completely and checked (CRC and size); 0 when
// it was cancelled, is not a regular file, is encrypted, damaged, truncated, uses an unsupported
// method, or when libarchive reports any warning or failure while reading it. In every 0 case
// the partial file is deleted before returning.
// Throws core::Error when the archive or the destination cannot be opened ("Cannot open file
// "%s". %s", "Cannot create file "%s". %s") or writing fails ("Stream write error"), and with a
// message naming the archive and the member when the member declares more than kMaxMemberSize
// or more than the destination's free space (nothing is written then), or when its data does
// not match the CRC-32 stored in the archive; the partial file is deleted first.
int extractMember(const std::string& archivePath, const Member& member,
                  const std::string& destinationPath, const ExtractEvents& events,
                  std::span<core::ReadSink* const> sinks = {});

// What /proc/meminfo calls MemAvailable (memory that can be had without swapping); the free
// pages alone where that cannot be read.
std::uint64_t availableMemory();

// A member's bytes held in memory (anonymous pages, never written to a file), for a reader that
// needs them for a short time only.
class MemberBytes {
public:
    // Holds nothing (bytes() empty) when `size` is 0, past kMaxMemberSize, or more than half
    // of the memory the system says is available: the caller then copies to the disk instead.
    explicit MemberBytes(std::uint64_t size);
    ~MemberBytes();
    MemberBytes(const MemberBytes&) = delete;
    MemberBytes& operator=(const MemberBytes&) = delete;
    std::span<std::uint8_t> bytes() const { return m_bytes; }

private:
    std::span<std::uint8_t> m_bytes;
};

// The outcome of readInPlace.
struct InPlace {
    enum class Status {
        NeedsCopy, // nothing was read and no event raised: the member has to be extracted
        Read,      // every byte was read and matched the stored CRC-32
        Failed,    // cancelled, or the data was damaged or cut short (as extractMember's 0)
    };
    Status status = Status::NeedsCopy;
    std::uint32_t crc32 = 0;
    std::uint64_t size = 0;
    // Read: where a stored member's bytes lie in the archive file, or a deflated member's bytes.
    std::uint64_t offset = 0;
    std::shared_ptr<const MemberBytes> memory;
};

// A member whose headers all agree (see below) is read without a copy on disk: a stored one
// where it lies in the archive, a deflated one inflated into memory (MemberBytes; when no
// memory can be had, it needs the copy). readInPlace reads it once, hands every block to
// `sinks` and checks it against its stored CRC-32, with extractMember's events (but no write)
// and its verdicts: data that does not match the stored CRC-32 throws extractMember's message,
// damaged or cut-short data and a cancel give Failed. Anything else than the plain case (another
// method, encryption, a header libarchive warned about, local and central headers that
// disagree, a data descriptor that disagrees with them, data past the end of the file, a member
// larger than kMaxMemberSize)
// gives NeedsCopy before anything is read; extractMember then decides as it always has.
// Throws "Cannot open file "%s". %s" when the archive cannot be opened.
InPlace readInPlace(const std::string& archivePath, const Member& member,
                    const ExtractEvents& events, std::span<core::ReadSink* const> sinks = {});

// One archive read once: its central directory read once (and checked by refuseZipBomb), its
// entries walked once by libarchive, over a descriptor the caller opened and keeps open for as
// long as this object lives. `path` names the archive in messages. Throws the zip-bomb
// refusals and "Cannot read file "%s". %s" when a read fails.
class ZipImageReader {
public:
    ZipImageReader(int fd, std::uint64_t size, const std::string& path);
    ~ZipImageReader();
    ZipImageReader(const ZipImageReader&) = delete;
    ZipImageReader& operator=(const ZipImageReader&) = delete;

    // The image member by the one name rule (core::imageNameOf): the first .nds/.ids member in
    // archive order, else the first .dsi/.srl member; as listImageMembers lists them. std::nullopt
    // when there is none or the file is not a readable ZIP archive. With `wanted` (a member a
    // listing of this archive gave), that image member by its name, the one at wanted.index
    // when several share the name; std::nullopt when the archive holds no image of that name.
    // Called once.
    std::optional<Member> findImage(const std::optional<Member>& wanted = std::nullopt);
    // That member without a copy on disk: as readInPlace, and a member only libarchive can
    // decode (another method, a header it warned about) is decoded into memory (MemberBytes's
    // bounds) with the same events and verdicts. NeedsCopy: call extract.
    InPlace readInPlace(const ExtractEvents& events, std::span<core::ReadSink* const> sinks = {});
    // That member copied, as extractMember (0 when findImage found none).
    int extract(const std::string& destinationPath, const ExtractEvents& events,
                std::span<core::ReadSink* const> sinks = {});

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace cartscope::archive
