#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/image/dsi.h"
#include "core/image/header.h"
#include "core/image/raw_header.h"

namespace cartscope::core {

// The whole cartridge header, decoded once from its raw block: the DS half and the DSi half.
// The bytes no field interprets are kept, so encoding the record gives back the block it came
// from; a field changed in the record changes only its own bytes.
struct HeaderRecord {
    // 0x000..0x15F, with the logo and header CRC-16 computed beside the stored ones. The
    // secure-area CRC-16, the file size and the bad-dump block are filled by PopulateNDSHeader,
    // which reads past the block for them.
    TNDSHeader ds;
    // 0x180..0xFFF. Its unit code and DSi flag mirror ds.UnitCode, which the encoder writes.
    DsiInfo dsi;
    // How many of the block's bytes the file held (the rest was decoded as zero).
    std::size_t available = 0;

    // The block as read, for the encoder alone.
    class Kept {
        std::array<std::uint8_t, kRawHeaderSize> m_bytes{};
        friend HeaderRecord decodeHeader(const RawHeader& raw);
        friend std::vector<std::uint8_t> encodeHeader(const HeaderRecord& header);
    };
    Kept kept;
};

// Every field of the block. Never throws for any content.
HeaderRecord decodeHeader(const RawHeader& raw);

// The size of the header block of this record: 0x200 bytes, or 0x1000 when the unit code has
// the DSi bit (bit 1).
std::size_t headerBlockSize(const HeaderRecord& header);

// The header block of headerBlockSize() bytes: the kept bytes with every field written over
// them. encodeHeader(decodeHeader(b)) gives back b.
std::vector<std::uint8_t> encodeHeader(const HeaderRecord& header);

} // namespace cartscope::core
