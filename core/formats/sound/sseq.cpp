// Sequence commands: 0x00-0x7F a note (velocity, length), 0x80 rest, 0x81 program, 0x93 open
// track (number, 24-bit offset), 0x94 jump, 0x95 call, 0xA0 random / 0xA1 variable / 0xA2
// conditional prefixes, 0xB0-0xBD variable operations, 0xC0-0xD6 one-byte settings (pan,
// volume, transpose, pitch bend, bend range, note-wait mode, loop start...), 0xE0-0xE3 16-bit
// settings (tempo at 0xE1), 0xFC loop end, 0xFD return, 0xFE track mask, 0xFF end.
//
// The image drives every loop here: each track runs at most kMaxSequenceSteps commands, calls
// nest at most kMaxCallDepth deep, counted loops kMaxLoopDepth, at most 16 tracks are opened,
// and a read past the data ends the track.
#include "core/formats/sound/sseq.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "core/base/error.h"
#include "core/base/le.h"

namespace cartscope::core {

namespace {

constexpr int kMaxCallDepth = 3;
constexpr int kMaxLoopDepth = 3;
constexpr int kMaxTracks = 16;
constexpr std::uint16_t kDivision = 48;

enum class Arg { U8, S8, U16, S16, Var, U24 };
enum class Prefix { None, Random, Variable };

using Event = MidiEvent;

struct Reader {
    std::span<const std::uint8_t> data;
    std::uint64_t pos = 0;
    bool ended = false; // a read ran past the data

    std::uint32_t byte()
    {
        if (pos >= data.size()) {
            ended = true;
            return 0;
        }
        return data[static_cast<std::size_t>(pos++)];
    }
    std::int64_t arg(Arg a)
    {
        switch (a) {
        case Arg::U8:
            return byte();
        case Arg::S8:
            return static_cast<std::int8_t>(byte());
        case Arg::U16:
            return byte() | (byte() << 8);
        case Arg::S16:
            return static_cast<std::int16_t>(byte() | (byte() << 8));
        case Arg::U24:
            return byte() | (byte() << 8) | (byte() << 16);
        case Arg::Var: {
            std::uint32_t v = 0;
            // At most four bytes, as the console reads it.
            for (int i = 0; i < 4; ++i) {
                const std::uint32_t b = byte();
                v = (v << 7) | (b & 0x7F);
                if (!(b & 0x80))
                    break;
            }
            return v;
        }
        }
        return 0;
    }
    // The last argument of a prefixed command: a random range (its low end is taken) or a
    // variable (unknown before playing: 0).
    std::int64_t last(Arg a, Prefix p)
    {
        if (p == Prefix::Random) {
            const std::int64_t low = arg(Arg::S16);
            arg(Arg::S16);
            return low;
        }
        if (p == Prefix::Variable) {
            byte();
            return 0;
        }
        return arg(a);
    }
};

struct Opened {
    int track;
    std::uint64_t offset;
    std::uint64_t tick;
};

class TrackRun {
public:
    TrackRun(std::span<const std::uint8_t> data, int track, std::uint64_t offset,
             std::uint64_t tick)
        : m_track(track), m_channel(static_cast<std::uint8_t>(track & 15)), m_tick(tick)
    {
        m_in.data = data;
        m_in.pos = offset;
    }

    // Runs the track; returns why it stopped early, or nothing at its end.
    std::optional<std::string> run(std::vector<Opened>& opened, std::uint64_t& budget)
    {
        for (; budget > 0; --budget) {
            if (m_calls.empty() && m_loops.empty())
                m_seen.emplace(m_in.pos, m_tick);
            const std::uint32_t cmd = m_in.byte();
            if (m_in.ended)
                return "it runs past the end of the sequence data";
            if (!command(cmd, Prefix::None, opened))
                return m_stop;
            if (m_in.ended)
                return "it runs past the end of the sequence data";
        }
        return "the sequence runs more than " + std::to_string(kMaxSequenceSteps) + " commands";
    }

    std::vector<Event> events;
    std::uint64_t notes = 0;
    bool looped = false;
    int track() const { return m_track; }

private:
    void add(int rank, std::initializer_list<std::uint8_t> bytes, std::uint64_t tick)
    {
        Event e{tick, rank, static_cast<std::uint8_t>(bytes.size()), {}};
        std::copy(bytes.begin(), bytes.end(), e.bytes.begin());
        events.push_back(e);
    }
    void control(std::uint8_t number, std::int64_t value)
    {
        add(1,
            {static_cast<std::uint8_t>(0xB0 | m_channel), number,
             static_cast<std::uint8_t>(std::clamp<std::int64_t>(value, 0, 127))},
            m_tick);
    }
    void marker(const char* text, std::uint64_t tick)
    {
        const std::size_t n = std::strlen(text); // at most 9
        Event e{
            tick, 1, static_cast<std::uint8_t>(3 + n), {0xFF, 0x06, static_cast<std::uint8_t>(n)}};
        std::copy(text, text + n, e.bytes.begin() + 3);
        events.push_back(e);
    }
    // A jump back to a place already played: the loop's body ran once.
    void closeLoop(std::uint64_t loopTick)
    {
        marker("loopStart", loopTick);
        marker("loopEnd", m_tick);
        looped = true;
    }

    // False when the track ends (m_stop says why, or nothing for a plain end).
    bool command(std::uint32_t cmd, Prefix prefix, std::vector<Opened>& opened)
    {
        if (cmd < 0x80)
            return note(cmd, prefix);
        if (cmd == 0xA0 || cmd == 0xA1) {
            const std::uint32_t inner = m_in.byte();
            if (inner == 0xA0 || inner == 0xA1 || inner == 0xA2)
                return stop("a prefix follows a prefix");
            return command(inner, cmd == 0xA0 ? Prefix::Random : Prefix::Variable, opened);
        }
        if (cmd == 0xA2)
            return true; // the condition is only known while playing: the command is taken
        if (cmd >= 0xB0 && cmd <= 0xBD) {
            m_in.arg(Arg::U8); // variable operations: nothing to hear
            m_in.last(Arg::S16, prefix);
            return true;
        }
        if (cmd >= 0xC0 && cmd <= 0xD6)
            return setting(cmd, prefix);
        if (cmd >= 0xE0 && cmd <= 0xE3)
            return wideSetting(cmd, prefix);
        if (const std::optional<bool> go = flow(cmd, prefix, opened))
            return *go;
        return stop("it holds an unknown command " + std::to_string(cmd));
    }

    bool note(std::uint32_t cmd, Prefix prefix)
    {
        const std::int64_t velocity = m_in.arg(Arg::U8);
        const std::int64_t length = m_in.last(Arg::Var, prefix);
        const auto key = static_cast<std::uint8_t>(
            std::clamp<std::int64_t>(static_cast<std::int64_t>(cmd) + m_transpose, 0, 127));
        const auto vel = static_cast<std::uint8_t>(std::clamp<std::int64_t>(velocity, 1, 127));
        if (length > 0) {
            add(2, {static_cast<std::uint8_t>(0x90 | m_channel), key, vel}, m_tick);
            add(0, {static_cast<std::uint8_t>(0x80 | m_channel), key, 0},
                m_tick + static_cast<std::uint64_t>(length));
            ++notes;
        }
        if (m_noteWait)
            m_tick += static_cast<std::uint64_t>(length);
        return true;
    }

    // Rests, program changes, opened tracks, jumps, calls, loops and the end; nothing for a
    // command that is none of these.
    std::optional<bool> flow(std::uint32_t cmd, Prefix prefix, std::vector<Opened>& opened)
    {
        switch (cmd) {
        case 0x80:
            m_tick += static_cast<std::uint64_t>(m_in.last(Arg::Var, prefix));
            return true;
        case 0x81: {
            const std::int64_t v = m_in.last(Arg::Var, prefix);
            control(0x00, (v >> 7) & 0x7F);
            add(1,
                {static_cast<std::uint8_t>(0xC0 | m_channel), static_cast<std::uint8_t>(v & 0x7F)},
                m_tick);
            return true;
        }
        case 0x93:
            openTrack(opened);
            return true;
        case 0x94:
            return jump();
        case 0x95:
            call();
            return true;
        case 0xFD:
            if (!m_calls.empty()) {
                m_in.pos = m_calls.back();
                m_calls.pop_back();
            }
            return true;
        case 0xFC:
            return loopEnd();
        case 0xFE:
            m_in.last(Arg::U16, prefix); // the track mask: the tracks opened say it again
            return true;
        case 0xFF:
            return false;
        default:
            return std::nullopt;
        }
    }

    void openTrack(std::vector<Opened>& opened)
    {
        const auto track = static_cast<int>(m_in.arg(Arg::U8));
        const auto offset = static_cast<std::uint64_t>(m_in.arg(Arg::U24));
        if (track < kMaxTracks &&
            std::none_of(opened.begin(), opened.end(),
                         [track](const Opened& o) { return o.track == track; }))
            opened.push_back({track, offset, m_tick});
    }

    bool jump()
    {
        const auto target = static_cast<std::uint64_t>(m_in.arg(Arg::U24));
        if (const auto seen = m_seen.find(target); seen != m_seen.end()) {
            closeLoop(seen->second);
            return false;
        }
        m_in.pos = target;
        return true;
    }

    void call()
    {
        const auto target = static_cast<std::uint64_t>(m_in.arg(Arg::U24));
        if (static_cast<int>(m_calls.size()) >= kMaxCallDepth)
            return; // the console ignores a call past its stack
        m_calls.push_back(m_in.pos);
        m_in.pos = target;
    }

    bool loopEnd()
    {
        if (m_loops.empty())
            return true;
        Loop& loop = m_loops.back();
        if (loop.count == 0) {
            closeLoop(loop.tick); // an endless loop: its body once
            return false;
        }
        if (--loop.count > 0) {
            m_in.pos = loop.body;
            return true;
        }
        m_loops.pop_back();
        return true;
    }

    // 0xC0-0xD6: one-byte settings (pan, volume, transpose, bend, loop start...).
    bool setting(std::uint32_t cmd, Prefix prefix)
    {
        switch (cmd) {
        case 0xC0:
            control(10, m_in.last(Arg::U8, prefix));
            break;
        case 0xC1:
            control(7, m_in.last(Arg::U8, prefix));
            break;
        case 0xC3:
            m_transpose = m_in.last(Arg::S8, prefix);
            break;
        case 0xC4: {
            const std::int64_t v =
                std::clamp<std::int64_t>(8192 + m_in.last(Arg::S8, prefix) * 64, 0, 16383);
            add(1,
                {static_cast<std::uint8_t>(0xE0 | m_channel), static_cast<std::uint8_t>(v & 0x7F),
                 static_cast<std::uint8_t>(v >> 7)},
                m_tick);
            break;
        }
        case 0xC5:
            control(101, 0);
            control(100, 0);
            control(6, m_in.last(Arg::U8, prefix));
            break;
        case 0xC7:
            m_noteWait = m_in.last(Arg::U8, prefix) != 0;
            break;
        case 0xCA:
            control(1, m_in.last(Arg::U8, prefix));
            break;
        case 0xD5:
            control(11, m_in.last(Arg::U8, prefix));
            break;
        case 0xD4: {
            const std::int64_t count = m_in.last(Arg::U8, prefix);
            if (static_cast<int>(m_loops.size()) < kMaxLoopDepth)
                m_loops.push_back({m_in.pos, m_tick, count});
            break;
        }
        default:
            m_in.last(Arg::U8, prefix); // settings with no MIDI counterpart
            break;
        }
        return true;
    }

    // 0xE0-0xE3: 16-bit settings; the tempo (0xE1) is the one MIDI has.
    bool wideSetting(std::uint32_t cmd, Prefix prefix)
    {
        if (cmd != 0xE1) {
            m_in.last(cmd == 0xE3 ? Arg::S16 : Arg::U16, prefix);
            return true;
        }
        const std::int64_t bpm = m_in.last(Arg::U16, prefix);
        if (bpm > 0) {
            const auto us = static_cast<std::uint32_t>(60000000 / bpm);
            add(1,
                {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(us >> 16),
                 static_cast<std::uint8_t>(us >> 8), static_cast<std::uint8_t>(us)},
                m_tick);
        }
        return true;
    }

    bool stop(std::string why)
    {
        m_stop = std::move(why);
        return false;
    }

    struct Loop {
        std::uint64_t body;
        std::uint64_t tick;
        std::int64_t count;
    };

    Reader m_in;
    int m_track;
    std::uint8_t m_channel;
    std::uint64_t m_tick;
    std::int64_t m_transpose = 0;
    bool m_noteWait = true;
    std::vector<std::uint64_t> m_calls;
    std::vector<Loop> m_loops;
    std::map<std::uint64_t, std::uint64_t> m_seen; // command offset -> first tick played
    std::optional<std::string> m_stop;
};

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
    std::vector<Opened> opened{{0, start, 0}};
    std::vector<std::vector<std::uint8_t>> chunks;
    std::uint64_t budget = kMaxSequenceSteps; // shared by all tracks
    // Tracks opened while running are run in turn: at most kMaxTracks of them.
    for (std::size_t i = 0; i < opened.size(); ++i) {
        TrackRun run(data, opened[i].track, opened[i].offset, opened[i].tick);
        if (const auto why = run.run(opened, budget))
            out.stops.push_back("track " + std::to_string(run.track()) + ": " + *why);
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
