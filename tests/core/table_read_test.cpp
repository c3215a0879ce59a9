// The file-name and allocation tables are read in one piece each; the walk in memory gives the
// same rows as positioned reads would, whatever the header's FNT size says. Paths too long to
// show in full are cut visibly and never extracted.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/extract/extract.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/load.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using fixture::Node;

class CallCountingStream final : public Stream {
public:
    explicit CallCountingStream(const Bytes& bytes) : m_inner(bytes) {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        ++calls;
        return m_inner.pread(position, out);
    }
    std::uint64_t size() const override { return m_inner.size(); }
    mutable std::atomic<int> calls = 0;

private:
    MemoryStream m_inner;
};

ImageBuilder manyFiles(int dirs, int filesPerDir)
{
    std::vector<Node> root;
    for (int d = 0; d < dirs; ++d) {
        std::vector<Node> files;
        for (int f = 0; f < filesPerDir; ++f)
            files.push_back(Node::file("file" + std::to_string(f) + ".bin", Bytes(f % 5, 1)));
        root.push_back(Node::dir("dir" + std::to_string(d), files));
    }
    ImageBuilder b;
    b.root(root);
    return b;
}

struct Walked {
    std::vector<TFileEntry> files;
    std::vector<TDirEntry> dirs;
    bool operator==(const Walked& o) const
    {
        if (files.size() != o.files.size() || dirs.size() != o.dirs.size())
            return false;
        for (std::size_t k = 0; k < files.size(); ++k) {
            const TFileEntry &a = files[k], &b = o.files[k];
            if (a.Name != b.Name || a.StartOffset != b.StartOffset || a.EndOffset != b.EndOffset ||
                a.Size != b.Size || a.DirIndex != b.DirIndex)
                return false;
        }
        for (std::size_t k = 0; k < dirs.size(); ++k) {
            if (dirs[k].Name != o.dirs[k].Name || dirs[k].DirID != o.dirs[k].DirID ||
                dirs[k].ParentID != o.dirs[k].ParentID)
                return false;
        }
        return true;
    }
};

Walked walk(const Bytes& image, std::uint64_t fnt, std::uint64_t fat, std::uint64_t hint)
{
    Walked w;
    MemoryStream s(image);
    ParseFNT(s, fnt, fat, w.files, w.dirs, hint);
    return w;
}

TEST(TableRead, EachTableIsReadInOnePiece)
{
    const Bytes image = manyFiles(40, 50).build(); // 2000 files, 40 directories
    CallCountingStream stream(image);
    const LoadedImage loaded = loadImage(stream);
    ASSERT_EQ(loaded.rows.size(), 2000u);
    EXPECT_EQ(loaded.rows[1999].path, "/dir39/file49.bin");
    // The header and banner take a handful of reads; the tables one each.
    EXPECT_LE(stream.calls.load(), 12);
}

TEST(TableRead, TheFntSizeFieldNeverChangesTheWalk)
{
    std::vector<std::pair<Bytes, ImageBuilder::Layout>> images;
    {
        ImageBuilder b = manyFiles(5, 7);
        images.emplace_back(b.build(), b.layout());
    }
    {
        // A sub-table placed after the FAT, far outside the table the size field describes, and
        // a name cut by the end of the read-ahead piece.
        ImageBuilder b = manyFiles(2, 3);
        Bytes img = b.build();
        const auto l = b.layout();
        const std::size_t moved = img.size();
        img.resize(moved + 64, 0);
        const std::size_t entry1 = l.fntOffset + 8; // directory 1's main-table entry
        const std::uint32_t offset = static_cast<std::uint32_t>(moved - l.fntOffset);
        for (int k = 0; k < 4; ++k)
            img[entry1 + k] = static_cast<std::uint8_t>(offset >> (8 * k));
        const std::string name = "far.bin";
        img[moved] = static_cast<std::uint8_t>(name.size());
        std::copy(name.begin(), name.end(), img.begin() + static_cast<long>(moved) + 1);
        images.emplace_back(img, l);
    }
    for (const auto& [image, layout] : images) {
        const Walked reference = walk(image, layout.fntOffset, layout.fatOffset, 0);
        ASSERT_FALSE(reference.files.empty());
        const std::uint64_t real = image[0x44] | image[0x45] << 8 | image[0x46] << 16;
        for (const std::uint64_t hint :
             {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{13}, real - 1, real, real + 100,
              std::uint64_t{0xFFFFFFFF}, ~std::uint64_t{0}})
            EXPECT_TRUE(walk(image, layout.fntOffset, layout.fatOffset, hint) == reference) << hint;
    }
    // The moved sub-table is listed through the fallback read.
    const Walked moved =
        walk(images[1].first, images[1].second.fntOffset, images[1].second.fatOffset, 0xFFFFFFFF);
    bool found = false;
    for (const TFileEntry& f : moved.files)
        found = found || f.Name == "far.bin";
    EXPECT_TRUE(found);
}

// The walk over bytes in hand (a NARC's road) and the image's road agree on one table; an
// allocation table cut short reads as the missing byte it is given.
TEST(TableRead, TheWalkOverBytesInHandAndTheImagesWalkAgree)
{
    ImageBuilder b;
    b.root({Node::dir("outer", {Node::dir("inner", {Node::file("deep.bin", "deep")}),
                                Node::file("side.txt", "side")}),
            Node::file("top.bin", Bytes(3, 7))});
    const Bytes image = b.build();
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t{image[at]} | std::uint32_t{image[at + 1]} << 8 |
               std::uint32_t{image[at + 2]} << 16 | std::uint32_t{image[at + 3]} << 24;
    };
    const std::span<const std::uint8_t> fnt(image.data() + u32(0x40), u32(0x44));
    const std::span<const std::uint8_t> fat(image.data() + u32(0x48), u32(0x4C));
    const Walked viaImage = walk(image, u32(0x40), u32(0x48), 0);
    ASSERT_EQ(viaImage.files.size(), 3u);
    ASSERT_EQ(viaImage.dirs.size(), 2u);
    Walked inHand;
    walkTables({fnt}, {fat}, inHand.files, inHand.dirs);
    EXPECT_TRUE(inHand == viaImage);
    const auto rows = ParseArraysToList(inHand.files, inHand.dirs);
    EXPECT_TRUE(std::any_of(rows.begin(), rows.end(),
                            [](const FileRow& r) { return r.path == "/outer/inner/deep.bin"; }));

    // The last entry cut to 5 bytes: the end offset's top 3 bytes read as the byte given.
    const std::uint32_t lastStart = u32(u32(0x48) + fat.size() - 8);
    const auto owner =
        std::find_if(viaImage.files.begin(), viaImage.files.end(),
                     [&](const TFileEntry& f) { return f.StartOffset == lastStart; });
    ASSERT_NE(owner, viaImage.files.end());
    const auto k = static_cast<std::size_t>(owner - viaImage.files.begin());
    for (const std::uint32_t missing : {0x00u, 0xFFu}) {
        Walked cut;
        walkTables({fnt}, {fat.first(fat.size() - 3), static_cast<std::uint8_t>(missing)},
                   cut.files, cut.dirs);
        ASSERT_EQ(cut.files.size(), 3u);
        EXPECT_EQ(cut.files[k].StartOffset, lastStart);
        EXPECT_EQ(cut.files[k].EndOffset, (owner->EndOffset & 0xFF) | missing * 0x01010100u);
    }
}

TEST(TableRead, PathsPastTheLimitAreCutVisiblyAndNotExtracted)
{
    // 40 nested folders of 120-byte names: 4841 bytes; the file at depth 30 fits (3631 + name).
    const std::string longName(120, 'n');
    Node deep = Node::file("deep.bin", "deep");
    for (int level = 40; level > 30; --level)
        deep = Node::dir(longName, {deep});
    Node middle = Node::dir(longName, {Node::file("ok.bin", "ok"), deep});
    for (int level = 30; level > 1; --level)
        middle = Node::dir(longName, {middle});
    ImageBuilder b;
    b.title("DEEP").root({middle});
    const Bytes image = b.build();
    MemoryStream stream(image);
    const LoadedImage loaded = loadImage(stream);
    ASSERT_EQ(loaded.rows.size(), 2u);
    const FileRow& ok = loaded.rows[0];
    const FileRow& cut = loaded.rows[1];
    EXPECT_FALSE(ok.pathTooLong);
    EXPECT_EQ(ok.path.size(), 30 * 121 + 1 + 6);
    EXPECT_TRUE(ok.path.ends_with("/ok.bin"));
    EXPECT_TRUE(cut.pathTooLong);
    EXPECT_EQ(cut.path.size(), kMaxPathBytes);
    EXPECT_TRUE(cut.path.starts_with("/" + longName + "/"));
    EXPECT_TRUE(cut.path.ends_with("\xE2\x80\xA6"));

    fixture::TempDir dir;
    const auto plan = planExtraction(dir.path(), "DEEP", loaded.rows);
    ASSERT_EQ(plan.size(), 2u);
    MemoryStream source(image);
    EXPECT_EQ(extractPlanned(source, plan[0]), 2u);
    try {
        extractPlanned(source, plan[1]);
        ADD_FAILURE() << "a cut path was extracted";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot extract \"" + cut.path + "\": path too long");
    }
    // Nothing but the one file that fits was written.
    int regular = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        regular += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(regular, 1);

    // A name that takes a path that fits past the limit is cut the same way.
    std::vector<TDirEntry> dirs{{std::string(4000, 'a'), 1, 0}};
    std::vector<TFileEntry> files{{std::string(127, 'b'), 0, 0, 0, 1}};
    const auto rows = ParseArraysToList(files, dirs);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].pathTooLong);
    EXPECT_EQ(rows[0].path.size(), kMaxPathBytes);
}

} // namespace
} // namespace cartscope::core
