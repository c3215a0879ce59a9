#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/fs/filelist.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"

// The files of an image that live outside its named tree: the header, the ARM9 and ARM7
// binaries (and their DSi counterparts), the two overlay tables with every overlay, and the
// banner, with the sizes the established extractor writes them at.
namespace cartscope::core {

enum class SystemFileKind {
    Header,
    Arm9,
    Arm7,
    Arm9i,
    Arm7i,
    Arm9OverlayTable,
    Arm7OverlayTable,
    Overlay,
    Banner,
};

// The folder the system rows are listed under ("/[system]/arm9.bin"); a name every file system
// accepts.
inline constexpr const char* kSystemFolder = "[system]";

// The footer that may follow the ARM9 (and ARM9i) binary: 12 bytes beginning with this word.
inline constexpr std::uint32_t kNitroCode = 0xDEC00621;
inline constexpr std::uint64_t kNitroFooterSize = 12;

inline constexpr std::uint64_t kOverlayEntrySize = 32;
static_assert(kOverlayEntrySize == 0x20);

struct SystemFile {
    SystemFileKind kind = SystemFileKind::Header;
    std::string name; // below the system folder: "arm9.bin", "overlay/overlay_0003.bin"
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    // Why the file cannot be written ("the range 0x... lies past the end of the image"); empty
    // when its whole range lies inside the image.
    std::string problem;
    // Overlays: the file ID their table entry names (their allocation entry's index).
    std::uint32_t fileId = 0;
};

// Every system file of the image, in a fixed order: header.bin, arm9.bin, arm7.bin, arm9i.bin
// and arm7i.bin (images with the DSi bit in the unit code), y9.bin, y7.bin, banner.bin (when
// the banner offset is not 0), then overlay/overlay_NNNN.bin for each entry of the ARM9 table
// and then of the ARM7 table. Never throws for what the image says: a range that does not fit
// gives a row with a problem.
std::vector<SystemFile> systemFiles(const Stream& image, const HeaderRecord& header);

// The rows of the file list for these files: "/[system]/" + name, offset as 8 hex digits, size
// in decimal, marked as system rows and carrying their problem.
std::vector<FileRow> systemRows(const std::vector<SystemFile>& files);

} // namespace cartscope::core
