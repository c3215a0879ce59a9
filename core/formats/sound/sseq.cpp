// Sequences written as a Standard MIDI File, and as text.
#include "core/formats/sound/sseq.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/formats/sound/sseq_track.h"

namespace cartscope::core {

namespace {

constexpr std::uint16_t kDivision = 48;

using Event = MidiEvent;

void putVar(std::vector<std::uint8_t>& out, std::uint64_t v)
{
    v = std::min<std::uint64_t>(v, 0x0FFFFFFF); // the largest a MIDI length can say
    std::uint8_t buf[4];
    int n = 0;
    do {
        buf[n++] = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
    } while (v);
    while (n > 1)
        out.push_back(static_cast<std::uint8_t>(buf[--n] | 0x80));
    out.push_back(buf[0]);
}

void putBig32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> s));
}

void sortEvents(std::vector<Event>& events)
{
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.rank < b.rank;
    });
}

// The events of a track, sorted, as an MTrk chunk.
std::vector<std::uint8_t> trackChunk(const std::vector<Event>& events)
{
    std::vector<std::uint8_t> body;
    std::uint64_t tick = 0;
    for (const Event& e : events) {
        putVar(body, e.tick - tick);
        tick = e.tick;
        body.insert(body.end(), e.bytes.begin(), e.bytes.begin() + e.size);
    }
    body.insert(body.end(), {0x00, 0xFF, 0x2F, 0x00});
    std::vector<std::uint8_t> chunk{'M', 'T', 'r', 'k'};
    putBig32(chunk, static_cast<std::uint32_t>(body.size()));
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
}

} // namespace

std::span<const std::uint8_t> sseqData(std::span<const std::uint8_t> file, const std::string& label)
{
    if (file.size() < 0x1C || std::memcmp(file.data(), "SSEQ", 4) != 0)
        throw Error("\"" + label + "\" is not an SSEQ sequence");
    const std::uint64_t at = le32(file, 0x18); // 0x18 data offset
    if (at > file.size())
        throw Error("\"" + label + "\" has its sequence data past the end of the file");
    return file.subspan(static_cast<std::size_t>(at));
}

MidiConversion sequenceToMidi(std::span<const std::uint8_t> data, std::uint64_t start,
                              const std::string& label)
{
    if (start >= data.size())
        throw Error("\"" + label + "\" has no sequence data");
    MidiConversion out;
    std::vector<detail::OpenedTrack> opened{{0, start, 0}};
    std::vector<std::vector<std::uint8_t>> chunks;
    std::uint64_t budget = kMaxSequenceSteps; // shared by all tracks
    // Tracks opened while running are run in turn: at most kMaxTracks of them.
    for (std::size_t i = 0; i < opened.size(); ++i) {
        // A copy: running the track may open others, which moves `opened`.
        const detail::OpenedTrack track = opened[i];
        detail::TrackResult run = detail::runTrack(data, track, opened, budget);
        if (run.stop)
            out.stops.push_back("track " + std::to_string(track.track) + ": " + *run.stop);
        out.notes += run.notes;
        out.looped = out.looped || run.looped;
        sortEvents(run.events);
        chunks.push_back(trackChunk(run.events));
        out.events.push_back(std::move(run.events));
    }
    out.tracks = static_cast<int>(chunks.size());
    out.midi = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1};
    out.midi.push_back(static_cast<std::uint8_t>(out.tracks >> 8));
    out.midi.push_back(static_cast<std::uint8_t>(out.tracks));
    out.midi.push_back(static_cast<std::uint8_t>(kDivision >> 8));
    out.midi.push_back(static_cast<std::uint8_t>(kDivision));
    for (const auto& c : chunks)
        out.midi.insert(out.midi.end(), c.begin(), c.end());
    return out;
}

namespace {

std::string eventText(const MidiEvent& e)
{
    const auto b = [&e](std::size_t i) { return std::to_string(e.bytes[i]); };
    switch (e.bytes[0] & 0xF0) {
    case 0x80:
        return "note off " + b(1);
    case 0x90:
        return "note on " + b(1) + " velocity " + b(2);
    case 0xB0:
        return "controller " + b(1) + " = " + b(2);
    case 0xC0:
        return "program " + b(1);
    case 0xE0:
        return "pitch bend " + std::to_string((e.bytes[1] | (e.bytes[2] << 7)) - 8192);
    default:
        break;
    }
    if (e.bytes[1] == 0x51) {
        const std::uint32_t us = (e.bytes[3] << 16) | (e.bytes[4] << 8) | e.bytes[5];
        return "tempo " + std::to_string(us ? 60000000 / us : 0) + " bpm";
    }
    if (e.bytes[1] == 0x06)
        return "marker " + std::string(e.bytes.begin() + 3, e.bytes.begin() + e.size);
    return "event";
}

} // namespace

std::string sequenceText(const MidiConversion& conversion, std::size_t maxEvents)
{
    std::string text;
    std::size_t shown = 0, total = 0;
    for (std::size_t t = 0; t < conversion.events.size(); ++t) {
        const auto& events = conversion.events[t];
        total += events.size();
        text += "track " + std::to_string(t) + ": " + std::to_string(events.size()) +
                (events.size() == 1 ? " event\n" : " events\n");
        for (const MidiEvent& e : events) {
            if (shown == maxEvents)
                break;
            ++shown;
            char tick[32];
            std::snprintf(tick, sizeof tick, "%8llu  ", static_cast<unsigned long long>(e.tick));
            text += tick + eventText(e) + '\n';
        }
    }
    if (shown < total)
        text += "… " + std::to_string(total - shown) + " more events\n";
    return text;
}

} // namespace cartscope::core
