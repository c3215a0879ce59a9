#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/banner/banner.h"
#include "core/image/header.h"

namespace cartscope::core {

extern const std::array<std::uint32_t, 512> BadDumpPattern;

// A stored CRC-16 and the one computed over the bytes it covers.
struct Crc16Check {
    std::uint16_t stored = 0;
    std::uint16_t computed = 0;
    bool ok() const { return stored == computed; }
};

// The values of the "Rom Info" page, typed: each front end makes its own texts from them.
struct HeaderValues {
    std::string internalName; // the title field up to its first NUL
    std::uint64_t fileSize = 0;
    std::string serial;
    std::string makerCode;
    std::string publisher; // empty for a code the table does not know
    std::uint8_t capacity = 0;
    std::optional<std::uint32_t> crc32; // once the whole-file read has run
    bool badDump = false;
    std::uint8_t version = 0;
    std::uint8_t unitCode = 0;
    std::uint8_t deviceCode = 0;
    Crc16Check secureArea, logo, header;
    std::array<std::u16string, 6> titles; // Japanese first
};

// How a value is shown.
enum class ValueKind {
    Name,      // text from the image that names it; the window marks its invisible characters
    Text,      // text, shown as it is
    ByteCount, // "7Mbit (1000000 bytes)"
    CardSize,  // a capacity byte: "512Mbit (67108864 bytes) (09h)"
    Crc32,     // eight hex digits; nothing until known
    BadDump,   // the sentence saying whether the bad-dump pattern was found
    Code,      // a byte as two hex digits
    Crc16,     // four hex digits
    Check,     // "OK" / "BAD"
    Hex16,     // four hex digits
    Hex32,     // eight hex digits
    HexSize,   // a byte count as eight hex digits; the DSi page adds " (N bytes)"
    ByteSize,  // the same, but a number in JSON
    Number,    // a decimal number
    Flag,      // a yes/no fact: JSON's true/false
    Presence,  // "present" / "absent"
    TextList,  // texts, shown joined by ", "; a JSON array
    Title,     // a UTF-16 title
};

// One value as its renderers take it: text (borrowed from the record or made for it), a number,
// a verdict, a list of texts, a title, or nothing yet.
using FieldValue = std::variant<std::monostate, std::string_view, std::uint64_t, bool, std::string,
                                std::vector<std::string>, std::u16string_view>;

// The page's values in the order it shows them, for every front end that walks them: the
// control that shows each (the window's object name for it), the key the command line's JSON
// gives it (none for the nine CRC-16 values, which go out grouped under "checks"), how it is
// shown and where it lives.
struct HeaderField {
    const char* control;
    const char* jsonKey; // nullptr: no key of its own
    ValueKind kind;
    FieldValue (*get)(const HeaderValues&);
};

inline constexpr std::array<HeaderField, 20> kHeaderFields = {{
    {"IntNameEdit", "internalName", ValueKind::Name,
     [](const HeaderValues& v) -> FieldValue { return v.internalName; }},
    {"FileSizeEdit", "fileSizeText", ValueKind::ByteCount,
     [](const HeaderValues& v) -> FieldValue { return v.fileSize; }},
    {"SerialEdit", "serial", ValueKind::Text,
     [](const HeaderValues& v) -> FieldValue { return v.serial; }},
    {"MakerCodeEdit", "makerCode", ValueKind::Text,
     [](const HeaderValues& v) -> FieldValue { return v.makerCode; }},
    {"MakerNameEdit", "publisher", ValueKind::Text,
     [](const HeaderValues& v) -> FieldValue { return v.publisher; }},
    {"CardSizeEdit", "cardSizeText", ValueKind::CardSize,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.capacity}; }},
    {"CRC32Edit", "crc32", ValueKind::Crc32,
     [](const HeaderValues& v) -> FieldValue {
         return v.crc32 ? FieldValue(std::uint64_t{*v.crc32}) : FieldValue();
     }},
    {"BadDumpCodeEdit", "badDumpText", ValueKind::BadDump,
     [](const HeaderValues& v) -> FieldValue { return v.badDump; }},
    {"VersionCodeEdit", "version", ValueKind::Code,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.version}; }},
    {"UnitCodeEdit", "unitCode", ValueKind::Code,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.unitCode}; }},
    {"DeviceCodeEdit", "deviceCode", ValueKind::Code,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.deviceCode}; }},
    {"ExpSecAreaCRC16Edit", nullptr, ValueKind::Crc16,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.secureArea.stored}; }},
    {"ActSecAreaCRC16Edit", nullptr, ValueKind::Crc16,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.secureArea.computed}; }},
    {"SecAreaCheckEdit", nullptr, ValueKind::Check,
     [](const HeaderValues& v) -> FieldValue { return v.secureArea.ok(); }},
    {"ExpLogoCRC16Edit", nullptr, ValueKind::Crc16,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.logo.stored}; }},
    {"ActLogoCRC16Edit", nullptr, ValueKind::Crc16,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.logo.computed}; }},
    {"LogoCheckEdit", nullptr, ValueKind::Check,
     [](const HeaderValues& v) -> FieldValue { return v.logo.ok(); }},
    {"ExpHeaderCRC16Edit", nullptr, ValueKind::Crc16,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.header.stored}; }},
    {"ActHeaderCRC16Edit", nullptr, ValueKind::Crc16,
     [](const HeaderValues& v) -> FieldValue { return std::uint64_t{v.header.computed}; }},
    {"HeaderCheckEdit", nullptr, ValueKind::Check,
     [](const HeaderValues& v) -> FieldValue { return v.header.ok(); }},
}};

// One field of a record beside the header (the banner, the DSi fields, an item of their lists),
// in the order the JSON gives them: the heading and label of its row on the window's "DSi" page
// (no label: it has no row of its own), the key the JSON gives it (none: not in the JSON), how
// it is shown and where it lives. A field without a label that `joins` ends the row before it:
// the row's value, then `joins`, its text and `closes` (nothing when its text is empty).
template <class Record> struct RecordField {
    const char* group;
    const char* label;
    const char* jsonKey;
    ValueKind kind;
    FieldValue (*get)(const Record&);
    const char* joins = nullptr;
    const char* closes = "";
};

inline constexpr const char* kBadDumpFoundText = "Bad Data Found, Rom May Need Patch/Redump";
inline constexpr const char* kBadDumpNotFoundText =
    "Bad Data NOT Found, It's Likely This Dump Is Good!";
inline constexpr Rgb kBadDumpFoundColour{255, 192, 192};
inline constexpr Rgb kBadDumpNotFoundColour{192, 255, 192};

std::string fileSizeText(std::uint64_t bytes); // "7Mbit (1000000 bytes)"
// "512Mbit (67108864 bytes) (09h)"; `decimalPoint` stands between the digits of a figure in
// scientific form ("1.84467440737096E19"), so the window can show the locale's.
std::string cardSizeText(std::uint8_t capacity, std::string_view decimalPoint = ".");
bool badDumpFound(const TNDSHeader& header);
std::string crcVerdict(bool ok); // "OK" / "BAD"

// "CBF43926": the eight-digit text of a finished CRC-32.
std::string crc32Text(std::uint32_t crc);

// The text a value of this kind shows (every front end's but the window's marks and colours);
// empty for a value not known yet.
std::string valueText(ValueKind kind, const FieldValue& value, std::string_view decimalPoint = ".");
// The text of the field named by its control, for the front ends and tests that want one.
std::string valueText(const HeaderValues& values, std::string_view control,
                      std::string_view decimalPoint = ".");

// The page's values; no I/O. `fileCrc32` is the CRC-32 of the whole image, computed by whoever
// read it (a read pass, or the copy out of an archive); without it `crc32` stays empty for the
// caller to fill once the pass has run.
HeaderValues headerValues(const TNDSHeader& header, const TNDSBanner& banner,
                          std::optional<std::uint32_t> fileCrc32);

} // namespace cartscope::core
