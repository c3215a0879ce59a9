#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/preview_content.h"

// The preview of sound files: streams and waves play, sequences and banks show as text, and each
// exports to its standard file (WAV, MIDI, SF2).
namespace cartscope::app {

// Whether the preview of a file whose first bytes are `head` is made here: an STRM, SWAV, SSEQ
// or SBNK file.
bool isSoundFile(std::span<const std::uint8_t> head);

// The preview of a whole sound file (isSoundFile said so). Throws the decoder's error.
void soundFilePreview(std::vector<std::uint8_t> bytes, const std::string& label,
                      PreviewContent& out);

// The preview of entry `source.soundEntry` of `source.sdat`, read from `image` (or the archive's
// decompressed bytes) with at most `limit` bytes. Throws the entry's or the decoder's error.
void soundEntryPreview(const core::Stream& image, const PreviewSource& source, std::uint64_t limit,
                       PreviewContent& out);

} // namespace cartscope::app
