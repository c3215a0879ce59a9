#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Sequences (SSEQ, and the sequences of a sequence archive) played through once into a
// Standard MIDI File.
namespace cartscope::core {

// Commands run at most, over all tracks (which bounds the events kept too); a sequence that
// loops forever by other means than a jump back (a call chain) stops there.
inline constexpr std::uint64_t kMaxSequenceSteps = std::uint64_t{1} << 18;

// One MIDI event of a converted track: its tick and its bytes (a channel message, or a meta
// event FF type length data).
struct MidiEvent {
    std::uint64_t tick = 0;
    int rank = 1; // note-offs before settings before note-ons at one tick
    std::uint8_t size = 0;
    std::array<std::uint8_t, 12> bytes{}; // the longest is a marker: FF 06 09 "loopStart"
};

struct MidiConversion {
    std::vector<std::uint8_t> midi;
    // Per track, its events in the order the file holds them.
    std::vector<std::vector<MidiEvent>> events;
    int tracks = 0;
    std::uint64_t notes = 0;
    bool looped = false; // some track marked a loop
    // Tracks that stopped for a reason other than their end: "track 2: the step budget ran out".
    std::vector<std::string> stops;
};

// The sequence data of an SSEQ file (the DATA block's offset at 0x18 to the end). Throws
// "\"%s\" is not an SSEQ sequence" (with `label`).
std::span<const std::uint8_t> sseqData(std::span<const std::uint8_t> file,
                                       const std::string& label);

// Runs the sequence starting at `start` of `data` (offsets in jumps, calls and opened tracks
// are relative to `data`). Each track plays its intro and its loop body once: a jump to a place
// it has played (or an endless loop's end) sets "loopStart" and "loopEnd" markers and ends the
// track. Type 1, 48 ticks per quarter note, one MIDI track and channel per sequence track.
MidiConversion sequenceToMidi(std::span<const std::uint8_t> data, std::uint64_t start,
                              const std::string& label);

// The tracks and their events as text, one line an event ("   48  note on 60 velocity 100"),
// at most `maxEvents` events in all (then a line saying how many more there are).
std::string sequenceText(const MidiConversion& conversion, std::size_t maxEvents);

} // namespace cartscope::core
