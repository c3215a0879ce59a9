#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The DSi half of the cartridge header (0x180 to 0xFFF), with the field names of the usual
// hardware reference, and the rows of the window's "DSi" page.
namespace cartscope::core {

inline constexpr std::size_t kDsiHeaderSize = 0x1000;

// One flag of the byte at 0x1BF: its bit, its JSON key and its label.
struct TwlFlag {
    int bit;
    const char* key;
    const char* label;
};
extern const std::array<TwlFlag, 8> kTwlFlags;

// One byte of the age ratings at 0x2F0, in the reference's board order.
struct AgeRating {
    const char* board;
    std::uint8_t raw = 0;
    bool present = false;     // bit 7
    bool prohibited = false;  // bit 6
    int age = 0;              // bits 0-4
    std::string text() const; // "not rated", "prohibited", "age 12"
};

struct ModcryptArea {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

// A signature field: present when any of its bytes is non-zero. Nothing is verified.
struct SignaturePresence {
    const char* name;
    const char* key;
    std::uint32_t at;
    bool present = false;
};

// Decoded with the rest of the header (decodeHeader, header_record.h).
struct DsiInfo {
    std::uint8_t unitCode = 0;
    bool isDsi = false;        // unit code bit 1
    std::uint8_t twlFlags = 0; // 0x1BF, meaningful for every image
    std::uint32_t regionFlags = 0;
    std::uint32_t titleIdLow = 0, titleIdHigh = 0;
    std::uint32_t arm9iRomOffset = 0, arm9iLoadAddress = 0, arm9iSize = 0;
    std::uint32_t arm7iRomOffset = 0, arm7iLoadAddress = 0, arm7iSize = 0;
    std::uint32_t dsiUsedSize = 0;
    std::uint32_t bannerSize = 0;
    std::uint32_t publicSaveSize = 0, privateSaveSize = 0;
    std::array<AgeRating, 16> ageRatings{};
    std::array<ModcryptArea, 2> modcrypt{};
    std::vector<SignaturePresence> hmacs;
    bool rsaPresent = false;

    std::string titleIdText() const; // 16 hex digits, high word first
    std::string fileType() const;    // named from the title ID's high word
    bool regionFree() const { return regionFlags == 0xFFFFFFFF; }
    std::vector<std::string> regions() const;       // the named regions whose bit is set
    std::string regionText() const;                 // "Region free", "Japan, USA", "None"
    std::vector<std::string> twlFlagKeys() const;   // lowerCamelCase keys of the set flags
    std::vector<std::string> twlFlagLabels() const; // their labels
};

} // namespace cartscope::core
