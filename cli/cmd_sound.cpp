#include <cctype>
#include <filesystem>

#include "cli/common.h"
#include "cli/image_file.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/base/text.h"
#include "core/formats/sound/sbnk.h"
#include "core/formats/sound/sdat.h"
#include "core/formats/sound/sf2.h"
#include "core/formats/sound/sseq.h"
#include "core/formats/sound/wave.h"
#include "core/io/whole_file.h"

namespace cartscope::cli {

namespace {

JsonObject soundJson(const std::string& kind, const core::PcmSound& s, const std::string& out)
{
    JsonObject o;
    o.str("kind", kind)
        .str("encoding", core::encodingName(s.encoding))
        .num("channels", s.channels)
        .num("rate", s.rate)
        .num("frames", static_cast<std::int64_t>(s.frames));
    if (s.loop)
        o.num("loopStart", static_cast<std::int64_t>(s.loop->start));
    o.str("out", out);
    return o;
}

int writeSound(const Invocation& inv, Context& ctx, const std::string& kind,
               const core::PcmSound& s, const std::string& out)
{
    core::writeWholeFile(out, core::wavFile(s));
    if (inv.has("--json"))
        ctx.out << soundJson(kind, s, out).text() << '\n';
    else
        ctx.out << safe(out) << ": " << core::describeSound(kind, s) << '\n';
    return 0;
}

int waveFolder(Context& ctx, const core::Stream& image, const core::Sdat& sdat, std::size_t at,
               const std::string& out)
{
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    std::error_code statusError;
    if (!std::filesystem::is_directory(out, statusError))
        throw core::Error("Cannot create folder \"" + out + "\". " +
                          (ec ? ec.message() : std::string("Not a folder")));
    std::vector<std::string> failures;
    std::size_t written = 0;
    for (const core::SoundEntry& e : sdat.entries) {
        if (e.kind != core::SoundKind::Wave || e.parent != at)
            continue;
        checkInterrupted();
        char name[32];
        std::snprintf(name, sizeof name, "/%04u.wav", e.index);
        // One wave that cannot be read or written is told; the others are still written.
        try {
            const auto bytes = core::readSoundEntry(image, sdat, e, kMaxDecodedFile);
            core::writeWholeFile(out + name,
                                 core::wavFile(core::decodeWave(bytes, sdat.path + e.path)));
            ++written;
        } catch (const core::Error& error) {
            failures.push_back(error.what());
            ctx.err << "error: " << safe(core::withFullStop(error.what())) << '\n';
        }
    }
    ctx.out << "Wrote " << written << (written == 1 ? " wave" : " waves") << " to " << safe(out);
    if (!failures.empty())
        ctx.out << ", " << failures.size() << " failed";
    ctx.out << '\n';
    return failures.empty() ? 0 : 1;
}

int bank(const Invocation& inv, Context& ctx, const core::Stream& image, const core::Sdat& sdat,
         const core::SoundEntry& entry, const std::string& out)
{
    const std::string label = sdat.path + entry.path;
    std::vector<std::string> notes;
    const core::Bank bank =
        core::readSbnk(core::readSoundEntry(image, sdat, entry, kMaxDecodedFile), label, notes);
    for (const auto& note : notes)
        ctx.err << "note: " << safe(label) << ": " << safe(note) << '\n';
    // The bank's wave archives, by INFO index, in its four slots.
    std::vector<std::string> failures;
    checkInterrupted();
    const std::vector<core::WaveSet> archives =
        core::bankWaves(image, sdat, entry, kMaxDecodedFile, &failures);
    for (const auto& f : failures)
        ctx.err << "note: " << safe(core::withFullStop(f)) << '\n';
    std::string tail = out.substr(out.size() < 4 ? 0 : out.size() - 4);
    for (char& c : tail)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool named = tail == ".sf2";
    const std::string sf2 = named ? out : out + ".sf2";
    const core::SoundFont font = core::soundFont(bank, archives, core::namePart(label));
    core::writeWholeFile(sf2, font.bytes);
    ctx.out << (inv.has("--json") ? core::bankJson(bank) : core::bankText(bank));
    ctx.err << safe(sf2) << ": " << font.presets << " presets, " << font.samples << " samples";
    if (font.skippedRegions)
        ctx.err << ", " << font.skippedRegions << " regions without a sampled wave left out";
    ctx.err << '\n';
    return 0;
}

int cmdSound(const Invocation& inv, Context& ctx)
{
    const std::string& path = inv.positional[1];
    const std::string& out = inv.positional[2];
    InputImage image(inv.positional[0], inputOptions());
    const core::LoadedImage img = load(image);
    checkInterrupted();
    std::string rest;
    const core::Sdat sdat = core::openSdat(image, img.rows, path, &rest);
    const core::SoundEntry& entry = core::findSoundEntry(sdat, rest, path);
    const std::size_t at = static_cast<std::size_t>(&entry - sdat.entries.data());
    switch (entry.kind) {
    case core::SoundKind::Stream:
        return writeSound(
            inv, ctx, "STRM",
            core::decodeStrm(core::readSoundEntry(image, sdat, entry, kMaxDecodedFile), path), out);
    case core::SoundKind::Wave:
        return writeSound(
            inv, ctx, "SWAV",
            core::decodeWave(core::readSoundEntry(image, sdat, entry, kMaxDecodedFile), path), out);
    case core::SoundKind::WaveArchive:
        return waveFolder(ctx, image, sdat, at, out);
    case core::SoundKind::Sequence:
    case core::SoundKind::ArchivedSequence: {
        const auto bytes = core::readSoundEntry(image, sdat, entry, kMaxDecodedFile);
        const bool archived = entry.kind == core::SoundKind::ArchivedSequence;
        const core::MidiConversion midi =
            archived ? core::sequenceToMidi(bytes, entry.start, path)
                     : core::sequenceToMidi(core::sseqData(bytes, path), 0, path);
        core::writeWholeFile(out, midi.midi);
        for (const auto& stop : midi.stops)
            ctx.err << "note: " << safe(path) << ": " << safe(stop) << '\n';
        if (inv.has("--json")) {
            JsonObject o;
            o.str("kind", "SSEQ")
                .num("tracks", midi.tracks)
                .num("notes", static_cast<std::int64_t>(midi.notes))
                .boolean("loops", midi.looped)
                .str("out", out);
            ctx.out << o.text() << '\n';
        } else {
            ctx.out << safe(out) << ": SSEQ, " << midi.tracks
                    << (midi.tracks == 1 ? " track, " : " tracks, ") << midi.notes << " notes"
                    << (midi.looped ? ", loops" : "") << '\n';
        }
        return 0;
    }
    case core::SoundKind::Bank:
        return bank(inv, ctx, image, sdat, entry, out);
    case core::SoundKind::SequenceArchive:
        break;
    }
    throw core::Error("\"" + path + "\" is a sequence archive; convert one of its sequences");
}

} // namespace

const Command& soundCommand()
{
    static const Command command{"sound", 3, 3, {"--json"}, cmdSound};
    return command;
}

} // namespace cartscope::cli
