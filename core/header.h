#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/stream.h"

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

// The cartridge header of one image: raw character fields as read, numbers as upper-case hex
// text (two digits per byte, most significant first), stored and computed CRC-16 texts.
struct TNDSHeader {
    std::array<char, 12> GameTitle{};
    std::array<char, 4> GameCode{};
    std::string Serial;
    std::array<char, 2> MakerCode{};
    std::string UnitCode;       // 2 digits
    std::string DeviceType;     // 2 digits
    std::string DeviceCapacity; // 2 digits
    std::array<std::uint8_t, 9> Reserved1{};
    std::string RomVersion; // 2 digits
    std::uint8_t AutostartFlags = 0;
    std::string Arm9RomOffset, Arm9EntryAddress, Arm9RamAddress, Arm9Size; // 8 digits each
    std::string Arm7RomOffset, Arm7EntryAddress, Arm7RamAddress, Arm7Size;
    std::string FntOffset, FntSize, FatOffset, FatSize;
    std::string Arm9OverlayOffset, Arm9OverlaySize, Arm7OverlayOffset, Arm7OverlaySize;
    std::string RomControl;                                        // 16 digits
    std::string BannerOffset;                                      // 8 digits
    std::string SecureAreaCrc, SecureAreaCrcCalc, SecureAreaDelay; // 4 digits
    std::string Arm9AutoloadHook, Arm7AutoloadHook;
    std::array<std::uint8_t, 4> SecureAreaDisableLo{};
    std::array<std::uint8_t, 4> SecureAreaDisableHi{};
    std::string TotalUsedRomSize, HeaderSize;
    std::array<std::uint8_t, 56> Reserved2{};
    std::array<std::uint8_t, 156> Logo{};
    std::string LogoCrc, LogoCrcCalc, HeaderCrc, HeaderCrcCalc; // 4 digits
    std::string FileSize; // decimal, the image length in bytes
    std::array<std::uint32_t, 512> BadDataBlock{};
};

// Reads the header from a seekable read-only stream. Short reads at the end of the image are
// accepted for plain fields; the logo, header and secure-area copies need every byte and throw
// "Stream read error" otherwise (so any image shorter than 0x8000 bytes fails).
void PopulateNDSHeader(Stream& image, TNDSHeader& header);

// "NTR-" + the game code up to its first NUL + a region suffix from the fourth character.
std::string SerialFromGameCode(const std::array<char, 4>& gameCode);

// A header offset field (BannerOffset, FntOffset, FatOffset) as a stream position. Values of
// 0x80000000 and above would be negative in the signed reading; they are taken as positions
// past the end of any image instead, so nothing ever seeks to a negative position.
inline constexpr std::uint64_t kPastEnd = std::uint64_t{1} << 62;
std::uint64_t headerOffsetPosition(const std::string& hex8);

} // namespace cartscope::core
