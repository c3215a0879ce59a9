#include "core/rebuild/bps.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/le.h"
#include "core/checksum/crc32.h"
#include "core/rebuild/bps_stream.h"
#include "core/rebuild/trim_pad.h"

namespace cartscope::core {

namespace bps {

std::uint32_t crcOfStream(const Stream& stream, const Checkpoint& checkpoint)
{
    std::vector<std::uint8_t> block(kBlock);
    std::uint32_t crc = 0;
    const std::uint64_t size = stream.size();
    // Bounded by the size: each pass moves on by a block or throws.
    for (std::uint64_t at = 0; at < size;) {
        if (checkpoint)
            checkpoint();
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - at));
        readExactAt(stream, at, std::span(block).first(want));
        crc = crc32::crc32Of(std::span(block).first(want), crc);
        at += want;
    }
    return crc;
}

void readExactAt(const Stream& stream, std::uint64_t at, std::span<std::uint8_t> out)
{
    if (stream.pread(at, out) != out.size())
        throw Error(kStreamReadError);
}

} // namespace bps

namespace {

using namespace bps;

Error malformed(const std::string& why)
{
    return Error("The BPS patch is damaged: " + why);
}

// The patch's bytes before its footer, read from the front.
class PatchReader {
public:
    explicit PatchReader(std::span<const std::uint8_t> body) : m_body(body) {}

    bool done() const { return m_at == m_body.size(); }

    // BPS numbers: seven bits a byte, low first, the top bit ending the number, each
    // continuation adding the next power (so every number has one encoding).
    std::uint64_t number()
    {
        std::uint64_t value = 0;
        std::uint64_t shift = 1;
        // Bounded: at most ten bytes make a 64-bit number; more is refused.
        for (int i = 0;; ++i) {
            if (m_at == m_body.size())
                throw malformed("a number runs past the end of the actions");
            const std::uint8_t byte = m_body[m_at++];
            const std::uint64_t part = (byte & 0x7FU) * shift;
            if (i >= 9 || (shift != 0 && part / shift != (byte & 0x7FU)) ||
                value > UINT64_MAX - part)
                throw malformed("a number is too large");
            value += part;
            if (byte & 0x80U)
                return value;
            if (shift > (UINT64_MAX >> 7))
                throw malformed("a number is too large");
            shift <<= 7;
            if (value > UINT64_MAX - shift)
                throw malformed("a number is too large");
            value += shift;
        }
    }

    std::span<const std::uint8_t> bytes(std::uint64_t length)
    {
        if (length > m_body.size() - m_at)
            throw malformed("new bytes run past the end of the actions");
        const auto out = m_body.subspan(m_at, static_cast<std::size_t>(length));
        m_at += static_cast<std::size_t>(length);
        return out;
    }

private:
    std::span<const std::uint8_t> m_body;
    std::size_t m_at = 0;
};

// A relative offset: the low bit the sign, the rest the magnitude. The new position must lie
// in [0, limit).
std::uint64_t moved(std::uint64_t position, std::uint64_t encoded, std::uint64_t limit,
                    const char* what)
{
    const std::uint64_t magnitude = encoded >> 1;
    const bool back = (encoded & 1U) != 0;
    if (back ? magnitude > position : magnitude >= limit || position >= limit - magnitude)
        throw malformed(std::string("a copy starts outside the ") + what);
    return back ? position - magnitude : position + magnitude;
}

// The patch's header and footer, checked against the source before any action runs.
struct PatchFrame {
    std::uint64_t sourceSize = 0;
    std::uint64_t targetSize = 0;
    std::uint32_t targetCrc = 0;
};

PatchFrame checkFrame(std::span<const std::uint8_t> patch, PatchReader& in, const Stream& source,
                      const Checkpoint& checkpoint)
{
    const auto footer = patch.last(kFooterSize);
    const std::uint32_t sourceCrc = le32(footer, 0);
    if (crc32::crc32Of(patch.first(patch.size() - 4)) != le32(footer, 8))
        throw malformed("its CRC-32 is wrong");
    PatchFrame frame;
    frame.targetCrc = le32(footer, 4);
    frame.sourceSize = in.number();
    frame.targetSize = in.number();
    in.bytes(in.number()); // metadata, not used
    if (frame.sourceSize != source.size())
        throw Error("The patch is for an image of " + std::to_string(frame.sourceSize) +
                    " bytes; this one has " + std::to_string(source.size()));
    const std::uint64_t limit = bpsTargetLimit(frame.sourceSize, patch.size());
    if (frame.targetSize > limit)
        throw Error("The patch makes an image of " + std::to_string(frame.targetSize) +
                    " bytes, more than the " + std::to_string(limit) +
                    " allowed for this image and patch");
    const std::uint32_t haveCrc = crcOfStream(source, checkpoint);
    if (haveCrc != sourceCrc)
        throw Error("The patch is for another image (CRC-32 " + hex8(sourceCrc) +
                    "; this one has " + hex8(haveCrc) + ")");
    return frame;
}

// The target made action by action; every length and position checked before it is used.
class Applier {
public:
    Applier(PatchReader& in, const Stream& source, const PatchFrame& frame)
        : m_in(in), m_source(source), m_frame(frame)
    {}

    void action()
    {
        const std::uint64_t data = m_in.number();
        const std::uint64_t length = (data >> 2) + 1;
        const std::uint64_t at = m_target.size();
        if (length > m_frame.targetSize - at)
            throw malformed("an action runs past the end of the target");
        const auto end = static_cast<std::size_t>(at + length);
        // Memory grows as written: at least doubled, never past the target size.
        if (end > m_target.capacity())
            m_target.reserve(static_cast<std::size_t>(
                std::min<std::uint64_t>(m_frame.targetSize, std::max<std::uint64_t>(end, 2 * at))));
        switch (data & 3U) {
        case SourceRead:
            if (at > m_frame.sourceSize || length > m_frame.sourceSize - at)
                throw malformed("a source read runs past the end of the source");
            fromSource(at, end);
            break;
        case TargetRead: {
            const auto bytes = m_in.bytes(length);
            m_target.insert(m_target.end(), bytes.begin(), bytes.end());
            break;
        }
        case SourceCopy:
            m_sourceRelative = moved(m_sourceRelative, m_in.number(), m_frame.sourceSize, "source");
            if (length > m_frame.sourceSize - m_sourceRelative)
                throw malformed("a source copy runs past the end of the source");
            fromSource(m_sourceRelative, end);
            m_sourceRelative += length;
            break;
        case TargetCopy:
            m_targetRelative = moved(m_targetRelative, m_in.number(), at, "target written so far");
            fromTarget(end);
            m_targetRelative += length;
            break;
        }
    }

    std::vector<std::uint8_t> finish()
    {
        if (m_target.size() != m_frame.targetSize)
            throw malformed("the actions end before the target is complete");
        const std::uint32_t madeCrc = crc32::crc32Of(m_target);
        if (madeCrc != m_frame.targetCrc)
            throw Error("The patched image's CRC-32 is " + hex8(madeCrc) + ", not the " +
                        hex8(m_frame.targetCrc) + " the patch promises");
        return std::move(m_target);
    }

private:
    // The source's bytes from `from` up to the target's new end.
    void fromSource(std::uint64_t from, std::size_t end)
    {
        const std::size_t at = m_target.size();
        m_target.resize(end);
        readExactAt(m_source, from, std::span(m_target).subspan(at));
    }

    // The copy may overlap what it writes (a run of repeated bytes): the bytes from the relative
    // position repeat with the period at - position, so each piece copies what is already there
    // and the pieces double.
    void fromTarget(std::size_t end)
    {
        std::uint64_t to = m_target.size();
        m_target.resize(end);
        // Bounded: each piece is at least one byte, and they double.
        while (to < end) {
            const std::uint64_t piece = std::min<std::uint64_t>(to - m_targetRelative, end - to);
            std::memcpy(m_target.data() + to, m_target.data() + m_targetRelative, piece);
            to += piece;
        }
    }

    PatchReader& m_in;
    const Stream& m_source;
    const PatchFrame& m_frame;
    std::vector<std::uint8_t> m_target;
    std::uint64_t m_sourceRelative = 0;
    std::uint64_t m_targetRelative = 0;
};

} // namespace

std::uint64_t bpsTargetLimit(std::uint64_t sourceSize, std::uint64_t patchSize)
{
    // Each term is below 2^40 for the sizes accepted (source and patch at most 4 GiB).
    const std::uint64_t byRatio = 4 * std::min(sourceSize, kMaxWrittenImageSize) +
                                  64 * std::min(patchSize, kMaxWrittenImageSize) +
                                  (std::uint64_t{64} << 20);
    return std::min(byRatio, kMaxWrittenImageSize);
}

std::vector<std::uint8_t> applyBps(std::span<const std::uint8_t> patch, const Stream& source,
                                   const Checkpoint& checkpoint)
{
    if (patch.size() < kBpsMagic.size() + kFooterSize ||
        !std::equal(kBpsMagic.begin(), kBpsMagic.end(), patch.begin()))
        throw Error("Not a BPS patch");
    PatchReader in(patch.subspan(kBpsMagic.size(), patch.size() - kBpsMagic.size() - kFooterSize));
    const PatchFrame frame = checkFrame(patch, in, source, checkpoint);
    Applier applier(in, source, frame);
    // Bounded by the actions' bytes: every action reads at least one.
    while (!in.done()) {
        if (checkpoint)
            checkpoint();
        applier.action();
    }
    return applier.finish();
}

} // namespace cartscope::core
