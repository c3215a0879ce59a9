#include "core/formats/identify.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace cartscope::core::formats {

namespace {

struct Magic {
    std::string_view bytes; // as stored at the start of the file
    std::string_view name;
};

// The Nitro containers store their magic reversed ("RGCN" for NCGR); the sound archive, the
// 3D files and NARC store theirs as read.
constexpr std::array kMagics{
    Magic{"RLCN", "NCLR"},    Magic{"RGCN", "NCGR"},  Magic{"RCSN", "NSCR"},
    Magic{"RECN", "NCER"},    Magic{"RNAN", "NANR"},  Magic{"RTFN", "NFTR"},
    Magic{"RCMN", "NMCR"},    Magic{"RAMN", "NMAR"},  Magic{"NARC", "NARC"},
    Magic{"MESGbmg1", "BMG"}, Magic{"SDAT", "SDAT"},  Magic{"SSEQ", "SSEQ"},
    Magic{"SBNK", "SBNK"},    Magic{"SWAR", "SWAR"},  Magic{"SSAR", "SSAR"},
    Magic{"STRM", "STRM"},    Magic{"BMD0", "NSBMD"}, Magic{"BTX0", "NSBTX"},
    Magic{"BCA0", "NSBCA"},   Magic{"BTP0", "NSBTP"}, Magic{"BTA0", "NSBTA"},
    Magic{"BMA0", "NSBMA"},   Magic{"BVA0", "NSBVA"},
};

} // namespace

std::optional<std::string> formatByMagic(std::span<const std::uint8_t> head)
{
    for (const Magic& m : kMagics)
        if (head.size() >= m.bytes.size() &&
            std::memcmp(head.data(), m.bytes.data(), m.bytes.size()) == 0)
            return std::string(m.name);
    return std::nullopt;
}

FileFormat identify(std::span<const std::uint8_t> head, std::uint64_t fileSize)
{
    head = head.first(std::min(head.size(), kIdentifyBytes));
    FileFormat f;
    f.format = formatByMagic(head);
    if (f.format)
        return f;
    if (const auto trial = trialDecompress(head, fileSize)) {
        f.compression = trial->codec;
        f.format = formatByMagic(trial->head);
    }
    return f;
}

FileFormat identifyAt(const Stream& stream, std::uint64_t offset, std::int64_t size)
{
    const auto bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0));
    if (bytes == 0 || offset > stream.size() || bytes > stream.size() - offset)
        return {};
    std::vector<std::uint8_t> head(
        static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kIdentifyBytes)));
    head.resize(stream.pread(offset, head));
    return identify(head, bytes);
}

std::string formatText(const FileFormat& f)
{
    if (!f.compression)
        return f.format.value_or("");
    std::string text(codecName(*f.compression));
    if (f.format)
        text += " \u2192 " + *f.format;
    return text;
}

} // namespace cartscope::core::formats
