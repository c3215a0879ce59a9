#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/io/stream.h"
#include "core/rebuild/output_file.h"

// The canonical deterministic ZIP that collection tools agree on (TorrentZip): the same roms
// always give the same bytes, so an archive can be checked by its own digest.
namespace cartscope::archive {

// Plain: the TorrentZip layout without its archive comment.
enum class ZipStyle { Plain, TorrentZip };

// The fixed date and time every member carries: 1996-12-24 23:32:00 in DOS form.
inline constexpr std::uint16_t kTorrentZipTime = (23 << 11) | (32 << 5);
inline constexpr std::uint16_t kTorrentZipDate = ((1996 - 1980) << 9) | (12 << 5) | 24;
static_assert(kTorrentZipTime == 0xBC00 && kTorrentZipDate == 0x2198);
inline constexpr char kTorrentZipCommentPrefix[] = "TORRENTZIPPED-";

// Hands a member's bytes, in order, to `take`.
using ByteSink = std::function<void(std::span<const std::uint8_t>)>;
using ByteSource = std::function<void(const ByteSink& take)>;

struct ZipMember {
    std::string name; // stored as it is: the caller has made it a clean file name
    ByteSource bytes;
};

// Writes the members into `out`, each deflated by zlib at level 9 (memory level 8, raw 15-bit
// window), in case-insensitive byte order of their names, with DOS date and time
// 1996-12-24 23:32, general-purpose flag 2 (with 0x800 for a name holding a byte above 0x7F),
// version made by 0 and needed 20, no extra fields, no data descriptor, attributes 0, and for
// TorrentZip the comment "TORRENTZIPPED-" with the CRC-32 of the central directory in upper-case
// hex. Throws core::Error when a member or the archive would need zip64 (4 GiB or more).
void writeZip(core::OutputFile& out, std::vector<ZipMember> members, ZipStyle style,
              const core::Checkpoint& checkpoint = {});

// A member deflated already, with writeZip's parameters (so the same zlib gave the same bytes):
// its CRC-32 and sizes, and what writes its deflated bytes into the archive.
struct DeflatedMember {
    std::string name; // stored as it is: the caller has made it a clean file name
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    std::function<void(core::OutputFile&)> writeDeflated;
};

// The archive writeZip writes for the same members and bytes, each member's deflated bytes
// written by its own writer. Throws core::Error as writeZip does.
void writeDeflatedZip(core::OutputFile& out, std::vector<DeflatedMember> members, ZipStyle style);

// Whether the archive ends with a TorrentZip comment whose CRC-32 is its central directory's.
bool isTorrentZipped(const core::Stream& file);

} // namespace cartscope::archive
