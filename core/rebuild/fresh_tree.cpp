// Fresh trees read and written: the tree walked without following links, laid out
// (fresh_layout.cpp), and the image written once, the bytes below 0x8000 put together first.
#include "core/rebuild/fresh_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/le.h"
#include "core/checksum/crc16.h"
#include "core/fs/system_files.h"
#include "core/io/stream.h"
#include "core/rebuild/output_file.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::uint64_t kSecureAreaEnd = 0x8000;
constexpr const char* kSystem = kSystemFolder;

std::int64_t mtimeOf(const struct stat& st)
{
    return std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

namespace {

// Reads a tree without following links: one folder open at a time, each entry checked.
class TreeReader {
public:
    explicit TreeReader(const std::string& tree) : m_tree(tree)
    {
        m_fd = UniqueFd(::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_fd.valid())
            throw Error(cannotOpenMessage(tree, errno));
    }

    struct Entry {
        std::string name;
        bool folder = false;
        FreshFile file;
    };

    // The entries of the folder `rel` ("" for the tree), names beginning with "." left out.
    std::vector<Entry> list(const std::string& rel)
    {
        UniqueFd dir(rel.empty() ? ::dup(m_fd.get())
                                 : ::openat(m_fd.get(), rel.c_str(),
                                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid())
            throw Error(cannotOpenMessage(shown(rel), errno));
        std::vector<FolderEntry> listed;
        if (!folderEntries(dir.get(), listed))
            throw Error(cannotOpenMessage(shown(rel), errno));
        std::vector<Entry> entries;
        // Bounded by the folder's entries; the files overall by the count checked below.
        for (const FolderEntry& e : listed) {
            const std::string& name = e.name;
            if (name.empty() || name[0] == '.')
                continue;
            const std::string path = rel.empty() ? name : rel + "/" + name;
            struct stat st {};
            if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                throw Error(cannotOpenMessage(shown(path), errno));
            if (S_ISLNK(st.st_mode))
                throw Error("The tree holds a symbolic link: \"" + shown(path) + "\"");
            if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
                throw Error("The tree holds \"" + shown(path) + "\", which is not a regular file");
            if (name.size() > kMaxNameBytes)
                throw Error("The name of \"" + shown(path) + "\" is longer than 127 bytes");
            if (S_ISDIR(st.st_mode)) {
                if (++m_folders > kMaxTreeFolders + 2) // the tree's own [system] and overlay/
                    throw Error("The tree \"" + m_tree + "\" holds more than 4,095 folders");
            } else if (++m_files > kMaxTreeFiles + 8) { // the system files beside the data
                throw Error("The tree \"" + m_tree + "\" holds more than 65,536 files");
            }
            entries.push_back({name,
                               S_ISDIR(st.st_mode),
                               {path, static_cast<std::uint64_t>(st.st_size), mtimeOf(st)}});
        }
        return entries;
    }

    // Reads up to `out.size()` bytes of the tree file `path` from `at`; returns how many.
    std::size_t read(const std::string& path, std::uint64_t at, std::span<std::uint8_t> out)
    {
        const UniqueFd fd(::openat(m_fd.get(), path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
            throw Error(cannotOpenMessage(shown(path), errno));
        DescriptorStream in(fd.get(), static_cast<std::uint64_t>(st.st_size),
                            "file \"" + shown(path) + "\"");
        return in.pread(at, out);
    }

    std::string shown(const std::string& rel) const
    {
        return rel.empty() ? m_tree : m_tree + "/" + rel;
    }
    int fd() const { return m_fd.get(); }

private:
    std::string m_tree;
    UniqueFd m_fd;
    std::size_t m_folders = 0;
    std::size_t m_files = 0;
};

// Depth bounded by the folder count, which list() caps at 4,095.
FreshFolder readFolder(TreeReader& reader, const std::string& rel, const std::string& name)
{
    FreshFolder folder;
    folder.name = name;
    for (TreeReader::Entry& e : reader.list(rel)) {
        if (rel.empty() && e.name == kSystem)
            continue;
        if (e.folder)
            folder.folders.push_back(readFolder(reader, e.file.path, e.name));
        else
            folder.files.push_back(std::move(e.file));
    }
    return folder;
}

std::string overlayFile(std::size_t i)
{
    char name[40];
    std::snprintf(name, sizeof name, "overlay_%04zu.bin", i);
    return name;
}

FreshInput readInput(TreeReader& reader)
{
    FreshInput input;
    input.root = readFolder(reader, "", "");

    std::optional<FreshFile> header, arm9, arm7;
    std::vector<FreshFile> overlays;
    for (TreeReader::Entry& e : reader.list(kSystem)) {
        if (e.folder && e.name == "overlay") {
            for (TreeReader::Entry& o : reader.list(e.file.path)) {
                if (o.folder)
                    throw Error("The folder \"" + reader.shown(o.file.path) +
                                "\" has no place in an image's overlays");
                overlays.push_back(std::move(o.file));
            }
            continue;
        }
        std::optional<FreshFile>* slot = e.folder                 ? nullptr
                                         : e.name == "header.bin" ? &header
                                         : e.name == "arm9.bin"   ? &arm9
                                         : e.name == "arm7.bin"   ? &arm7
                                         : e.name == "y9.bin"     ? &input.arm9Overlays
                                         : e.name == "y7.bin"     ? &input.arm7Overlays
                                         : e.name == "banner.bin" ? &input.banner
                                                                  : nullptr;
        if (!slot)
            throw Error("\"" + reader.shown(e.file.path) +
                        "\" has no place in a DS image built without a layout");
        *slot = std::move(e.file);
    }
    for (const auto& [file, name] : {std::pair{&header, "header.bin"}, std::pair{&arm9, "arm9.bin"},
                                     std::pair{&arm7, "arm7.bin"}})
        if (!*file)
            throw Error("The file \"" + reader.shown(std::string(kSystem) + "/" + name) +
                        "\" is missing");
    input.arm9 = *arm9;
    input.arm7 = *arm7;

    // Overlays by their number: overlay_0000.bin, overlay_0001.bin, ... with none left out.
    std::sort(overlays.begin(), overlays.end(),
              [](const FreshFile& a, const FreshFile& b) { return byName(a.path, b.path); });
    for (std::size_t i = 0; i < overlays.size(); ++i)
        if (baseName(overlays[i].path) != std::string_view(overlayFile(i)))
            throw Error("The overlays in \"" + reader.shown(std::string(kSystem) + "/overlay") +
                        "\" must be overlay_0000.bin, overlay_0001.bin, ... in turn; \"" +
                        std::string(baseName(overlays[i].path)) + "\" is not " + overlayFile(i));
    input.overlays = std::move(overlays);

    reader.read(header->path, 0, input.header);
    std::array<std::uint8_t, 4> first{};
    if (reader.read(arm9->path, 0, first) == first.size())
        input.arm9FirstWord = le32(first);
    if (arm9->size >= kNitroFooterSize)
        input.arm9Footer =
            reader.read(arm9->path, arm9->size - kNitroFooterSize, first) == first.size() &&
            le32(first) == kNitroCode;
    return input;
}

} // namespace

FreshInput readFreshTree(const std::string& tree)
{
    TreeReader reader(tree);
    return readInput(reader);
}

bool isFreshTree(const std::string& tree)
{
    struct stat st {};
    if (::lstat((tree + kLayoutSuffix).c_str(), &st) == 0 || errno != ENOENT)
        return false;
    return ::lstat((tree + "/" + kSystem + "/header.bin").c_str(), &st) == 0;
}

namespace {

// One piece of the image in offset order: a tree file, made bytes, or a fill run.
struct Piece {
    std::uint64_t offset;
    std::uint64_t size;
    const Region* region;
    const Generated* made;
    std::uint8_t fill;
};

std::vector<Piece> piecesOf(const FreshLayout& laid, const std::string& tree)
{
    std::vector<Piece> pieces;
    for (const Region& r : laid.layout.regions) {
        if (r.size == 0)
            continue;
        if (!r.path.empty()) {
            pieces.push_back({r.offset, r.size, &r, nullptr, 0});
            continue;
        }
        const auto g =
            std::find_if(laid.generated.begin(), laid.generated.end(), [&](const Generated& x) {
                return x.offset == r.offset && x.bytes.size() == r.size;
            });
        if (g == laid.generated.end())
            throw Error("The layout of \"" + tree + "\" lost a table it made");
        pieces.push_back({r.offset, r.size, nullptr, &*g, 0});
    }
    for (const Run& run : laid.layout.runs)
        pieces.push_back({run.offset, run.size, nullptr, nullptr, run.fill.value_or(0)});
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    return pieces;
}

// A tree file opened again, still the size it was laid out with.
UniqueFd openPiece(TreeReader& reader, const Piece& p)
{
    UniqueFd fd(::openat(reader.fd(), p.region->path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        throw Error(cannotOpenMessage(reader.shown(p.region->path), errno));
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != p.size)
        throw Error("The file \"" + reader.shown(p.region->path) +
                    "\" changed while the image was built");
    return fd;
}

// The image writes OUT once: the bytes below 0x8000 are put together in memory first (the
// secure-area CRC-16 covers them), the rest is copied piece by piece.
class FreshWriter {
public:
    FreshWriter(TreeReader& reader, const FreshLayout& laid, const std::string& tree,
                const BuildOptions& options)
        : m_reader(reader), m_laid(laid), m_pieces(piecesOf(laid, tree)), m_options(options),
          m_open(m_pieces.size()),
          m_head(static_cast<std::size_t>(std::min(kSecureAreaEnd, laid.layout.imageSize)))
    {}

    std::size_t write(const std::string& out, Overwrite overwrite)
    {
        assembleHead();
        stampHead();
        OutputFile image(out, overwrite);
        image.write(m_head);
        writeRest(image);
        image.commit();
        return m_files;
    }

private:
    void checkpoint() const
    {
        if (m_options.interrupted && m_options.interrupted())
            throw BuildInterrupted();
    }

    // Every tree file is checked once here; only those below 0x8000 stay open.
    void assembleHead()
    {
        const std::uint64_t headSize = m_head.size();
        for (std::size_t i = 0; i < m_pieces.size(); ++i) {
            const Piece& p = m_pieces[i];
            if (p.region) {
                checkpoint();
                m_open[i] = openPiece(m_reader, p);
                ++m_files;
                if (p.offset >= headSize) {
                    m_open[i] = UniqueFd();
                    continue;
                }
            }
            if (p.offset >= headSize)
                continue;
            const std::size_t n = static_cast<std::size_t>(std::min(p.size, headSize - p.offset));
            std::span<std::uint8_t> into(m_head.data() + p.offset, n);
            if (p.made) {
                std::copy_n(p.made->bytes.begin(), n, into.begin());
            } else if (p.region) {
                DescriptorStream in(m_open[i].get(), p.size,
                                    "file \"" + m_reader.shown(p.region->path) + "\"");
                if (in.pread(0, into) != n)
                    throw Error(kStreamReadError);
            } else {
                std::fill(into.begin(), into.end(), p.fill);
            }
        }
    }

    // 0x06C secure-area CRC-16 over the ARM9's first bytes below 0x8000; 0x15E header CRC-16.
    void stampHead()
    {
        const std::uint64_t headSize = m_head.size();
        if (m_laid.arm9Offset < headSize)
            putLe16(m_head, 0x6C,
                    crc16::Crc16OfStream(std::span(m_head).subspan(
                        static_cast<std::size_t>(m_laid.arm9Offset),
                        static_cast<std::size_t>(headSize - m_laid.arm9Offset))));
        putLe16(m_head, 0x15E, crc16::Crc16OfStream(std::span(m_head).first(0x15E)));
    }

    void writeRest(OutputFile& image)
    {
        const std::uint64_t headSize = m_head.size();
        const auto checkpoint = [this] { this->checkpoint(); };
        for (std::size_t i = 0; i < m_pieces.size(); ++i) {
            const Piece& p = m_pieces[i];
            if (p.offset + p.size <= headSize)
                continue;
            const std::uint64_t skip = p.offset < headSize ? headSize - p.offset : 0;
            checkpoint();
            if (p.made) {
                image.write(std::span(p.made->bytes).subspan(static_cast<std::size_t>(skip)));
            } else if (p.region) {
                const UniqueFd fd =
                    m_open[i].valid() ? std::move(m_open[i]) : openPiece(m_reader, p);
                image.copyFrom(DescriptorStream(fd.get(), p.size,
                                                "file \"" + m_reader.shown(p.region->path) + "\""),
                               skip, p.size - skip, checkpoint);
            } else {
                image.fill(p.fill, p.size - skip, checkpoint);
            }
        }
    }

    TreeReader& m_reader;
    const FreshLayout& m_laid;
    std::vector<Piece> m_pieces;
    const BuildOptions& m_options;
    std::vector<UniqueFd> m_open;
    std::vector<std::uint8_t> m_head;
    std::size_t m_files = 1; // the header template
};

} // namespace

BuildResult buildFreshTree(const std::string& tree, const std::string& out,
                           const BuildOptions& options)
{
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::path(out).parent_path();
    if (folder.empty())
        folder = ".";
    const auto rel = std::filesystem::weakly_canonical(folder, ec)
                         .lexically_relative(std::filesystem::weakly_canonical(tree, ec));
    if (!rel.empty() && *rel.begin() != "..")
        throw Error("The output \"" + out + "\" lies inside the tree or its layout");
    const Overwrite overwrite = checkDestination(tree, out, options.force, false);

    TreeReader reader(tree);
    const FreshLayout laid = layFreshTree(readInput(reader), options.fill);
    BuildResult result;
    result.bytes = laid.layout.imageSize;
    result.files = FreshWriter(reader, laid, tree, options).write(out, overwrite);
    return result;
}

} // namespace cartscope::core::rebuild
