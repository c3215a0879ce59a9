#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/formats/sound/sf2.h"
#include "core/fs/filelist.h"
#include "core/fs/narc.h"
#include "core/io/stream.h"

// SDAT sound archives: a name block (SYMB), an information block (INFO) describing sequences,
// sequence archives, banks, wave archives and streams by file ID, and an allocation block (FAT)
// placing each file in the archive. Members of sequence archives (SSAR) and wave archives (SWAR)
// are listed from their own offset tables.
namespace cartscope::core {

enum class SoundKind {
    Sequence,
    SequenceArchive,
    Bank,
    WaveArchive,
    Stream,
    ArchivedSequence,
    Wave
};

inline constexpr std::uint16_t kNoSoundIndex = 0xFFFF;

struct SoundEntry {
    std::string path; // below the archive: "/sequences/NAME.sseq", "/waveArchives/A.swar/0003.swav"
    SoundKind kind = SoundKind::Sequence;
    std::uint32_t index = 0;  // INFO index, or the member's index in its archive
    std::uint64_t offset = 0; // of the file's bytes in the image
    std::uint64_t size = 0;
    std::string problem; // why it cannot be read; empty when it can
    // Sequences: the bank they play with. Banks: up to four wave archives (INFO indices).
    std::uint16_t bank = kNoSoundIndex;
    std::array<std::uint16_t, 4> waveArchives{kNoSoundIndex, kNoSoundIndex, kNoSoundIndex,
                                              kNoSoundIndex};
    // Members: the entry (position in `entries`) of their archive, and for an archived sequence
    // where it starts inside the archive's sequence data.
    std::size_t parent = 0;
    std::uint64_t start = 0;
};

struct Sdat {
    std::string path;         // the archive's path: a row of the tree, or a member of a NARC in it
    std::uint64_t offset = 0; // in stream()
    std::uint64_t size = 0;
    std::vector<SoundEntry> entries; // offsets in stream()
    // What was wrong with the archive and how it was read anyway.
    std::vector<std::string> notes;
    // Set when the archive, or a NARC it lies in, is compressed: its entries then have no
    // offset in the image and are read from these bytes.
    std::shared_ptr<const DecompressedArchive> decompressed;

    const Stream& stream(const Stream& image) const
    {
        return decompressed ? decompressed->stream : image;
    }
};

// Reads the archive occupying `size` bytes of `image` from `offset`: its header, SYMB, INFO and
// FAT blocks, and the offset tables of its sequence and wave archives (nothing else). Throws
// "\"%s\" is not an SDAT sound archive" (with `label`) when the magic, INFO or FAT is missing.
Sdat readSdat(const Stream& image, std::uint64_t offset, std::uint64_t size,
              const std::string& label);

// The archive that `path` (an entry as `list --sdat` prints it, or the archive itself) lies in:
// a file of `treeRows` or a member of a NARC archive in it, compressed or not (placeFile finds
// it). `rest` receives the part of `path` after the archive's own path. Throws "No file \"%s\"
// in the image" or the row's problem.
Sdat openSdat(const Stream& image, const std::vector<FileRow>& treeRows, const std::string& path,
              std::string* rest = nullptr);

// The entry at `rest` ("/banks/X.sbnk"), or throws "No file \"%s\" in the image" (with `full`).
const SoundEntry& findSoundEntry(const Sdat& sdat, const std::string& rest,
                                 const std::string& full);

// The entries as list rows with the archive's path in front, or as they are extracted (paths
// below the archive's folder; members are left out: a file and a folder cannot share a name).
std::vector<FileRow> sdatRows(const Sdat& sdat);
std::vector<FileRow> sdatExtractRows(const Sdat& sdat);

// The bytes of an entry (at most `limit`), from the image or the archive's decompressed bytes;
// throws the entry's problem, or "\"%s\" is too large to open" past the limit.
std::vector<std::uint8_t> readSoundEntry(const Stream& image, const Sdat& sdat,
                                         const SoundEntry& entry, std::uint64_t limit);

// The waves of the archive at entry `at`, each decoded or left empty (its failure appended to
// `failures`). Each wave is read with at most `limit` bytes.
WaveSet decodeWaveArchive(const Stream& image, const Sdat& sdat, std::size_t at,
                          std::uint64_t limit, std::vector<std::string>* failures);

// The waves of a bank's four wave archives (by INFO index), for its sound font; a slot without
// an archive is empty.
std::vector<WaveSet> bankWaves(const Stream& image, const Sdat& sdat, const SoundEntry& bank,
                               std::uint64_t limit, std::vector<std::string>* failures);

} // namespace cartscope::core
