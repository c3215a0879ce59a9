#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/formats/sound/sseq.h"

// One track of a sequence run through once into MIDI events, for sequenceToMidi.
namespace cartscope::core::detail {

// A track the sequence opens: its number, where its commands start and the tick it starts at.
struct OpenedTrack {
    int track;
    std::uint64_t offset;
    std::uint64_t tick;
};

struct TrackResult {
    std::vector<MidiEvent> events; // in the order the commands make them
    std::uint64_t notes = 0;
    bool looped = false;
    std::optional<std::string> stop; // why the track stopped before its end
};

// Runs the track `start` names over `data`, adding the tracks it opens to `opened` (each number
// once, at most 16) and spending one of `budget` per command.
TrackResult runTrack(std::span<const std::uint8_t> data, const OpenedTrack& start,
                     std::vector<OpenedTrack>& opened, std::uint64_t& budget);

} // namespace cartscope::core::detail
