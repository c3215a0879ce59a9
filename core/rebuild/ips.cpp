#include "core/rebuild/ips.h"

#include <algorithm>
#include <string>

#include "core/base/error.h"

namespace cartscope::core {

namespace {

constexpr std::array<std::uint8_t, 3> kEndMarker = {'E', 'O', 'F'};

Error malformed(const std::string& why)
{
    return Error("The IPS patch is damaged: " + why);
}

std::uint32_t be(std::span<const std::uint8_t> b)
{
    std::uint32_t v = 0;
    for (const std::uint8_t byte : b)
        v = (v << 8) | byte;
    return v;
}

// The bytes up to the furthest record (or the truncation size, when smaller): the source's
// bytes there, zeros past its end, and every record written over them in order.
std::vector<std::uint8_t> patchedHead(std::span<const std::uint8_t> patch, const IpsPatch& ips,
                                      const Stream& source, std::uint64_t resultSize)
{
    std::uint64_t reach = 0;
    for (const IpsRecord& r : ips.records)
        reach = std::max<std::uint64_t>(reach, std::uint64_t{r.offset} + r.length);
    const auto headSize = static_cast<std::size_t>(std::min(reach, resultSize));
    std::vector<std::uint8_t> head(headSize, 0);
    const auto fromSource =
        static_cast<std::size_t>(std::min<std::uint64_t>(headSize, source.size()));
    if (fromSource > 0 && source.pread(0, std::span(head).first(fromSource)) != fromSource)
        throw Error(kStreamReadError);
    for (const IpsRecord& r : ips.records) {
        if (r.offset >= headSize)
            continue;
        const std::size_t n = std::min<std::size_t>(r.length, headSize - r.offset);
        if (r.repeated)
            std::fill_n(head.begin() + r.offset, n, *r.repeated);
        else
            std::copy_n(patch.begin() + static_cast<std::ptrdiff_t>(r.dataAt), n,
                        head.begin() + r.offset);
    }
    return head;
}

} // namespace

IpsPatch parseIps(std::span<const std::uint8_t> patch)
{
    if (patch.size() < kIpsMagic.size() ||
        !std::equal(kIpsMagic.begin(), kIpsMagic.end(), patch.begin()))
        throw Error("Not an IPS patch");
    if (patch.size() > kMaxIpsPatchSize)
        throw malformed("it is larger than " + std::to_string(kMaxIpsPatchSize) + " bytes");
    IpsPatch ips;
    std::size_t at = kIpsMagic.size();
    const auto take = [&](std::size_t n, const char* what) {
        if (n > patch.size() - at)
            throw malformed(std::string(what) + " at byte " + std::to_string(at) +
                            " runs past the end of the patch");
        const auto out = patch.subspan(at, n);
        at += n;
        return out;
    };
    // Bounded by the patch's size: every record takes at least five of its bytes.
    while (true) {
        if (at == patch.size())
            throw malformed("it has no end marker (EOF)");
        const auto offset = take(3, "a record");
        if (std::equal(kEndMarker.begin(), kEndMarker.end(), offset.begin()))
            break;
        IpsRecord r;
        r.offset = be(offset);
        r.length = be(take(2, "a record"));
        if (r.length == 0) {
            r.length = be(take(2, "a repeated-byte record"));
            r.repeated = take(1, "a repeated-byte record")[0];
        } else {
            r.dataAt = at;
            take(r.length, "a record's bytes");
        }
        ips.records.push_back(r);
    }
    if (at + 3 == patch.size())
        ips.truncateTo = be(patch.subspan(at, 3));
    else if (at != patch.size())
        throw malformed(std::to_string(patch.size() - at) +
                        " bytes follow the end marker (only a 3-byte size may)");
    return ips;
}

std::uint64_t ipsResultSize(const IpsPatch& ips, std::uint64_t sourceSize)
{
    std::uint64_t size = sourceSize;
    for (const IpsRecord& r : ips.records)
        if (r.length > 0)
            size = std::max<std::uint64_t>(size, std::uint64_t{r.offset} + r.length);
    if (ips.truncateTo) {
        if (*ips.truncateTo > size)
            throw malformed("its truncation size (" + std::to_string(*ips.truncateTo) +
                            " bytes) is past the end of the patched image (" +
                            std::to_string(size) + " bytes)");
        size = *ips.truncateTo;
    }
    return size;
}

std::vector<std::uint8_t> applyIps(std::span<const std::uint8_t> patch,
                                   std::span<const std::uint8_t> source)
{
    const IpsPatch ips = parseIps(patch);
    const std::uint64_t size = ipsResultSize(ips, source.size());
    const MemoryStream stream(source);
    std::vector<std::uint8_t> out = patchedHead(patch, ips, stream, size);
    if (out.size() < size)
        out.insert(out.end(), source.begin() + static_cast<std::ptrdiff_t>(out.size()),
                   source.begin() + static_cast<std::ptrdiff_t>(size));
    return out;
}

void writeIps(std::span<const std::uint8_t> patch, const Stream& source, OutputFile& out,
              const Checkpoint& checkpoint)
{
    const IpsPatch ips = parseIps(patch);
    const std::uint64_t size = ipsResultSize(ips, source.size());
    const std::vector<std::uint8_t> head = patchedHead(patch, ips, source, size);
    out.write(head);
    // Past the furthest record the result is the source's own bytes (the size is then within it).
    // A patch that grew the image has nothing left to copy, and its head may end past the source.
    if (size > head.size())
        out.copyFrom(source, head.size(), size - head.size(), checkpoint);
}

} // namespace cartscope::core
