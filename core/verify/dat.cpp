#include "core/verify/dat.h"

#include <algorithm>
#include <compare>
#include <utility>

#include "core/verify/dat_builder.h"

namespace cartscope::core {

namespace {

using dat::kHasCrc;
using dat::kHasMd5;
using dat::kHasSha1;
using dat::kHasSha256;
using dat::kHasSize;

std::uint8_t digestBit(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Md5:
        return kHasMd5;
    case DigestKind::Sha1:
        return kHasSha1;
    case DigestKind::Sha256:
        return kHasSha256;
    }
    return 0;
}

template <typename Less>
std::span<const std::uint32_t> range(const std::vector<std::uint32_t>& index, Less&& less)
{
    const auto lo = std::partition_point(index.begin(), index.end(),
                                         [&](std::uint32_t i) { return less(i) < 0; });
    const auto hi =
        std::partition_point(lo, index.end(), [&](std::uint32_t i) { return less(i) <= 0; });
    return {index.data() + (lo - index.begin()), static_cast<std::size_t>(hi - lo)};
}

int compareBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    const auto r = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

} // namespace

bool DatRom::has(DigestKind kind) const
{
    return !digest(kind).empty();
}

std::span<const std::uint8_t> DatRom::digest(DigestKind kind) const
{
    switch (kind) {
    case DigestKind::Md5:
        return md5;
    case DigestKind::Sha1:
        return sha1;
    case DigestKind::Sha256:
        return sha256;
    }
    return sha256;
}

std::size_t DatRoms::size() const
{
    return m_set.m_entries.size();
}

DatRom DatRoms::operator[](std::size_t index) const
{
    const DatSet::Entry& e = m_set.m_entries[index];
    DatRom r;
    r.dat = e.dat;
    r.game = m_set.text(e.game);
    r.rom = m_set.text(e.rom);
    r.serial = m_set.text(e.serial);
    r.status = m_set.text(e.status);
    std::string_view family = m_set.text(e.family);
    for (std::string_view* field : {&r.id, &r.cloneOf, &r.cloneOfId, &r.releases}) {
        const std::size_t end = family.find('\0');
        if (end == std::string_view::npos)
            break;
        *field = family.substr(0, end);
        family.remove_prefix(end + 1);
    }
    if (e.present & kHasSize)
        r.size = e.size;
    if (e.present & kHasCrc)
        r.crc32 = e.crc32;
    if (e.present & kHasMd5)
        r.md5 = e.md5;
    if (e.present & kHasSha1)
        r.sha1 = e.sha1;
    if (e.present & kHasSha256)
        r.sha256 = e.sha256;
    return r;
}

void DatSet::add(const std::string& file, std::span<const char> text,
                 const std::function<bool()>& cancelled)
{
    if (isClrmameproText(text))
        addClrmamepro(file, text, cancelled);
    else
        addXml(file, text, cancelled);
}

void DatSet::rebuildIndexes()
{
    const auto n = static_cast<std::uint32_t>(m_entries.size());
    const auto with = [&](std::uint8_t bits) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t i = 0; i < n; ++i)
            if ((m_entries[i].present & bits) == bits)
                out.push_back(i);
        out.shrink_to_fit();
        return out;
    };
    for (const DigestKind kind : kDigestKinds) {
        std::vector<std::uint32_t>& index = m_byDigest[static_cast<std::size_t>(kind)];
        index = with(digestBit(kind));
        std::stable_sort(index.begin(), index.end(), [&](std::uint32_t a, std::uint32_t b) {
            return compareBytes(roms()[a].digest(kind), roms()[b].digest(kind)) < 0;
        });
    }
    const auto sizeCrc = [&](std::uint32_t i) {
        return std::pair(m_entries[i].size, m_entries[i].crc32);
    };
    m_bySizeCrc = with(kHasSize | kHasCrc);
    std::stable_sort(m_bySizeCrc.begin(), m_bySizeCrc.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return sizeCrc(a) < sizeCrc(b); });
    m_bySize = with(kHasSize);
    std::stable_sort(m_bySize.begin(), m_bySize.end(), [&](std::uint32_t a, std::uint32_t b) {
        return m_entries[a].size < m_entries[b].size;
    });
    m_withoutSha1.clear();
    for (std::uint32_t i = 0; i < n; ++i)
        if (!(m_entries[i].present & kHasSha1))
            m_withoutSha1.push_back(i);
    m_withoutSha1.shrink_to_fit();
    m_sizes.clear();
    for (const std::uint32_t i : m_bySize)
        if (m_sizes.empty() || m_sizes.back() != m_entries[i].size)
            m_sizes.push_back(m_entries[i].size);
    m_sizes.shrink_to_fit();
}

std::span<const std::uint32_t> DatSet::byDigest(DigestKind kind,
                                                std::span<const std::uint8_t> value) const
{
    return range(m_byDigest[static_cast<std::size_t>(kind)],
                 [&](std::uint32_t i) { return compareBytes(roms()[i].digest(kind), value); });
}

std::span<const std::uint32_t> DatSet::bySizeCrc(std::uint64_t size, std::uint32_t crc) const
{
    const auto wanted = std::pair(size, crc);
    return range(m_bySizeCrc, [&](std::uint32_t i) {
        const auto have = std::pair(m_entries[i].size, m_entries[i].crc32);
        return have < wanted ? -1 : wanted < have ? 1 : 0;
    });
}

std::span<const std::uint32_t> DatSet::bySize(std::uint64_t size) const
{
    return range(m_bySize, [&](std::uint32_t i) {
        return m_entries[i].size < size ? -1 : size < m_entries[i].size ? 1 : 0;
    });
}

std::size_t DatSet::memoryUsed() const
{
    std::size_t bytes = m_entries.capacity() * sizeof(Entry) + m_arena.capacity() +
                        m_bySizeCrc.capacity() * 4 + m_bySize.capacity() * 4 +
                        m_withoutSha1.capacity() * 4 + m_sizes.capacity() * 8;
    for (const auto& index : m_byDigest)
        bytes += index.capacity() * 4;
    return bytes;
}

} // namespace cartscope::core
