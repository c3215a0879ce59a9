// SDAT sound archives: whatever the bytes say, every entry offered for reading lies inside the
// input, and reading and converting each one throws nothing but the user's error.
#include <cstdint>

#include "core/base/error.h"
#include "core/formats/sound/sbnk.h"
#include "core/formats/sound/sdat.h"
#include "core/formats/sound/sseq.h"
#include "core/formats/sound/wave.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    const MemoryStream stream({data, size});
    try {
        Sdat sdat = readSdat(stream, 0, size, "/s.sdat");
        sdat.path = "/s.sdat";
        for (const SoundEntry& e : sdat.entries) {
            if (!e.problem.empty())
                continue;
            if (e.offset > size || e.size > size - e.offset)
                __builtin_trap();
            try {
                const auto bytes = readSoundEntry(stream, sdat, e, 1 << 20);
                std::vector<std::string> notes;
                switch (e.kind) {
                case SoundKind::Stream:
                    wavFile(decodeStrm(bytes, e.path));
                    break;
                case SoundKind::Wave:
                    wavFile(decodeWave(bytes, e.path));
                    break;
                case SoundKind::Bank:
                    bankText(readSbnk(bytes, e.path, notes));
                    break;
                case SoundKind::Sequence:
                    sequenceToMidi(sseqData(bytes, e.path), 0, e.path);
                    break;
                case SoundKind::ArchivedSequence:
                    sequenceToMidi(bytes, e.start, e.path);
                    break;
                default:
                    break;
                }
            } catch (const Error&) {
            }
        }
        sdatRows(sdat);
    } catch (const Error&) {
    }
    return 0;
}
