#pragma once

#include <cstdint>
#include <iconv.h>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/formats/bmg.h"

// What the message file's reader, text form and writer share: numbers in the file's byte order
// and one message converted between its encoded bytes and the token form.
namespace cartscope::core::bmg {

inline constexpr std::size_t kHeaderSize = 0x20;
inline constexpr std::size_t kBlockHeader = 8;
inline constexpr std::uint8_t kEscape = 0x1A;

// Numbers in the file's byte order.
struct Order {
    bool big = false;
    std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) const
    {
        return big ? static_cast<std::uint16_t>((b[at] << 8) | b[at + 1])
                   : static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
    }
    std::uint32_t u32(std::span<const std::uint8_t> b, std::size_t at) const
    {
        const std::uint32_t hi = u16(b, big ? at : at + 2);
        const std::uint32_t lo = u16(b, big ? at + 2 : at);
        return (hi << 16) | lo;
    }
    void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) const
    {
        b[at + (big ? 0 : 1)] = static_cast<std::uint8_t>(v >> 8);
        b[at + (big ? 1 : 0)] = static_cast<std::uint8_t>(v);
    }
    void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) const
    {
        put16(b, big ? at : at + 2, static_cast<std::uint16_t>(v >> 16));
        put16(b, big ? at + 2 : at, static_cast<std::uint16_t>(v));
    }
};

// Bytes per code unit: 2 in UTF-16, else 1.
inline std::size_t unitSize(const Bmg& bmg)
{
    return bmg.encoding == BmgEncoding::Utf16 ? 2 : 1;
}

// One iconv conversion, closed with the object.
class Converter {
public:
    Converter(const char* to, const char* from);
    ~Converter();
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // All of `in`, or nothing: false when some input is not valid or cannot be converted.
    bool convert(std::span<const std::uint8_t> in, std::string& out) const;

private:
    iconv_t m_cd;
};

// Both directions between the file's encoding and UTF-8.
struct Converters {
    Converter toUtf8;
    Converter fromUtf8;
    explicit Converters(const Bmg& bmg);
};

// "Message N", as errors name a message.
std::string messageLabel(std::size_t index);

// A message's bytes in the token form; with `oneLine`, line ends and hidden characters as tokens.
std::string decodeMessage(const Bmg& bmg, const BmgMessage& message, const Converters& conv,
                          bool oneLine);

// The token form back to the message's bytes (without its terminating zero unit); throws the
// user's message naming message `index`.
std::vector<std::uint8_t> encodeMessage(const Bmg& bmg, std::string_view text, std::size_t index,
                                        const Converters& conv);

} // namespace cartscope::core::bmg
