// Sequence commands: 0x00-0x7F a note (velocity, length), 0x80 rest, 0x81 program, 0x93 open
// track (number, 24-bit offset), 0x94 jump, 0x95 call, 0xA0 random / 0xA1 variable / 0xA2
// conditional prefixes, 0xB0-0xBD variable operations, 0xC0-0xD6 one-byte settings (pan,
// volume, transpose, pitch bend, bend range, note-wait mode, loop start...), 0xE0-0xE3 16-bit
// settings (tempo at 0xE1), 0xFC loop end, 0xFD return, 0xFE track mask, 0xFF end.
//
// The image drives every loop here: each track runs at most kMaxSequenceSteps commands, calls
// nest at most kMaxCallDepth deep, counted loops kMaxLoopDepth, at most 16 tracks are opened,
// and a read past the data ends the track.
#include "core/formats/sound/sseq_track.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace cartscope::core::detail {

namespace {

constexpr int kMaxCallDepth = 3;
constexpr int kMaxLoopDepth = 3;
constexpr int kMaxTracks = 16;

enum class Arg { U8, S8, U16, S16, Var, U24 };
enum class Prefix { None, Random, Variable };

using Event = MidiEvent;
using Opened = OpenedTrack;

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

class TrackRun {
public:
    TrackRun(std::span<const std::uint8_t> data, int track, std::uint64_t offset,
             std::uint64_t tick)
        : m_channel(static_cast<std::uint8_t>(track & 15)), m_tick(tick)
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
    std::uint8_t m_channel;
    std::uint64_t m_tick;
    std::int64_t m_transpose = 0;
    bool m_noteWait = true;
    std::vector<std::uint64_t> m_calls;
    std::vector<Loop> m_loops;
    std::map<std::uint64_t, std::uint64_t> m_seen; // command offset -> first tick played
    std::optional<std::string> m_stop;
};

} // namespace

TrackResult runTrack(std::span<const std::uint8_t> data, const OpenedTrack& start,
                     std::vector<OpenedTrack>& opened, std::uint64_t& budget)
{
    TrackRun run(data, start.track, start.offset, start.tick);
    TrackResult result;
    result.stop = run.run(opened, budget);
    result.events = std::move(run.events);
    result.notes = run.notes;
    result.looped = run.looped;
    return result;
}

} // namespace cartscope::core::detail
