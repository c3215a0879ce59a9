#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/io/read_pass.h"

// Reading members of a ZIP or 7z archive straight into read-pass sinks: no copy on disk, memory
// bounded by libarchive's buffers (and, for 7z, the dictionaries its header declares).
namespace cartscope::archive {

struct StreamedMember {
    std::size_t index = 0; // position in the archive, all entries counted
    std::string name;      // as stored (display only, never a path)
    std::uint64_t declaredSize = 0;
};

struct MemberEvents {
    // A member begins; returns the sinks its bytes go to.
    std::function<std::span<core::ReadSink* const>(const StreamedMember&)> onBegin;
    // The member ended: `error` is empty when every byte was read and checked (the sinks are
    // then finished), otherwise the reason (damaged data, a CRC-32 that differs from the stored
    // one, encryption, a size past the limit). Called once for every onBegin.
    std::function<void(const StreamedMember&, const std::string& error)> onEnd;
    // Asked between blocks; true stops the walk (the current member gets no onEnd).
    std::function<bool()> cancelled;
    // A 7z archive: the memory its reader will take (checkSevenZip), told once before
    // libarchive opens it, so that several walks at once can be kept within the memory there is.
    // May block until that memory is free. May be empty.
    std::function<void(std::uint64_t bytes)> onMemory;
};

// Streams every regular-file member whose name passes `accept`, in archive order. Returns the
// count of members begun. A member whose name is not UTF-8 under the UTF-8 flag is begun and
// ended with that error (its name as stored); a read that fails ends the member being read and
// every later one with "Cannot read file "%s". %s", so each member is still counted. Throws
// core::Error when the file cannot be opened ("Cannot open file "%s". %s"), is not a readable
// ZIP or 7z archive, is a zip bomb (refuseZipBomb, zip_directory.h), or is a 7z archive that
// readSevenZipHeader or checkSevenZip refuses (sevenz_header.h).
std::size_t streamMembers(const std::string& archivePath,
                          const std::function<bool(const std::string& name)>& accept,
                          const MemberEvents& events);
// The same over an archive the caller has opened (`archivePath` names it in messages).
std::size_t streamMembers(int fd, const std::string& archivePath,
                          const std::function<bool(const std::string& name)>& accept,
                          const MemberEvents& events);

} // namespace cartscope::archive
