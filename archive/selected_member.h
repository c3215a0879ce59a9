#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "archive/opened_archive.h"
#include "archive/reader.h"
#include "archive/zip_layout.h"
#include "core/io/read_pass.h"

// The member the reader takes, chosen by position or by the name rule, and what it does with it.
namespace cartscope::archive::detail {

// A member chosen by position or by the name rule, its headers read by libarchive. `readable`:
// accepted as the listing accepts them (a regular file, not encrypted, its size known);
// `clean`: read without a warning; `data`: where its bytes lie when the reader can take them
// itself; `positioned`: libarchive stands at its data.
struct Selected {
    Member member;
    bool readable = false;
    bool clean = false;
    std::uint64_t declared = 0;
    std::optional<MemberData> data;
    bool positioned = true;
};

// The member at member.index, walked to from libarchive's first entry.
std::optional<Selected> selectMember(OpenedArchive& opened, const std::string& archivePath,
                                     const Member& member);
// The image member by the one name rule (core::imageNameOf), in one walk; with `wanted`, the
// image member of that name (the one at its index when several share it).
std::optional<Selected> findImage(OpenedArchive& opened, const std::string& archivePath,
                                  const std::optional<Member>& wanted = std::nullopt);

// The member copied to a new file, as extractMember.
int extractSelected(const OpenedArchive& opened, const std::string& archivePath,
                    const std::optional<Selected>& s, const std::string& destinationPath,
                    const ExtractEvents& events, std::span<core::ReadSink* const> sinks);
// The member read without a copy on disk, as readInPlace.
InPlace readSelected(const OpenedArchive& opened, const std::string& archivePath,
                     const std::optional<Selected>& s, const ExtractEvents& events,
                     std::span<core::ReadSink* const> sinks);
// A member only libarchive can decode, decoded into memory; NeedsCopy when no memory can be had.
InPlace decodeSelected(const OpenedArchive& opened, const std::string& archivePath,
                       const std::optional<Selected>& s, const ExtractEvents& events,
                       std::span<core::ReadSink* const> sinks);

} // namespace cartscope::archive::detail
