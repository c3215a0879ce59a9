#include "core/io/archive_kind.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace cartscope::core {

namespace {

struct Signature {
    ArchiveKind kind;
    std::string_view bytes;
};

using namespace std::string_view_literals;

// A DS image begins with its title (printable ASCII or NULs), so none of these starts one.
constexpr std::array kSignatures = {
    Signature{ArchiveKind::Zip, "PK\x03\x04"sv},
    Signature{ArchiveKind::Zip, "PK\x05\x06"sv}, // an empty archive: only the end record
    Signature{ArchiveKind::SevenZip, "7z\xBC\xAF\x27\x1C"sv},
    Signature{ArchiveKind::Gzip, "\x1F\x8B"sv},
    Signature{ArchiveKind::Rar, "Rar!\x1A\x07"sv},
    Signature{ArchiveKind::Xz, "\xFD"
                               "7zXZ\x00"sv},
    Signature{ArchiveKind::Zstd, "\x28\xB5\x2F\xFD"sv},
    Signature{ArchiveKind::Bzip2, "BZh"sv},
};

static_assert(std::all_of(kSignatures.begin(), kSignatures.end(),
                          [](const Signature& s) { return s.bytes.size() <= kArchiveMagicSize; }));

} // namespace

ArchiveKind archiveKindOf(std::span<const std::uint8_t> head)
{
    for (const Signature& s : kSignatures) {
        if (head.size() < s.bytes.size())
            continue;
        if (std::equal(s.bytes.begin(), s.bytes.end(), head.begin(),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
            return s.kind;
    }
    return ArchiveKind::None;
}

ArchiveKind archiveKindOf(const Stream& stream)
{
    std::array<std::uint8_t, kArchiveMagicSize> head{};
    const std::size_t n = stream.pread(0, head);
    return archiveKindOf(std::span<const std::uint8_t>(head).first(n));
}

std::string archiveKindText(ArchiveKind kind)
{
    switch (kind) {
    case ArchiveKind::None:
        return {};
    case ArchiveKind::Zip:
        return "a zip archive";
    case ArchiveKind::SevenZip:
        return "a 7z archive";
    case ArchiveKind::Gzip:
        return "a gzip archive";
    case ArchiveKind::Rar:
        return "a RAR archive";
    case ArchiveKind::Xz:
        return "an xz archive";
    case ArchiveKind::Zstd:
        return "a zstd archive";
    case ArchiveKind::Bzip2:
        return "a bzip2 archive";
    }
    return {};
}

std::string unsupportedArchiveMessage(const std::string& path, ArchiveKind kind)
{
    return "\"" + path + "\" is " + archiveKindText(kind) + "; Cartscope reads zip and 7z archives";
}

} // namespace cartscope::core
