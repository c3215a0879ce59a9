#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/banner/banner.h"
#include "core/image/header.h"

namespace cartscope::core {

extern const std::array<std::uint32_t, 512> BadDumpPattern;

// Every text of the "Rom Info" page, named after the control that shows it.
struct DisplayValues {
    std::string IntName;
    std::string FileSize;
    std::string Serial;
    std::string MakerCode;
    std::string MakerName;
    std::string CardSize;
    std::string CRC32;
    std::string BadDumpCode;
    bool badDumpFound = false;
    std::string VersionCode;
    std::string UnitCode;
    std::string DeviceCode;
    std::string ExpSecAreaCRC16, ActSecAreaCRC16, SecAreaCheck;
    std::string ExpLogoCRC16, ActLogoCRC16, LogoCheck;
    std::string ExpHeaderCRC16, ActHeaderCRC16, HeaderCheck;
    std::array<std::u16string, 6> Titles; // Japanese first
};

// The page's text fields in the order it shows them, for every front end that walks them: the
// control that shows each (the window's object name for it), the key the command line's JSON
// gives it (none for the nine CRC-16 texts, which go out grouped under "checks") and where the
// value lives.
struct DisplayField {
    const char* control;
    const char* jsonKey; // nullptr: no key of its own
    std::string DisplayValues::*value;
};

inline constexpr std::array<DisplayField, 20> kDisplayFields = {{
    {"IntNameEdit", "internalName", &DisplayValues::IntName},
    {"FileSizeEdit", "fileSizeText", &DisplayValues::FileSize},
    {"SerialEdit", "serial", &DisplayValues::Serial},
    {"MakerCodeEdit", "makerCode", &DisplayValues::MakerCode},
    {"MakerNameEdit", "publisher", &DisplayValues::MakerName},
    {"CardSizeEdit", "cardSizeText", &DisplayValues::CardSize},
    {"CRC32Edit", "crc32", &DisplayValues::CRC32},
    {"BadDumpCodeEdit", "badDumpText", &DisplayValues::BadDumpCode},
    {"VersionCodeEdit", "version", &DisplayValues::VersionCode},
    {"UnitCodeEdit", "unitCode", &DisplayValues::UnitCode},
    {"DeviceCodeEdit", "deviceCode", &DisplayValues::DeviceCode},
    {"ExpSecAreaCRC16Edit", nullptr, &DisplayValues::ExpSecAreaCRC16},
    {"ActSecAreaCRC16Edit", nullptr, &DisplayValues::ActSecAreaCRC16},
    {"SecAreaCheckEdit", nullptr, &DisplayValues::SecAreaCheck},
    {"ExpLogoCRC16Edit", nullptr, &DisplayValues::ExpLogoCRC16},
    {"ActLogoCRC16Edit", nullptr, &DisplayValues::ActLogoCRC16},
    {"LogoCheckEdit", nullptr, &DisplayValues::LogoCheck},
    {"ExpHeaderCRC16Edit", nullptr, &DisplayValues::ExpHeaderCRC16},
    {"ActHeaderCRC16Edit", nullptr, &DisplayValues::ActHeaderCRC16},
    {"HeaderCheckEdit", nullptr, &DisplayValues::HeaderCheck},
}};

inline constexpr const char* kBadDumpFoundText = "Bad Data Found, Rom May Need Patch/Redump";
inline constexpr const char* kBadDumpNotFoundText =
    "Bad Data NOT Found, It's Likely This Dump Is Good!";
inline constexpr Rgb kBadDumpFoundColour{255, 192, 192};
inline constexpr Rgb kBadDumpNotFoundColour{192, 255, 192};

std::string fileSizeText(std::uint64_t bytes);   // "7Mbit (1000000 bytes)"
std::string cardSizeText(std::uint8_t capacity); // "512Mbit (67108864 bytes) (09h)"
bool badDumpFound(const TNDSHeader& header);
std::string crcVerdict(std::uint16_t stored, std::uint16_t computed); // "OK" / "BAD"

// "CBF43926": the eight-digit text of a finished CRC-32.
std::string crc32Text(std::uint32_t crc);

// Fills `out` in the order the page shows the values; no I/O. `fileCrc32` is the CRC-32 of the
// whole image, computed by whoever read it (a read pass, or the copy out of an archive); without
// it CRC32 stays empty for the caller to fill once the pass has run. When a value cannot be
// built the error propagates and `out` keeps the values set before it, as the page does.
void computeDisplayValues(const TNDSHeader& header, const TNDSBanner& banner,
                          std::optional<std::uint32_t> fileCrc32, DisplayValues& out);

} // namespace cartscope::core
