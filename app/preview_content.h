#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/banner/png.h"
#include "core/formats/sound/sdat.h"
#include "core/formats/sound/sound_pieces.h"
#include "core/fs/filelist.h"
#include "core/io/stream.h"

// What the preview window shows of one file, made off the GUI thread from the image's bytes:
// a picture (graphics, fonts), a text (messages, plain text files) or the bytes themselves. No
// widgets here: the window turns the result into its controls.
namespace cartscope::app {

// One file to preview: where its bytes lie in the image, and the rows of the list it was chosen
// from (its folder's or its archive's files), among which the files that go with it (a palette
// beside its graphics) are chosen.
struct PreviewSource {
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::vector<core::FileRow> siblings;
    // An entry of a sound archive (chosen in its dialog): the archive and the entry's index in
    // it. The entry is read through the archive, which says what it is (a wave of a wave
    // archive has no header of its own) and holds what goes with it (a bank's waves).
    std::shared_ptr<const core::Sdat> sdat;
    std::size_t soundEntry = 0;
};

enum class PreviewKind { Picture, Text, Hex, Sound };

struct PreviewContent {
    PreviewKind kind = PreviewKind::Hex;
    // What the file is: "LZ11 → NCGR, 4 bpp, 32×16 tiles", "BMG, UTF-16LE, 12 messages",
    // "data, 4096 bytes".
    std::string formatLine;
    core::RgbaImage picture; // Picture
    std::string text;        // Text: UTF-8, the exact text an export saves
    // Hex: the file's bytes (decompressed when the file is compressed), read as they are shown.
    // A window onto the image for a file stored as it is, so it must not outlive the image.
    std::shared_ptr<const core::Stream> bytes;
    // The palettes that could go with the graphics, when more than one fits, and the one used.
    std::vector<std::string> palettes;
    std::string palette;
    // Sound: what plays, decoded a piece at a time as it plays.
    std::shared_ptr<const core::SoundPieces> sound;
    // Sound files (and sequences and banks shown as text): what "Export…" writes instead of the
    // picture or the text, made when asked (a stream's WAV is far larger than its file), and its
    // extension (".wav", ".mid", ".sf2"). Reads the image: it must not outlive it.
    std::function<std::vector<std::uint8_t>()> exportFile;
    std::string exportExtension;
};

// Thrown out of makePreview when `cancelled` says so.
class PreviewCancelled final : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

// The largest file read whole to be decoded (graphics, messages, fonts, a compressed file).
inline constexpr std::uint64_t kMaxPreviewFile = std::uint64_t{64} << 20;
// The most of a plain text file shown.
inline constexpr std::uint64_t kMaxPreviewText = std::uint64_t{1} << 20;
// The first bytes read to tell what a file is.
inline constexpr std::size_t kPreviewHead = 4096;

// The preview of `source`. Reads only what it shows: the first kPreviewHead bytes of a file
// that is shown as bytes, the whole file only where it is decoded. A file that fails to decode
// is shown as bytes with the failure on the format line. `palette`, when not empty, is the
// palette to use instead of the one the rule chooses. `cancelled` is asked between reads and
// while decompressing.
PreviewContent makePreview(const core::Stream& image, const PreviewSource& source,
                           const std::string& palette, const std::function<bool()>& cancelled);

// Whether the bytes read as text: valid UTF-8 (a character cut by the end of `bytes` allowed
// when `more` says the file goes on), no NUL and no control character but tab, line feed, form
// feed and carriage return.
bool looksLikeText(std::span<const std::uint8_t> bytes, bool more);

} // namespace cartscope::app
