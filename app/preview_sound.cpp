#include "app/preview_sound.h"

#include <cstring>

#include "core/base/error.h"
#include "core/formats/sound/sbnk.h"
#include "core/formats/sound/sf2.h"
#include "core/formats/sound/sseq.h"
#include "core/formats/sound/wave.h"

namespace cartscope::app {

namespace {

// The most sequence events shown as text: a sequence runs at most kMaxSequenceSteps commands,
// and a window of a million lines helps nobody.
constexpr std::size_t kMaxShownEvents = 20000;

bool magicIs(std::span<const std::uint8_t> head, const char* magic)
{
    return head.size() >= 4 && std::memcmp(head.data(), magic, 4) == 0;
}

std::string plural(std::uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void playable(const std::string& kind, core::PcmSound sound, PreviewContent& out)
{
    out.kind = PreviewKind::Sound;
    out.formatLine = core::describeSound(kind, sound);
    out.sound = std::make_shared<const core::SoundPieces>(core::SoundPieces::fromSound(sound));
    out.exportExtension = ".wav";
    out.exportFile = [sound = std::move(sound)] { return core::wavFile(sound); };
}

void stream(std::vector<std::uint8_t> bytes, const std::string& label, PreviewContent& out)
{
    auto pieces = std::make_shared<const core::SoundPieces>(
        core::SoundPieces::fromStrm(std::move(bytes), label));
    core::PcmSound shape; // the format line needs the numbers only
    const core::StrmLayout layout = core::strmLayout(pieces->file(), label);
    shape.encoding = layout.encoding;
    shape.channels = layout.channels;
    shape.rate = layout.rate;
    shape.frames = layout.frames;
    shape.loop = layout.loop;
    out.kind = PreviewKind::Sound;
    out.formatLine = core::describeSound("STRM", shape);
    out.sound = pieces;
    out.exportExtension = ".wav";
    // Decoded whole only when exported.
    out.exportFile = [pieces, label] {
        return core::wavFile(core::decodeStrm(pieces->file(), label));
    };
}

void sequence(std::span<const std::uint8_t> data, std::uint64_t start, const std::string& label,
              PreviewContent& out)
{
    core::MidiConversion midi = core::sequenceToMidi(data, start, label);
    out.kind = PreviewKind::Text;
    out.formatLine = "SSEQ, " + plural(static_cast<std::uint64_t>(midi.tracks), "track", "tracks") +
                     ", " + plural(midi.notes, "note", "notes") + (midi.looped ? ", loops" : "");
    out.text = core::sequenceText(midi, kMaxShownEvents);
    for (const std::string& stop : midi.stops)
        out.text += "note: " + stop + "\n";
    out.exportExtension = ".mid";
    out.exportFile = [bytes = std::move(midi.midi)] { return bytes; };
}

core::Bank bank(std::span<const std::uint8_t> bytes, const std::string& label, PreviewContent& out)
{
    std::vector<std::string> notes;
    core::Bank b = core::readSbnk(bytes, label, notes);
    out.kind = PreviewKind::Text;
    out.formatLine = "SBNK, " + plural(b.instruments.size(), "instrument", "instruments");
    out.text = core::bankText(b);
    for (const std::string& note : notes)
        out.text += "note: " + note + "\n";
    return b;
}

} // namespace

bool isSoundFile(std::span<const std::uint8_t> head)
{
    return magicIs(head, "STRM") || magicIs(head, "SWAV") || magicIs(head, "SSEQ") ||
           magicIs(head, "SBNK");
}

void soundFilePreview(std::vector<std::uint8_t> bytes, const std::string& label,
                      PreviewContent& out)
{
    if (magicIs(bytes, "STRM")) {
        stream(std::move(bytes), label, out);
    } else if (magicIs(bytes, "SWAV")) {
        playable("SWAV", core::decodeSwav(bytes, label), out);
    } else if (magicIs(bytes, "SSEQ")) {
        sequence(core::sseqData(bytes, label), 0, label, out);
    } else if (magicIs(bytes, "SBNK")) {
        // Outside its archive a bank has no waves: it exports as its text.
        bank(bytes, label, out);
    }
}

void soundEntryPreview(const core::Stream& image, const PreviewSource& source, std::uint64_t limit,
                       PreviewContent& out)
{
    const core::Sdat& sdat = *source.sdat;
    const core::SoundEntry& entry = sdat.entries.at(source.soundEntry);
    const std::string label = sdat.path + entry.path;
    switch (entry.kind) {
    case core::SoundKind::Stream:
        stream(core::readSoundEntry(image, sdat, entry, limit), label, out);
        return;
    case core::SoundKind::Wave:
        playable("SWAV", core::decodeWave(core::readSoundEntry(image, sdat, entry, limit), label),
                 out);
        return;
    case core::SoundKind::Sequence:
        sequence(core::sseqData(core::readSoundEntry(image, sdat, entry, limit), label), 0, label,
                 out);
        return;
    case core::SoundKind::ArchivedSequence:
        sequence(core::readSoundEntry(image, sdat, entry, limit), entry.start, label, out);
        return;
    case core::SoundKind::Bank: {
        const core::Bank b = bank(core::readSoundEntry(image, sdat, entry, limit), label, out);
        out.exportExtension = ".sf2";
        // The bank with its waves: decoded when exported.
        out.exportFile = [&image, sdatCopy = source.sdat, index = source.soundEntry, b, label,
                          limit] {
            const std::vector<core::WaveSet> waves =
                core::bankWaves(image, *sdatCopy, sdatCopy->entries[index], limit, nullptr);
            return core::soundFont(b, waves, label.substr(label.rfind('/') + 1)).bytes;
        };
        return;
    }
    case core::SoundKind::SequenceArchive:
    case core::SoundKind::WaveArchive:
        break;
    }
    throw core::Error("\"" + label + "\" is an archive; preview one of its members");
}

} // namespace cartscope::app
