// The system files against the established extractor, ndstool 2.3.1: when the environment names
// its program (NDSTOOL=/path/to/ndstool; bench/ndstool_compare.sh builds one from source), every
// file `extract --system-only` writes must equal the one `ndstool -x` writes. Skipped otherwise.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::readFile;
using cartscope::fixture::systemImage;
using cartscope::fixture::SystemImageOptions;
using cartscope::fixture::TempDir;

namespace fs = std::filesystem;

std::string ndstool()
{
    const char* path = std::getenv("NDSTOOL");
    return path && *path && fs::exists(path) ? path : "";
}

// Runs ndstool -x with every system-file option, then our extraction, and compares. ndstool
// puts the files where its options say; ours land in out/<internal name>/[system]/.
void compare(const ImageBuilder& builder, const std::string& label)
{
    SCOPED_TRACE(label);
    TempDir dir;
    const std::string image = dir.file("g.nds");
    builder.writeTo(image);
    const std::string peer = dir.file("peer/");
    fs::create_directories(peer);
    const std::string command =
        "'" + ndstool() + "' -x '" + image + "' -9 '" + peer + "arm9.bin' -7 '" + peer +
        "arm7.bin' -9i '" + peer + "arm9i.bin' -7i '" + peer + "arm7i.bin' -h '" + peer +
        "header.bin' -y9 '" + peer + "y9.bin' -y7 '" + peer + "y7.bin' -y '" + peer +
        "overlay' -t '" + peer + "banner.bin' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const auto r = cartscope::testcli::cli({"extract", "--system-only", image, dir.file("out")});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path ours = fs::path(dir.file("out")) / "CARTSCOPE" / "[system]";
    std::size_t compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(peer)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path relative = fs::relative(entry.path(), peer);
        ASSERT_TRUE(fs::exists(ours / relative)) << relative;
        EXPECT_EQ(readFile((ours / relative).string()), readFile(entry.path().string()))
            << relative;
        ++compared;
    }
    // And nothing of ours that the peer did not write.
    std::size_t written = 0;
    for (const auto& entry : fs::recursive_directory_iterator(ours))
        written += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(written, compared);
}

TEST(NdstoolCompare, SystemFilesAreByteForByteThePeers)
{
    if (ndstool().empty())
        GTEST_SKIP() << "NDSTOOL does not name an ndstool program";
    compare(systemImage({.footer = true, .idsMatch = true}), "with footer");
    compare(systemImage({.footer = false, .idsMatch = true}), "without footer");
    compare(systemImage({.idsMatch = true, .dsi = true}), "DSi");
    ImageBuilder plain; // no overlays, a 0x4000-byte header area, a banner
    plain.root({cartscope::fixture::Node::file("x.bin", std::string("x"))})
        .banner(cartscope::fixture::sampleBanner());
    compare(plain, "no overlays");
    ImageBuilder v3 = systemImage({.idsMatch = true});
    v3.build();
    v3.poke16(v3.layout().bannerOffset, 3);
    compare(v3, "banner version 3");
}

// A tree without a layout laid out by `build` and by `ndstool -c -h header.bin`: byte for byte
// the same where no folder holds more than one subfolder (ndstool numbers folders in the order
// the file system lists them); otherwise `ndstool -x` of both gives the same files.
void compareFresh(const std::vector<std::string>& files, bool overlays, bool identical,
                  const std::string& label)
{
    SCOPED_TRACE(label);
    TempDir dir;
    const std::string tree = dir.file("T");
    const std::string sys = tree + "/[system]/";
    fs::create_directories(sys + "overlay");
    Bytes header(0x200, 0);
    const auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put32(0x24, 0x02000800);
    put32(0x28, 0x02000000);
    put32(0x84, 0x4000);
    cartscope::fixture::writeFile(sys + "header.bin", header);
    cartscope::fixture::writeFile(sys + "arm9.bin", cartscope::fixture::pattern(9000, 1));
    cartscope::fixture::writeFile(sys + "arm7.bin", cartscope::fixture::pattern(4001, 2));
    std::string extra;
    if (overlays) {
        Bytes y9 = cartscope::fixture::overlayEntry(0, 0);
        const Bytes second = cartscope::fixture::overlayEntry(1, 1);
        y9.insert(y9.end(), second.begin(), second.end());
        cartscope::fixture::writeFile(sys + "y9.bin", y9);
        cartscope::fixture::writeFile(sys + "overlay/overlay_0000.bin",
                                      cartscope::fixture::pattern(333, 3));
        cartscope::fixture::writeFile(sys + "overlay/overlay_0001.bin",
                                      cartscope::fixture::pattern(1500, 4));
        cartscope::fixture::writeFile(sys + "banner.bin", cartscope::fixture::pattern(0x840, 5));
        extra = " -y9 '" + sys + "y9.bin' -y '" + sys + "overlay' -t '" + sys + "banner.bin'";
    }
    const std::string data = dir.file("data");
    fs::create_directories(data);
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (const std::string& root : {tree, data}) {
            fs::create_directories(fs::path(root + "/" + files[i]).parent_path());
            cartscope::fixture::writeFile(root + "/" + files[i],
                                          cartscope::fixture::pattern(100 + 37 * i, 10 + i));
        }
    }
    const std::string peer = dir.file("peer.nds");
    const std::string command = "'" + ndstool() + "' -c '" + peer + "' -9 '" + sys +
                                "arm9.bin' -7 '" + sys + "arm7.bin' -h '" + sys +
                                "header.bin' -d '" + data + "'" + extra + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string ours = dir.file("ours.nds");
    const auto r = cartscope::testcli::cli({"build", tree, ours});
    ASSERT_EQ(r.status, 0) << r.err;
    if (identical) {
        EXPECT_TRUE(readFile(ours) == readFile(peer)) << "the images differ";
    }
    for (const std::string side : {"peer", "ours"}) {
        const std::string x = dir.file("x-" + side);
        const std::string extract = "'" + ndstool() + "' -x '" + dir.file(side + ".nds") +
                                    "' -9 '" + x + "/arm9.bin' -7 '" + x + "/arm7.bin' -h '" + x +
                                    "/header.bin' -y9 '" + x + "/y9.bin' -y '" + x +
                                    "/overlay' -t '" + x + "/banner.bin' -d '" + x +
                                    "/data' >/dev/null";
        fs::create_directories(x);
        ASSERT_EQ(std::system(extract.c_str()), 0) << extract;
    }
    const auto peerFiles = cartscope::fixture::filesBelow(dir.file("x-peer"));
    EXPECT_EQ(peerFiles, cartscope::fixture::filesBelow(dir.file("x-ours")));
    EXPECT_GT(peerFiles.size(), files.size());
}

TEST(NdstoolCompare, FreshTreesAreLaidOutAsThePackerLaysThemOut)
{
    if (ndstool().empty())
        GTEST_SKIP() << "NDSTOOL does not name an ndstool program";
    compareFresh({"a.bin", "B.bin", "_x", "d/e/f.bin", "d/g", "d/.hidden"}, true, true, "chain");
    compareFresh({}, false, true, "no files");
    compareFresh({"z/a", "m/b", "a/c", "m/q/d", "m/p/e", "top"}, false, false, "wide");
}

} // namespace
