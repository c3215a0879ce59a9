#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/checksum/crc32.h"
#include "core/rebuild/bps.h"
#include "core/rebuild/bps_stream.h"
#include "core/rebuild/trim_pad.h"

// Making a BPS patch: unchanged bytes at the same offset as source reads, runs of one byte as
// target copies, blocks found elsewhere in the source (a rolling hash over an index of the
// source's blocks) as source copies, everything else as new bytes.
namespace cartscope::core {

namespace {

using namespace bps;

// A window of a stream that follows the positions asked for: a megabyte is read at a time,
// starting a little before the position so short steps back stay inside.
class Window {
public:
    explicit Window(const Stream& stream) : m_stream(stream), m_size(stream.size()) {}

    std::uint8_t at(std::uint64_t position)
    {
        if (position - m_start >= m_length || position < m_start)
            refill(position);
        return m_buffer[static_cast<std::size_t>(position - m_start)];
    }

private:
    void refill(std::uint64_t position)
    {
        m_start = position > kBack ? position - kBack : 0;
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(m_buffer.size(), m_size - m_start));
        readExactAt(m_stream, m_start, std::span(m_buffer).first(want));
        m_length = want;
    }

    static constexpr std::uint64_t kBack = 64 * 1024;
    const Stream& m_stream;
    std::uint64_t m_size;
    std::vector<std::uint8_t> m_buffer = std::vector<std::uint8_t>(kBlock);
    std::uint64_t m_start = 0;
    std::uint64_t m_length = 0;
};

// The patch as written, with its running CRC-32.
class PatchWriter {
public:
    explicit PatchWriter(OutputFile& out) : m_out(out) { m_buffer.reserve(kBuffer); }

    void bytes(std::span<const std::uint8_t> b)
    {
        m_crc = crc32::crc32Of(b, m_crc);
        if (m_buffer.size() + b.size() > kBuffer)
            flush();
        if (b.size() >= kBuffer)
            m_out.write(b);
        else
            m_buffer.insert(m_buffer.end(), b.begin(), b.end());
    }
    void number(std::uint64_t value)
    {
        std::array<std::uint8_t, 10> b{};
        std::size_t n = 0;
        // Bounded: a 64-bit number takes at most ten bytes.
        while (true) {
            const auto part = static_cast<std::uint8_t>(value & 0x7FU);
            value >>= 7;
            if (value == 0) {
                b[n++] = static_cast<std::uint8_t>(0x80U | part);
                break;
            }
            b[n++] = part;
            --value;
        }
        bytes(std::span(b).first(n));
    }
    void word(std::uint32_t value)
    {
        std::array<std::uint8_t, 4> b{};
        putLe32(b, 0, value);
        bytes(b);
    }
    std::uint32_t crc() const { return m_crc; }
    void flush()
    {
        m_out.write(m_buffer);
        m_buffer.clear();
    }

private:
    static constexpr std::size_t kBuffer = 256 * 1024;
    OutputFile& m_out;
    std::vector<std::uint8_t> m_buffer;
    std::uint32_t m_crc = 0;
};

constexpr std::uint64_t kHashBase = 0x100000001B3ULL;
constexpr std::uint64_t kCheckMask = 0xFFFFFFFF00000000ULL;
constexpr std::size_t kMinBlock = 32;
constexpr std::size_t kMaxIndexBlocks = std::size_t{1} << 21;
// A run of one repeated byte at least this long becomes a TargetCopy.
constexpr std::uint64_t kMinRepeat = 32;
// A same-offset match at least this long becomes a SourceRead.
constexpr std::uint64_t kMinSourceRead = 8;
// New bytes are written as one TargetRead at most this long.
constexpr std::uint64_t kMaxLiteral = std::uint64_t{1} << 24;

class Encoder {
public:
    Encoder(const Stream& source, const Stream& target, PatchWriter& out,
            const Checkpoint& checkpoint)
        : m_source(source), m_target(target), m_out(out), m_checkpoint(checkpoint),
          m_sourceSize(source.size()), m_targetSize(target.size()), m_same(source), m_copy(source),
          m_new(target), m_ahead(target)
    {}

    // Indexes the source and returns its CRC-32 (from the same read).
    std::uint32_t indexSource()
    {
        m_blockSize = kMinBlock;
        while (m_sourceSize / m_blockSize > kMaxIndexBlocks)
            m_blockSize *= 2;
        const std::uint64_t blocks = m_sourceSize / m_blockSize;
        m_slots.assign(std::bit_ceil(std::max<std::size_t>(2 * blocks, 1024)), 0);
        m_power = 1;
        for (std::size_t i = 1; i < m_blockSize; ++i)
            m_power *= kHashBase;

        std::vector<std::uint8_t> chunk(kBlock); // a whole number of blocks
        std::uint32_t crc = 0;
        // Bounded by the size: each pass reads one chunk.
        for (std::uint64_t at = 0; at < m_sourceSize;) {
            if (m_checkpoint)
                m_checkpoint();
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, m_sourceSize - at));
            readExactAt(m_source, at, std::span(chunk).first(want));
            crc = crc32::crc32Of(std::span(chunk).first(want), crc);
            for (std::size_t b = 0; b + m_blockSize <= want; b += m_blockSize) {
                std::uint64_t h = 0;
                for (std::size_t i = 0; i < m_blockSize; ++i)
                    h = h * kHashBase + chunk[b + i];
                insert(h, (at + b) / m_blockSize);
            }
            at += want;
        }
        return crc;
    }

    void encode()
    {
        std::uint64_t t = 0;
        m_hashValid = false;
        // Bounded: every pass moves t on by at least one byte.
        while (t < m_targetSize) {
            if ((t & 0xFFFFU) == 0 && m_checkpoint)
                m_checkpoint();
            if (const auto next = match(t)) {
                t = *next;
                m_literalStart = t;
                m_hashValid = false;
                continue;
            }
            // A new byte.
            if (m_hashValid && t + m_blockSize < m_targetSize)
                m_hash = (m_hash - m_power * m_new.at(t)) * kHashBase + m_ahead.at(t + m_blockSize);
            else
                m_hashValid = false;
            ++t;
            if (t - m_literalStart >= kMaxLiteral)
                flushLiteral(t);
        }
        flushLiteral(t);
    }

private:
    // The action that covers the bytes from t, when one beats new bytes: unchanged bytes at the
    // same offset, a run repeating the byte before it, or the block from t found in the source.
    // Returns where the scan goes on.
    std::optional<std::uint64_t> match(std::uint64_t t)
    {
        if (sameRun(t, kMinSourceRead) >= kMinSourceRead) {
            flushLiteral(t);
            const std::uint64_t length = sameRun(t, UINT64_MAX);
            emit(SourceRead, length);
            return t + length;
        }
        if (t > 0 && repeatRun(t, kMinRepeat) >= kMinRepeat) {
            flushLiteral(t);
            const std::uint64_t length = repeatRun(t, UINT64_MAX);
            emitTargetCopy(t - 1, length);
            return t + length;
        }
        if (t + m_blockSize > m_targetSize || m_slots.empty())
            return std::nullopt;
        if (!m_hashValid) {
            m_hash = 0;
            for (std::size_t i = 0; i < m_blockSize; ++i)
                m_hash = m_hash * kHashBase + m_new.at(t + i);
            m_hashValid = true;
        }
        const auto found = lookup(m_hash, t);
        if (!found)
            return std::nullopt;
        return copyFromSource(t, *found);
    }

    // The block at t equals the source's at s: grown back into the new bytes not yet written
    // and forward as far as both agree, then written as one read or copy.
    std::uint64_t copyFromSource(std::uint64_t t, std::uint64_t s)
    {
        std::uint64_t start = t;
        while (start > m_literalStart && s > 0 && m_new.at(start - 1) == m_copy.at(s - 1)) {
            --start;
            --s;
        }
        std::uint64_t length = t - start + m_blockSize;
        while (start + length < m_targetSize && s + length < m_sourceSize &&
               m_new.at(start + length) == m_copy.at(s + length))
            ++length;
        flushLiteral(start);
        if (s == start)
            emit(SourceRead, length);
        else
            emitSourceCopy(s, length);
        return start + length;
    }

    void insert(std::uint64_t hash, std::uint64_t block)
    {
        const std::size_t mask = m_slots.size() - 1;
        // Bounded probing: a crowded neighbourhood drops the block (it is only a hint).
        for (std::size_t probe = 0; probe < 8; ++probe) {
            auto& slot = m_slots[(hash + probe) & mask];
            if (slot == 0) {
                slot = (hash & kCheckMask) | (block + 1);
                return;
            }
        }
    }

    std::optional<std::uint64_t> lookup(std::uint64_t hash, std::uint64_t t)
    {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t probe = 0; probe < 8; ++probe) {
            const std::uint64_t slot = m_slots[(hash + probe) & mask];
            if (slot == 0)
                return std::nullopt;
            // The hash's high half tells most strangers apart without reading the source.
            if ((slot & kCheckMask) != (hash & kCheckMask))
                continue;
            const std::uint64_t s = ((slot & ~kCheckMask) - 1) * m_blockSize;
            bool equal = true;
            for (std::size_t i = 0; equal && i < m_blockSize; ++i)
                equal = m_new.at(t + i) == m_copy.at(s + i);
            if (equal)
                return s;
        }
        return std::nullopt;
    }

    // How many bytes from t equal the source's at the same offset, counting up to `most`.
    std::uint64_t sameRun(std::uint64_t t, std::uint64_t most)
    {
        std::uint64_t n = 0;
        while (n < most && t + n < m_targetSize && t + n < m_sourceSize &&
               m_new.at(t + n) == m_same.at(t + n))
            ++n;
        return n;
    }

    // How many bytes from t repeat the byte before t, counting up to `most`.
    std::uint64_t repeatRun(std::uint64_t t, std::uint64_t most)
    {
        const std::uint8_t value = m_new.at(t - 1);
        std::uint64_t n = 0;
        while (n < most && t + n < m_targetSize && m_ahead.at(t + n) == value)
            ++n;
        return n;
    }

    void emit(Action action, std::uint64_t length) { m_out.number(((length - 1) << 2) | action); }

    void emitSourceCopy(std::uint64_t from, std::uint64_t length)
    {
        emit(SourceCopy, length);
        m_out.number(relative(m_sourceRelative, from));
        m_sourceRelative = from + length;
    }

    void emitTargetCopy(std::uint64_t from, std::uint64_t length)
    {
        emit(TargetCopy, length);
        m_out.number(relative(m_targetRelative, from));
        m_targetRelative = from + length;
    }

    static std::uint64_t relative(std::uint64_t from, std::uint64_t to)
    {
        return to >= from ? (to - from) << 1 : ((from - to) << 1) | 1U;
    }

    // The new bytes from m_literalStart up to `end`, as one TargetRead.
    void flushLiteral(std::uint64_t end)
    {
        if (end <= m_literalStart)
            return;
        emit(TargetRead, end - m_literalStart);
        std::vector<std::uint8_t> block(
            static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end - m_literalStart)));
        // Bounded by the literal's length.
        for (std::uint64_t at = m_literalStart; at < end;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), end - at));
            readExactAt(m_target, at, std::span(block).first(n));
            m_out.bytes(std::span(block).first(n));
            at += n;
        }
        m_literalStart = end;
    }

    const Stream& m_source;
    const Stream& m_target;
    PatchWriter& m_out;
    const Checkpoint& m_checkpoint;
    std::uint64_t m_sourceSize;
    std::uint64_t m_targetSize;
    Window m_same;  // the source at the target's offset
    Window m_copy;  // the source where a match lies
    Window m_new;   // the target at the scan
    Window m_ahead; // the target a block ahead
    std::size_t m_blockSize = kMinBlock;
    std::uint64_t m_power = 1; // kHashBase^(block size - 1)
    // Each slot: the hash's high 32 bits, and the block's number plus one (0: empty).
    std::vector<std::uint64_t> m_slots;
    std::uint64_t m_literalStart = 0;
    bool m_hashValid = false;
    std::uint64_t m_hash = 0; // of the block at the scan, while valid
    std::uint64_t m_sourceRelative = 0;
    std::uint64_t m_targetRelative = 0;
};

} // namespace

void writeBps(const Stream& source, const Stream& target, OutputFile& out,
              const Checkpoint& checkpoint)
{
    if (source.size() > kMaxWrittenImageSize || target.size() > kMaxWrittenImageSize)
        throw Error("Patches are made between images of at most " +
                    std::to_string(kMaxWrittenImageSize) + " bytes");
    PatchWriter writer(out);
    writer.bytes(kBpsMagic);
    writer.number(source.size());
    writer.number(target.size());
    writer.number(0); // no metadata
    Encoder encoder(source, target, writer, checkpoint);
    const std::uint32_t sourceCrc = encoder.indexSource();
    encoder.encode();
    writer.word(sourceCrc);
    writer.word(crcOfStream(target, checkpoint));
    writer.word(writer.crc());
    writer.flush();
}

} // namespace cartscope::core
