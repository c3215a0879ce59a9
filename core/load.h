#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/banner/banner_record.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/image/header_record.h"
#include "core/interpret.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"

namespace cartscope::core {

// Everything one load yields. The window and the command line fill it by the same steps:
// analyse() on the open image, then the optional whole-file read pass, then the display values
// and the list rows.
struct LoadedImage {
    // How far analyse() got: a failure leaves the steps before it filled (the window shows
    // what they yielded, as its step-by-step sequence did).
    enum class Stage { None, Header, Banner, Tables };
    Stage stage = Stage::None;
    HeaderRecord header; // both halves; header.ds is the DS header
    BannerRecord banner; // banner.original is the six-title TNDSBanner
    std::vector<TFileEntry> files;
    std::vector<TDirEntry> dirs;
    std::optional<std::uint32_t> fileCrc32; // only when a caller asked for it
    HeaderValues display;                   // the "Rom Info" page's values
    std::vector<FileRow> rows;
};

// Header, banner and file-system tables from the open image, in the load order. Reads the
// header block, the banner and the tables only: never the whole file. A caller that shows no
// file of the image (the report alone) skips the tables: the walk never fails, so the header
// and banner come out the same either way.
enum class Tables { Read, Skip };
void analyse(const Stream& image, LoadedImage& out, Tables tables = Tables::Read);

// The whole-file read pass: every block of `image` goes to the CRC-32 and to `extraSinks`
// (digests, checks), one read for all of them. Returns the CRC-32; throws "Stream read error"
// when the image delivers less than its size.
std::uint32_t readWholeImage(const Stream& image, std::span<ReadSink* const> extraSinks = {});

// The display values (with the CRC-32 when known) and the list rows of an analysed image.
// A caller that hands the rows out one at a time as they are made (forEachRow) asks for none.
enum class Rows { Build, Skip };
void finishLoad(LoadedImage& loaded, Rows rows = Rows::Build);

struct LoadOptions {
    // Compute the file CRC-32 (only the front ends that show or use it ask: the report, info).
    bool fileCrc32 = false;
    // A CRC-32 already computed over the same bytes (while an archive member was copied): taken
    // instead of reading the image again.
    std::optional<std::uint32_t> knownCrc32;
    // More consumers of the one whole-file read (digests, checks): when given, the image is read
    // once for them and the CRC-32 together. Not used with knownCrc32: whoever copied the
    // bytes fed them then.
    std::vector<ReadSink*> extraSinks = {};
    // Rows::Skip for a caller that makes the rows itself, one at a time (forEachRow).
    Rows rows = Rows::Build;
};

// analyse(), the CRC-32 when asked for, finishLoad(). Throws the user's message on the first
// failure.
LoadedImage loadImage(const Stream& image, const LoadOptions& options = {});
// The same on the image file at path, opened once for the whole load.
LoadedImage loadImageFile(const std::string& path, const LoadOptions& options = {});

// The former name, kept for the fuzz targets.
inline void analyseImage(const Stream& image, LoadedImage& out)
{
    analyse(image, out);
}

} // namespace cartscope::core
