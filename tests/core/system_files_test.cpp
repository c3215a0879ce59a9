#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/extract/extract.h"
#include "core/fs/system_files.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::core::decodeHeader;
using cartscope::core::MemoryStream;
using cartscope::core::RawHeader;
using cartscope::core::SystemFile;
using cartscope::core::SystemFileKind;
using cartscope::core::systemFiles;
using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::overlayEntry;
using cartscope::fixture::pattern;
using cartscope::fixture::systemImage;

std::vector<SystemFile> filesOf(const Bytes& image)
{
    MemoryStream s(image);
    return systemFiles(s, decodeHeader(RawHeader::read(s)));
}

const SystemFile* find(const std::vector<SystemFile>& files, const std::string& name)
{
    for (const auto& f : files)
        if (f.name == name)
            return &f;
    return nullptr;
}

std::vector<std::string> names(const std::vector<SystemFile>& files)
{
    std::vector<std::string> out;
    for (const auto& f : files)
        out.push_back(f.name);
    return out;
}

Bytes slice(const Bytes& image, const SystemFile& f)
{
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(f.offset),
                 image.begin() + static_cast<std::ptrdiff_t>(f.offset + f.size));
}

TEST(SystemFiles, EveryFileOfAPlainImageWithItsRangeAndOverlaysByFileId)
{
    const ImageBuilder b = systemImage({});
    const Bytes image = b.build();
    const auto files = filesOf(image);
    EXPECT_EQ(names(files),
              (std::vector<std::string>{"header.bin", "arm9.bin", "arm7.bin", "y9.bin", "y7.bin",
                                        "banner.bin", "overlay/overlay_0000.bin",
                                        "overlay/overlay_0001.bin", "overlay/overlay_0002.bin"}));
    for (const auto& f : files)
        EXPECT_EQ(f.problem, "") << f.name;

    // The builder's header area is 0x4000 bytes; header.bin is still 0x200.
    EXPECT_EQ(find(files, "header.bin")->size, 0x200u);
    const SystemFile& arm9 = *find(files, "arm9.bin");
    EXPECT_EQ(arm9.offset, b.layout().binaryOffsets[0]);
    EXPECT_EQ(arm9.size, 0x1000u + 12); // the footer belongs to it
    const SystemFile& arm7 = *find(files, "arm7.bin");
    EXPECT_EQ(slice(image, arm7), pattern(0x800, 7));
    EXPECT_EQ(find(files, "y9.bin")->size, 64u);
    EXPECT_EQ(find(files, "y7.bin")->size, 32u);
    EXPECT_EQ(find(files, "banner.bin")->offset, b.layout().bannerOffset);
    EXPECT_EQ(find(files, "banner.bin")->size, 0x840u);
    // Overlay 0 names file 3, overlay 1 file 2, overlay 2 (ARM7) file 4.
    EXPECT_EQ(slice(image, *find(files, "overlay/overlay_0000.bin")), pattern(0x120, 2));
    EXPECT_EQ(slice(image, *find(files, "overlay/overlay_0001.bin")), pattern(0x300, 1));
    EXPECT_EQ(slice(image, *find(files, "overlay/overlay_0002.bin")), pattern(0x80, 3));
    EXPECT_EQ(find(files, "overlay/overlay_0002.bin")->kind, SystemFileKind::Overlay);
}

TEST(SystemFiles, Arm9FooterOnlyWhenTheNitroCodeFollowsAndWholeInsideTheImage)
{
    const ImageBuilder plain = systemImage({.footer = false});
    EXPECT_EQ(find(filesOf(plain.build()), "arm9.bin")->size, 0x1000u);

    // ARM7 never takes a footer, even when one follows it.
    ImageBuilder arm7 = systemImage({.footer = false});
    arm7.build();
    const std::uint32_t arm7End = arm7.layout().binaryOffsets[1] + 0x800;
    arm7.pokeBytes(arm7End, {0x21, 0x06, 0xC0, 0xDE});
    EXPECT_EQ(find(filesOf(arm7.build()), "arm7.bin")->size, 0x800u);

    // A footer cut by the end of the image makes the file a problem, never a shorter file.
    ImageBuilder cut;
    cut.binary(0x20, 0x2C, pattern(0x100, 1), {0x21, 0x06, 0xC0, 0xDE, 1, 2});
    Bytes image = cut.build();
    image.resize(cut.layout().binaryOffsets[0] + 0x100 + 6);
    const auto files = filesOf(image);
    const SystemFile& arm9 = *find(files, "arm9.bin");
    EXPECT_EQ(arm9.size, 0x100u + 12);
    EXPECT_EQ(arm9.problem, "its range runs past the end of the image");
}

TEST(SystemFiles, DsiImageAddsArm9iArm7iTheLongHeaderAndTheBannerSizeWord)
{
    const ImageBuilder b = systemImage({.dsi = true});
    const Bytes image = b.build();
    const auto files = filesOf(image);
    EXPECT_EQ(find(files, "header.bin")->size, 0x1000u);
    const SystemFile& arm9i = *find(files, "arm9i.bin");
    EXPECT_EQ(arm9i.size, 0x600u + 12);
    EXPECT_EQ(arm9i.offset, b.layout().binaryOffsets[4]);
    const SystemFile& arm7i = *find(files, "arm7i.bin");
    EXPECT_EQ(slice(image, arm7i), pattern(0x400, 13));
    EXPECT_EQ(find(files, "banner.bin")->size, 0x940u);

    // A zero size word falls back to the version's size.
    ImageBuilder zero = systemImage({.dsi = true});
    zero.poke32(0x208, 0);
    EXPECT_EQ(find(filesOf(zero.build()), "banner.bin")->size, 0x840u);
    // Without the DSi bit neither the word nor the i-binaries count.
    ImageBuilder nitro = systemImage({});
    nitro.poke32(0x208, 0x23C0).poke32(0x1CC, 0x10);
    const auto nitroFiles = filesOf(nitro.build());
    EXPECT_EQ(find(nitroFiles, "banner.bin")->size, 0x840u);
    EXPECT_EQ(find(nitroFiles, "arm9i.bin"), nullptr);
}

TEST(SystemFiles, BannerSizeByVersionAndNoBannerRowWithoutABanner)
{
    const std::pair<std::uint16_t, std::uint64_t> cases[] = {
        {1, 0x840}, {2, 0x940}, {3, 0xA40}, {0x103, 0x23C0}, {7, 0x840}};
    for (const auto& [version, size] : cases) {
        ImageBuilder b = systemImage({});
        b.build();
        b.poke16(b.layout().bannerOffset, version).minSize(0x40000);
        EXPECT_EQ(find(filesOf(b.build()), "banner.bin")->size, size) << version;
    }
    ImageBuilder none = systemImage({});
    none.noBanner();
    EXPECT_EQ(find(filesOf(none.build()), "banner.bin"), nullptr);
}

TEST(SystemFiles, NoOverlaysGiveEmptyTablesAndNoOverlayRows)
{
    ImageBuilder b;
    b.root({cartscope::fixture::Node::file("x", std::string("x"))});
    const auto files = filesOf(b.build());
    EXPECT_EQ(names(files),
              (std::vector<std::string>{"header.bin", "arm9.bin", "arm7.bin", "y9.bin", "y7.bin"}));
    EXPECT_EQ(find(files, "y9.bin")->size, 0u);
    EXPECT_EQ(find(files, "y9.bin")->problem, "");
}

TEST(SystemFiles, OverlayTablesAreBoundedByTheirSizeTheImageAndTheFat)
{
    // The ARM9 table claims four entries, but the image ends after the second: the table is a
    // problem, the two entries inside still give overlays.
    ImageBuilder b = systemImage({});
    Bytes image = b.build();
    const std::uint32_t y9 = b.layout().binaryOffsets[2];
    b.poke32(0x54, 128);
    image = b.build();
    image.resize(y9 + 64);
    auto files = filesOf(image);
    EXPECT_EQ(find(files, "y9.bin")->problem, "its range runs past the end of the image");
    EXPECT_NE(find(files, "overlay/overlay_0001.bin"), nullptr);
    EXPECT_EQ(find(files, "overlay/overlay_0001.bin")->problem, "");

    // A size of nearly 4 GiB reads only what the image holds.
    ImageBuilder huge = systemImage({});
    huge.poke32(0x54, 0xFFFFFFE0);
    files = filesOf(huge.build());
    EXPECT_NE(find(files, "y9.bin")->problem, "");
    EXPECT_LT(files.size(), 64u);

    // A file ID past the FAT, and an entry that ends before it starts.
    ImageBuilder bad = systemImage({});
    bad.build();
    bad.pokeBytes(bad.layout().binaryOffsets[2], overlayEntry(0, 99));
    bad.poke32(bad.layout().fatOffset + 2 * 8, 0x9000)
        .poke32(bad.layout().fatOffset + 2 * 8 + 4, 0x8000);
    files = filesOf(bad.build());
    EXPECT_EQ(find(files, "overlay/overlay_0000.bin")->problem,
              "its file ID 99 is not in the allocation table");
    EXPECT_EQ(find(files, "overlay/overlay_0001.bin")->problem,
              "its allocation entry ends before it starts");
}

TEST(SystemFiles, RowsAreMarkedUnderTheSystemFolderAndProblemsRefuseExtraction)
{
    ImageBuilder b = systemImage({});
    b.poke32(0x3C, 0x7FFFFFFF); // ARM7 size past the end
    const Bytes image = b.build();
    MemoryStream s(image);
    const auto rows = cartscope::core::systemRows(systemFiles(s, decodeHeader(RawHeader::read(s))));
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0].path, "/[system]/header.bin");
    EXPECT_EQ(rows[0].offsetText(), "00000000");
    EXPECT_EQ(rows[0].size, 512);
    EXPECT_TRUE(rows[0].system);
    EXPECT_NO_THROW(cartscope::core::requireExtractable(rows[0]));
    EXPECT_EQ(rows[2].path, "/[system]/arm7.bin");
    try {
        cartscope::core::requireExtractable(rows[2]);
        FAIL() << "no error";
    } catch (const cartscope::core::Error& e) {
        EXPECT_STREQ(e.what(), "Cannot extract \"/[system]/arm7.bin\": its range runs past the "
                               "end of the image");
    }
}

TEST(SystemFiles, TinyAndEmptyImagesNeverThrow)
{
    for (std::size_t n : {0u, 1u, 0x20u, 0x1FFu}) {
        const Bytes image(n, 0xFF);
        const auto files = filesOf(image);
        ASSERT_FALSE(files.empty());
        EXPECT_EQ(files[0].problem.empty(), n >= 0x1000u);
    }
}

} // namespace
