#pragma once

#include <cstdint>
#include <span>
#include <string>

// Files that appear whole or not at all: the new bytes are written beside the destination,
// synced, and only then given its name, so a full disk, a crash or a kill leaves the old file or
// the new one, never a mix, and never a file cut short under the destination's name.
namespace cartscope::core {

// How a failure to create the file is told; cannotCreateMessage unless the caller's text differs.
using CreateMessage = std::string (*)(const std::string& path, int errnum);

// A symbolic link at the destination: followed (the file it names is replaced, as a desktop
// program saving to a name the user chose would), or replaced itself (a name handed over by
// another program, such as a file manager's thumbnail path, never redirects the write).
enum class AtLink { Follow, Replace };

// Creates or replaces `path` with exactly `bytes`. An unnamed file in the destination's folder
// (O_TMPFILE) gets the name once it is complete; where the file system has no unnamed files, a
// hidden sibling is renamed over the destination. A symbolic link at `path` is followed or
// replaced as `atLink` says; an existing file keeps its permission bits. A device or FIFO named by
// the user is written in place, never removed or replaced. Throws the `cannotCreate` text when the
// file cannot be made ("Is a directory" for a folder there), and "Cannot write file "%s". %s" when
// it cannot be written (the system's reason: "No space left on device" for a full disk); the
// previous file is then untouched and nothing else is left behind.
void writeWholeFile(const std::string& path, std::span<const std::uint8_t> bytes,
                    CreateMessage cannotCreate = nullptr, AtLink atLink = AtLink::Follow);

// Writes all of `bytes` at the descriptor's position; a failure throws "Cannot write file "%s".
// %s" naming `path` with the system's reason.
void writeAllOrThrow(int fd, std::span<const std::uint8_t> bytes, const std::string& path);

// "Cannot write file "%s". %s" with the system's reason for errnum.
std::string cannotWriteMessage(const std::string& path, int errnum);

// A hidden name for a file being written (".cartscope-PID-N-T.part"), different on each call.
std::string hiddenTemporaryName();

// Opens an unnamed file for writing in the folder open as `dir` (O_TMPFILE): -1 with errno set
// when the folder cannot hold one (EOPNOTSUPP, EISDIR or EINVAL where the file system or kernel
// has no unnamed files).
int openUnnamedFile(int dir);
// Whether an openUnnamedFile failure means only that unnamed files are not available there.
bool unnamedFilesUnsupported(int err);
// Gives the unnamed file open as `fd` the name `name` in the folder open as `dir`; -1 with errno
// (EEXIST when the name is taken: it is never replaced) on failure.
int linkUnnamedFile(int fd, int dir, const char* name);

// The file a destination path stands for: the file a symbolic link names (a link whose target
// does not exist stands for that target's path), else the path itself. That file is the one a
// whole-file write replaces, so the link stays a link.
std::string resolvedDestination(const std::string& path);

} // namespace cartscope::core
