// The sequence converter: any command bytes end within the step budget and give a MIDI file
// whose header names as many tracks as it holds.
#include <cstdint>

#include "core/base/error.h"
#include "core/formats/sound/sseq.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    try {
        const MidiConversion m = sequenceToMidi({data, size}, 0, "/s.sseq");
        if (m.tracks < 1 || m.tracks > 16 || ((m.midi[10] << 8) | m.midi[11]) != m.tracks)
            __builtin_trap();
    } catch (const Error&) {
    }
    return 0;
}
