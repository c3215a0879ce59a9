#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/formats/sound/sbnk.h"
#include "core/formats/sound/wave.h"

// A SoundFont 2 file from a bank and the waves of its wave archives, so a converted sequence
// plays with the game's own instruments.
namespace cartscope::core {

// The waves of one of the bank's four wave archives; a wave that could not be decoded is empty.
using WaveSet = std::vector<std::optional<PcmSound>>;

struct SoundFont {
    std::vector<std::uint8_t> bytes;
    int presets = 0;
    int samples = 0;
    std::uint64_t skippedRegions = 0; // square-wave and noise regions, and missing waves
};

// One preset per instrument (bank 0, its program number), one instrument zone per region (key
// range, root key, pan, loop), each wave stored once as 16-bit samples.
SoundFont soundFont(const Bank& bank, const std::vector<WaveSet>& archives,
                    const std::string& name);

} // namespace cartscope::core
