#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/io/stream.h"

namespace cartscope::core {

inline constexpr std::size_t kSecureAreaOffset = 0x4000;
inline constexpr std::size_t kSecureAreaSize = 0x4000;
inline constexpr std::size_t kBadDataBlockOffset = 0x7E00;
inline constexpr std::size_t kBadDataBlockSize = 512;
inline constexpr std::size_t kLogoOffset = 0x0C0;
inline constexpr std::size_t kLogoSize = 156;
inline constexpr std::size_t kHeaderCrcSpan = 0x15E; // 0x000..0x15D
// The smallest image whose header reads completely (the secure area ends at 0x7FFF).
inline constexpr std::uint64_t kMinImageSize = 0x8000;

// The cartridge header of one image: raw character fields as read, numbers as numbers (the
// report, the window and the command line format them where they show them), stored and
// computed CRC-16 values side by side.
struct TNDSHeader {
    std::array<char, 12> GameTitle{};
    std::array<char, 4> GameCode{};
    std::string Serial;
    std::array<char, 2> MakerCode{};
    std::uint8_t UnitCode = 0;
    std::uint8_t DeviceType = 0;
    std::uint8_t DeviceCapacity = 0; // card size exponent: 2^n megabits
    std::array<std::uint8_t, 9> Reserved1{};
    std::uint8_t RomVersion = 0;
    std::uint8_t AutostartFlags = 0;
    std::uint32_t Arm9RomOffset = 0, Arm9EntryAddress = 0, Arm9RamAddress = 0, Arm9Size = 0;
    std::uint32_t Arm7RomOffset = 0, Arm7EntryAddress = 0, Arm7RamAddress = 0, Arm7Size = 0;
    std::uint32_t FntOffset = 0, FntSize = 0, FatOffset = 0, FatSize = 0;
    std::uint32_t Arm9OverlayOffset = 0, Arm9OverlaySize = 0;
    std::uint32_t Arm7OverlayOffset = 0, Arm7OverlaySize = 0;
    std::uint64_t RomControl = 0; // bus settings, one 64-bit number
    std::uint32_t BannerOffset = 0;
    std::uint16_t SecureAreaCrc = 0, SecureAreaCrcCalc = 0, SecureAreaDelay = 0;
    std::uint32_t Arm9AutoloadHook = 0, Arm7AutoloadHook = 0;
    std::array<std::uint8_t, 4> SecureAreaDisableLo{};
    std::array<std::uint8_t, 4> SecureAreaDisableHi{};
    std::uint32_t TotalUsedRomSize = 0, HeaderSize = 0;
    std::array<std::uint8_t, 56> Reserved2{};
    std::array<std::uint8_t, 156> Logo{};
    std::uint16_t LogoCrc = 0, LogoCrcCalc = 0, HeaderCrc = 0, HeaderCrcCalc = 0;
    std::uint64_t FileSize = 0; // the image length in bytes
    std::array<std::uint32_t, 512> BadDataBlock{};
};

struct HeaderRecord;

// Reads the header from the image into the whole header record (its DS half
// is the TNDSHeader). Short reads at the end of the image are accepted for plain fields; the
// logo, header and secure-area copies need every byte and throw "Stream read error" otherwise
// (so any image shorter than 0x8000 bytes fails).
void PopulateNDSHeader(const Stream& image, HeaderRecord& header);

// "NTR-" + the game code up to its first NUL + a region suffix from the fourth character.
std::string SerialFromGameCode(const std::array<char, 4>& gameCode);

// A header offset field (BannerOffset, FntOffset, FatOffset) as a stream position. Values of
// 0x80000000 and above would be negative in the signed reading; they are taken as positions
// past the end of any image instead, so nothing is ever read at a negative position.
inline constexpr std::uint64_t kPastEnd = std::uint64_t{1} << 62;
std::uint64_t headerOffsetPosition(std::uint32_t field);

} // namespace cartscope::core
