#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/compress/compress.h"
#include "core/extract/extract.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"

// `extract --decompress`: after a run, each written file whose bytes are compressed is written
// again, decompressed, under the same name. Files are found as the format column finds them (a
// plausible stream header and a trial decode); with the system files, the ARM9 binary through its
// module parameters and each overlay through its table entry's flag.
namespace cartscope::core::rebuild {

// Compressed input read whole to be decoded: far past what a 64 MiB output can take.
inline constexpr std::uint64_t kMaxPackedInput = 128ull << 20;

struct DecompressedFile {
    const PlannedFile* file = nullptr;
    // The stream codec; nullopt: the code compression (the ARM9 binary, an overlay).
    std::optional<Codec> codec;
    std::uint64_t size = 0; // bytes written
    std::array<std::uint8_t, 20> sha1{};
};

struct DecompressionRun {
    std::vector<DecompressedFile> files;
    // Files that looked compressed but did not decode: left as they were written, and why.
    std::vector<ExtractFailure> warnings;
    bool cancelled = false;
};

struct DecompressOptions {
    // The full path a row was written to; nullopt for a row that was not written.
    std::function<std::optional<std::string>(const PlannedFile&)> writtenAt;
    // The image's header, for the system rows (null when the run holds none).
    const HeaderRecord* header = nullptr;
    // Asked between files; true stops the run (files done stay decompressed).
    std::function<bool()> interrupted;
    // A file left as it was, told as it happens.
    std::function<void(const ExtractFailure&)> onWarning;
    // Told before each written row is looked at (a front end shows it as the file in work).
    std::function<void(const PlannedFile&)> onFile;
};

// Where each row of a finished run lies, for DecompressOptions::writtenAt: its planned path, or
// the name a destination that folds letter case gave it (`renamed`: the planned file -> the
// relative path written, as the run told it); nullopt for a row the run did not write. `renamed`
// is referred to, not copied: it must outlive the function returned.
std::function<std::optional<std::string>(const PlannedFile&)>
writtenPlaces(const ExtractSummary& summary,
              const std::unordered_map<const PlannedFile*, std::string>& renamed);

// Each written row of `plan` read from `source` (the stream the run copied from). A file that
// does not decode is not an error: it stays as written and is told as a warning. A decompressed
// file replaces the written one whole (written beside it, synced, renamed). Throws the user's
// message when a file cannot be written.
DecompressionRun decompressWritten(const Stream& source, const std::vector<PlannedFile>& plan,
                                   const DecompressOptions& options);

} // namespace cartscope::core::rebuild
