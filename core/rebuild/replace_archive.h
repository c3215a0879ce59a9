#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/compress/encode.h"
#include "core/io/stream.h"

// Members of a NARC archive given new bytes: the archive rebuilt around them, through any
// archives nested in it and any compression around each level (decompressed, rebuilt, then
// compressed again with the same codec).
namespace cartscope::core::rebuild {

// An archive with members replaced is held in memory: its stored bytes, and at each level down
// the chain the bytes held at once (stored and decompressed) stay below this.
inline constexpr std::uint64_t kMaxArchiveBytes = 256u << 20;

// One member given new bytes.
struct MemberEdit {
    std::string member;             // below the archive: "/c.bin", or "/inner.narc/c.bin"
    std::string path;               // as the user named it, for messages
    const Stream* source = nullptr; // the new bytes, from its byte 0
};

// The archive stored as `stored` (its path `label`) with every edit applied; each level keeps
// the bytes it does not change. Throws the user's message naming the archive or the path at
// fault: data that does not decode, a member the archive does not have or cannot give up, a
// member both replaced and holding replaced members, a level past the limits.
std::vector<std::uint8_t> rebuiltArchive(std::vector<std::uint8_t> stored, const std::string& label,
                                         std::span<const MemberEdit> edits,
                                         const EncodeOptions& encode);

// The size of the member `member` of the archive stored as `stored`, as the archive around it
// holds it (a compressed member's stored size). Throws as rebuiltArchive does.
std::uint64_t storedMemberSize(std::vector<std::uint8_t> stored, const std::string& label,
                               const std::string& member, const std::string& path);

} // namespace cartscope::core::rebuild
