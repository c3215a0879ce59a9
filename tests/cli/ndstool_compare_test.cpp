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

} // namespace
