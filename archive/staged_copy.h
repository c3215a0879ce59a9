#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/base/fd.h"
#include "core/io/read_pass.h"

// A dump's bytes copied, as they are read for verification, into an unnamed file on the
// destination's file system: placing the dump later is a link of that file, not a second read.
// The file has no name until it is placed, so a crash or a kill leaves nothing behind.
namespace cartscope::archive {

class StagedCopy final : public core::ReadSink {
public:
    // An unnamed file in the folder open as `folder`; nullptr when the file system has no
    // unnamed files or refuses one (the dump is then copied by a second read).
    static std::unique_ptr<StagedCopy> create(int folder);

    // A write that fails (a full disk) is not the verification's failure: the copy is only
    // marked unusable and takes no more bytes.
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override;
    void finish(std::uint64_t total) override;

    // Whether the read ended and every one of its `size` bytes was written.
    bool holds(std::uint64_t size) const;
    // Appends `pad` bytes up to `size` bytes in all, after the read ended: a trimmed dump padded
    // as it matched its DAT. False, with the copy unusable, when a write fails.
    bool padTo(std::uint64_t size, std::uint8_t pad);
    // Syncs the copy, gives it the name `path` (never replacing a file there) and syncs the
    // folder. False, with nothing named and the copy gone, when it cannot be placed so (the name
    // taken, another file system, a failed write): the caller copies the dump itself.
    bool place(const std::string& path);
    // Closes the copy; its bytes go with it.
    void discard() { m_fd = core::UniqueFd(); }

private:
    explicit StagedCopy(core::UniqueFd fd) : m_fd(std::move(fd)) {}
    // Writes the block at the end of the copy; a failure marks the copy unusable.
    void write(std::span<const std::uint8_t> block);

    static constexpr std::size_t kFillBlock = std::size_t{1} << 20;

    core::UniqueFd m_fd;
    bool m_failed = false;
    std::uint64_t m_written = 0;
    std::optional<std::uint64_t> m_total;
};

} // namespace cartscope::archive
