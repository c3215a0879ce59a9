#include "core/rebuild/decompress.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <set>
#include <unistd.h>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/checksum/digest.h"
#include "core/compress/code.h"
#include "core/formats/identify.h"
#include "core/fs/system_files.h"
#include "core/io/staged_file.h"
#include "core/io/whole_file.h"

namespace cartscope::core::rebuild {

namespace {

// An overlay table of 65,536 entries.
constexpr std::uint64_t kMaxOverlayTable = 65536 * kOverlayEntrySize;

std::array<std::uint8_t, 20> sha1Value(const Digest& d)
{
    const DigestBytes v = d.value();
    std::array<std::uint8_t, 20> out{};
    std::copy_n(v.begin(), out.size(), out.begin());
    return out;
}

std::vector<std::uint8_t> readRange(const Stream& source, std::uint64_t offset, std::uint64_t size)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    source.readExact(offset, bytes);
    return bytes;
}

// What the system rows need: the ARM9's RAM address, and each overlay's compression word by the
// file ID its table entry names (the first entry naming it).
struct SystemPacking {
    std::map<std::string, std::deque<SystemFile>> byPath;
    std::map<std::uint32_t, std::uint32_t> overlayWord;
    std::uint32_t arm9Ram = 0;
};

SystemPacking systemPacking(const Stream& source, const HeaderRecord& header)
{
    SystemPacking s;
    for (SystemFile& f : systemFiles(source, header))
        s.byPath["/" + std::string(kSystemFolder) + "/" + f.name].push_back(std::move(f));
    s.arm9Ram = header.ds.Arm9RamAddress;
    const std::pair<std::uint64_t, std::uint64_t> tables[] = {
        {header.ds.Arm9OverlayOffset, header.ds.Arm9OverlaySize},
        {header.ds.Arm7OverlayOffset, header.ds.Arm7OverlaySize}};
    for (const auto& [offset, declared] : tables) {
        const std::uint64_t size = std::min(declared, kMaxOverlayTable);
        if (offset > source.size() || size > source.size() - offset)
            continue;
        const std::vector<std::uint8_t> table = readRange(source, offset, size);
        for (std::size_t at = 0; at + kOverlayEntrySize <= table.size(); at += kOverlayEntrySize)
            s.overlayWord.emplace(le32(table, at + 0x18), le32(table, at + 0x1C)); // file ID, word
    }
    return s;
}

class Decompressor {
public:
    Decompressor(const Stream& source, const DecompressOptions& options)
        : m_source(source), m_options(options)
    {
        if (options.header)
            m_system = systemPacking(source, *options.header);
    }

    void take(const PlannedFile& p, DecompressionRun& run)
    {
        const std::optional<std::string> at = m_options.writtenAt(p);
        if (!at || p.size <= 0)
            return;
        if (m_options.onFile)
            m_options.onFile(p);
        try {
            std::optional<DecompressedFile> done =
                p.row.system ? takeSystem(p, *at) : takeStream(p, *at);
            if (done)
                run.files.push_back(*done);
        } catch (const Error& e) {
            if (dynamic_cast<const DecodeFault*>(&e) == nullptr)
                throw;
            ExtractFailure w{p.row.path, e.what()};
            if (m_options.onWarning)
                m_options.onWarning(w);
            run.warnings.push_back(std::move(w));
        }
    }

private:
    // A decode that failed: the file stays as written. Any other error (a write) ends the run.
    class DecodeFault : public Error {
    public:
        using Error::Error;
    };

    std::optional<DecompressedFile> takeStream(const PlannedFile& p, const std::string& at)
    {
        const auto size = static_cast<std::uint64_t>(p.size);
        const formats::FileFormat f = formats::identifyAt(m_source, p.offset, p.size);
        if (!f.compression)
            return std::nullopt;
        if (size > kMaxPackedInput)
            throw DecodeFault("\"" + p.row.path + "\" is too large to decompress");
        const std::vector<std::uint8_t> in = readRange(m_source, p.offset, size);
        StagedFile out(at, at);
        Digest digest(DigestKind::Sha1);
        std::uint64_t written = 0;
        bool writeFailed = false;
        try {
            decompressStream(in, p.row.path, [&](std::span<const std::uint8_t> chunk) {
                writeFailed = true;
                writeAllOrThrow(out.fd(), chunk, at);
                writeFailed = false;
                digest.update(chunk);
                written += chunk.size();
            });
        } catch (const Error& e) {
            if (writeFailed)
                throw;
            throw DecodeFault(e.what());
        }
        out.publish(true);
        return DecompressedFile{&p, f.compression, written, sha1Value(digest)};
    }

    std::optional<DecompressedFile> takeSystem(const PlannedFile& p, const std::string& at)
    {
        const auto found = m_system.byPath.find(p.row.path);
        if (found == m_system.byPath.end() || found->second.empty())
            return std::nullopt;
        const SystemFile f = found->second.front();
        found->second.pop_front();
        if (f.kind != SystemFileKind::Arm9 && f.kind != SystemFileKind::Overlay)
            return std::nullopt;
        if (f.kind == SystemFileKind::Overlay) {
            const auto word = m_system.overlayWord.find(f.fileId);
            if (word == m_system.overlayWord.end() || !overlayCompression(word->second).compressed)
                return std::nullopt;
        }
        if (f.size > kMaxCodeSize)
            throw DecodeFault("\"" + p.row.path + "\" is too large to decompress");
        const std::vector<std::uint8_t> in = readRange(m_source, f.offset, f.size);
        std::vector<std::uint8_t> out;
        try {
            if (f.kind == SystemFileKind::Arm9) {
                if (!arm9CodeState(in, m_system.arm9Ram, p.row.path).compressed)
                    return std::nullopt;
                out = decompressArm9(in, m_system.arm9Ram, p.row.path);
            } else {
                out = decompressCode(in, p.row.path);
            }
        } catch (const Error& e) {
            throw DecodeFault(e.what());
        }
        if (out == in)
            return std::nullopt; // stored as it is
        writeWholeFile(at, out, nullptr, AtLink::Replace);
        Digest digest(DigestKind::Sha1);
        digest.update(out);
        return DecompressedFile{&p, std::nullopt, out.size(), sha1Value(digest)};
    }

    const Stream& m_source;
    const DecompressOptions& m_options;
    SystemPacking m_system;
};

} // namespace

std::function<std::optional<std::string>(const PlannedFile&)>
writtenPlaces(const ExtractSummary& summary,
              const std::unordered_map<const PlannedFile*, std::string>& renamed)
{
    std::set<std::string> failed;
    for (const ExtractFailure& f : summary.failures)
        failed.insert(f.path);
    return
        [failed = std::move(failed), &renamed](const PlannedFile& p) -> std::optional<std::string> {
            if (failed.count(p.row.path))
                return std::nullopt;
            const auto it = renamed.find(&p);
            if (it == renamed.end())
                return p.full();
            return std::string(p.baseFolder()) + it->second;
        };
}

DecompressionRun decompressWritten(const Stream& source, const std::vector<PlannedFile>& plan,
                                   const DecompressOptions& options)
{
    DecompressionRun run;
    Decompressor d(source, options);
    for (const PlannedFile& p : plan) {
        if (options.interrupted && options.interrupted()) {
            run.cancelled = true;
            break;
        }
        d.take(p, run);
    }
    return run;
}

} // namespace cartscope::core::rebuild
