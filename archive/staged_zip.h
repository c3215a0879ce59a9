#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/torrentzip.h"
#include "core/base/fd.h"
#include "core/io/read_pass.h"
#include "core/rebuild/output_file.h"

// A zip member deflated, as its dump is read for verification, into an unnamed file on the
// destination's file system: writing the zip later copies the deflated bytes between two
// headers instead of reading and deflating the dump again. The compressor (about 300 KiB) lives
// only from the read's start until the member is completed, right after the verification.
namespace cartscope::archive {

class StagedDeflate final : public core::ReadSink {
public:
    // An unnamed file in the folder open as `folder`; nullptr when the file system has no
    // unnamed files or the compressor cannot start (the dump is then read again).
    static std::unique_ptr<StagedDeflate> create(int folder);
    ~StagedDeflate() override;
    StagedDeflate(const StagedDeflate&) = delete;
    StagedDeflate& operator=(const StagedDeflate&) = delete;

    // Deflated as TorrentZip deflates (level 9, memory level 8, raw 15-bit window). A failure
    // (a full disk) is not the verification's failure: the member is only marked unusable.
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override;
    void finish(std::uint64_t total) override;

    // Ends the member after a whole read: the bytes read, then `pad` up to `size` bytes when
    // given (a trimmed dump padded as it matched its DAT). False when the member is unusable.
    bool complete(std::uint64_t size, std::optional<std::uint8_t> pad);
    // Whether the member was completed whole and holds `size` bytes whose CRC-32 is `crc` (when
    // the DAT gives one).
    bool holds(std::uint64_t size, std::optional<std::uint32_t> crc) const;
    // Closes the file; its bytes go with it.
    void discard();

    std::uint32_t crc() const { return m_crc; }
    std::uint64_t size() const { return m_size; }
    std::uint64_t compressedSize() const { return m_compressed; }
    int fd() const { return m_fd.get(); }

private:
    struct Compressor;
    StagedDeflate(core::UniqueFd fd, std::unique_ptr<Compressor> compressor);
    void deflateBlock(std::span<const std::uint8_t> block, bool last);

    core::UniqueFd m_fd;
    std::unique_ptr<Compressor> m_compressor; // gone once the member is completed
    bool m_failed = false;
    bool m_completed = false;
    std::optional<std::uint64_t> m_total;
    std::uint32_t m_crc = 0;
    std::uint64_t m_size = 0;
    std::uint64_t m_compressed = 0;
};

struct StagedMember {
    std::string name; // stored as it is: the caller has made it a clean file name
    const StagedDeflate* data = nullptr; // completed
};

// The zip writeZip writes for the same members and bytes, each member's deflated bytes copied
// from its staged file. Throws core::Error as writeZip does.
void writeStagedZip(core::OutputFile& out, std::vector<StagedMember> members, ZipStyle style);

} // namespace cartscope::archive
