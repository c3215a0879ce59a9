#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Message files (BMG): a 32-byte header ("MESGbmg1", file size, block count, encoding byte) and
// blocks of a 4-byte magic and a size, among them INF1 (one entry per message: its offset in
// DAT1 and attribute bytes), DAT1 (the messages, each ending in a zero unit) and MID1 (message
// IDs). Numbers follow the file's byte order: little-endian on this console, big-endian where the
// little-endian file size or block count does not fit.
//
// The text form of a message is UTF-8 with tokens, so that every message reads back to its exact
// bytes:
//   {{          a literal "{"
//   {1A:hhhh}   an escape sequence: the escape code 0x1A (a 16-bit unit in UTF-16, a byte
//               otherwise), a length byte (the sequence's whole length in bytes, written back as
//               the header's 3 or 2 bytes plus the data's), then the data bytes, in lower-case hex
//   {raw:hhhh}  bytes that do not decode in the file's encoding, or do not encode back to the
//               same bytes (Shift-JIS characters with two codes), written back as they are
//   {n} {r}     a line feed and a carriage return, in the one-line form of the text file
//   {U+XXXX}    in the one-line form, any other control character (tab is kept) and the format
//               characters that reorder or hide text (bidirectional controls, zero-width
//               characters): the text form is safe to print on a terminal as it is
// Text is converted by the C library's iconv (CP1252, CP932 for Shift-JIS, UTF-16LE/BE, UTF-8):
// no conversion table of our own.
namespace cartscope::core {

enum class BmgEncoding { Cp1252, Utf16, ShiftJis, Utf8 };

struct BmgMessage {
    std::uint32_t offset = 0;             // in DAT1's data
    std::vector<std::uint8_t> attributes; // the INF1 entry's bytes after the offset
    std::vector<std::uint8_t> bytes;      // encoded, without the terminating zero unit
};

struct BmgBlock {
    std::string magic;
    std::size_t offset = 0; // of the block's header in the file
    std::uint32_t size = 0; // including the 8-byte header
};

struct Bmg {
    bool bigEndian = false;
    std::uint8_t encodingByte = 0;
    BmgEncoding encoding = BmgEncoding::Cp1252;
    std::vector<std::uint8_t> original; // the file as read
    std::uint32_t fileSize = 0;         // the header's
    std::vector<BmgBlock> blocks;
    std::size_t inf1 = 0; // indices into blocks
    std::size_t dat1 = 0;
    std::uint16_t entrySize = 0;
    std::vector<BmgMessage> messages;
    std::vector<std::uint32_t> ids; // MID1's, when the file has that block
};

// The encoding's name as the texts show it: "CP1252", "UTF-16LE", "UTF-16BE", "Shift-JIS",
// "UTF-8".
std::string bmgEncodingName(const Bmg& bmg);

// Throws ""%s" is not a BMG message file" or ""%s" is damaged: ..." (message N's offset past
// DAT1, a message with no end, an escape sequence whose length runs past it, sizes that do not
// fit). The block walk is bounded by the block count and the file; each block is at least its
// 8-byte header long.
Bmg readBmg(std::span<const std::uint8_t> bytes, const std::string& label);

// Each message in the token form; with `oneLine`, line feeds and carriage returns as {n}, {r}.
std::vector<std::string> bmgTexts(const Bmg& bmg, bool oneLine);

// The text file: one message per line in INF1's order, each line ended by "\n".
std::string bmgTextFile(const Bmg& bmg);

// {"encoding": "UTF-16LE", "messages": [{"index": 0, "id": 7, "attributes": "hex",
// "text": "..."}, ...]} ("id" only with MID1), one message per line.
std::string bmgJson(const Bmg& bmg);

// The lines of a text file, one message each: "\n" ends a line, a "\r" before it is dropped (an
// editor's line ends), a last line without "\n" counts. Throws ""%s" has N lines; the message file
// has M messages" when the counts differ.
std::vector<std::string> parseBmgTextFile(std::string_view text, std::size_t messages,
                                          const std::string& label);

// The file again with `texts` (token form, one per message) in its own encoding and layout:
// header, INF1 (entry size and attributes kept, offsets renewed), MID1 and other blocks kept as
// they are, DAT1 rebuilt (the bytes before the first message and between messages kept, messages
// that shared an offset share it while their texts agree). Unchanged texts give the file back
// byte for byte. Throws "Message N does not fit the encoding Shift-JIS: "€" (U+20AC)", "Message N
// is not valid UTF-8", "Message N: "{x" is not a token (a literal "{" is written "{{")" and the
// like, naming the message.
std::vector<std::uint8_t> writeBmg(const Bmg& bmg, const std::vector<std::string>& texts);

} // namespace cartscope::core
