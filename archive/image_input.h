#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "archive/zip_input.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"

// The one road in for the command line: whatever path the user gives becomes one positional
// stream of the image's bytes.
namespace cartscope::archive {

struct InputOptions {
    // Lock a plain image file as core::FileStream does (an archive is never locked; a copy is
    // private to this process anyway).
    bool exclusive = false;
    // Asked at every progress notification while a member is read; true stops the read.
    std::function<bool()> cancelled;
    // Called once a member has been read, before its absence is reported; may throw to stop.
    std::function<void()> checkpoint;
    // See the member's bytes while it is checked or copied (that is their one read); a plain
    // image file never shows them its bytes.
    std::span<core::ReadSink* const> copySinks;
};

// The image `path` names, opened once. The first bytes decide, whatever the name: a zip or 7z
// archive gives its image member (takeImage: read in place, in memory, or a private copy removed
// with this object), another archive kind is refused ("x" is a RAR archive; ...), anything else is
// the image itself. A file named .zip without the signature (bytes prepended to the archive)
// still goes to the archive reader.
// Throws core::Error "No .nds or .ids image could be taken out of "%s"" (with ". "member":
// <reason>" when the member's read failed) for an archive without a usable image, "The image
// "%s" [in the archive "%s"] is empty (0 bytes)", and the open's and takeImage's errors.
class InputImage final : public core::Stream {
public:
    explicit InputImage(const std::string& path, const InputOptions& options = {});
    InputImage(const InputImage&) = delete;
    InputImage& operator=(const InputImage&) = delete;

    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        return m_image->pread(position, out);
    }
    std::uint64_t size() const override { return m_image->size(); }
    std::optional<core::NativeFile> nativeFile() const override { return m_image->nativeFile(); }

    // The path the user gave.
    const std::string& given() const { return m_given; }
    // The member the image came from, when the path named an archive.
    const std::optional<ArchiveImage>& fromArchive() const { return m_fromArchive; }

private:
    std::string m_given;
    std::optional<core::FileStream> m_file; // the path given
    std::optional<ArchiveImage> m_fromArchive;
    std::optional<core::FileStream> m_copy;
    std::optional<core::SubStream> m_member;
    std::optional<core::MemoryStream> m_memory;
    const core::Stream* m_image = nullptr;
};

} // namespace cartscope::archive
