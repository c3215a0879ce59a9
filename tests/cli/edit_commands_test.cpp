// trim, pad, fix, diff and patch on the command line: what they write, what they refuse, and
// that a refusal, a failure or Ctrl-C leaves nothing behind.
#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/dat_fixture.h"

namespace cartscope {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using testcli::cli;

constexpr const char* kWarning = "the image no longer boots from a cartridge slot on a DSi or "
                                 "3DS; flash cards and emulators are unaffected";

// An image of 0x9000 used bytes on a 256 KiB chip, cut to `size` and padded with `fill`.
Bytes image(std::size_t size, std::uint8_t fill = 0xFF)
{
    Bytes b = ImageBuilder().gameCode("ABCE").deviceCapacity(1).minSize(0x9000).build();
    for (std::size_t i = 0x8000; i < 0x9000; ++i)
        b[i] = static_cast<std::uint8_t>(i * 13 + 5);
    b.resize(size, fill);
    return b;
}

std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    for (dirent* e = dir ? ::readdir(dir) : nullptr; e; e = ::readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.emplace_back(e->d_name);
    if (dir)
        ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(CliTrim, CutsPaddingAndRefusesData)
{
    fixture::TempDir dir;
    Bytes withData = image(0x40000);
    withData[0x30000] = 0x12;
    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<std::string> extra;
        int status;
        std::size_t written; // 0: nothing written
        const char* says;
    };
    const Case cases[] = {
        {"0xFF padding", image(0x40000), {}, 0, 0x9000, "(225280 bytes of 0xFF cut)"},
        {"0x00 padding", image(0x40000, 0x00), {}, 0, 0x9000, "of 0x00 cut"},
        {"nothing to cut", image(0x9000), {}, 0, 0x9000, "nothing to cut"},
        {"data after the used size", withData, {}, 1, 0, "data at 0x30000 (--force cuts them)"},
        {"data cut with --force", withData, {"--force"}, 0, 0x9000, "data from 0x30000"},
        {"over-trimmed", image(0x8000), {}, 1, 0, "over-trimmed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.file("in.nds");
        const std::string out = dir.file("out.nds");
        ::unlink(out.c_str());
        fixture::writeFile(in, c.bytes);
        std::vector<std::string> args = {"trim"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.insert(args.end(), {in, out});
        const auto r = cli(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
        if (c.written == 0) {
            EXPECT_FALSE(exists(out));
        } else {
            const Bytes b = fixture::readFile(out);
            EXPECT_EQ(b, Bytes(c.bytes.begin(), c.bytes.begin() + c.written));
        }
        EXPECT_EQ(namesIn(dir.path()).size(), c.written ? 2u : 1u);
    }
}

TEST(CliPad, SizesFillsAndRefusals)
{
    fixture::TempDir dir;
    const std::string in = dir.file("in.nds");
    fixture::writeFile(in, image(0x9000));
    struct Case {
        std::vector<std::string> options;
        int status;
        std::size_t size;
        std::uint8_t fill;
    };
    const Case cases[] = {
        {{}, 0, 0x40000, 0xFF},
        {{"--fill", "00"}, 0, 0x40000, 0x00},
        {{"--size", "pow2"}, 0, 0x10000, 0xFF},
        {{"--size", "0x9800", "--fill", "ff"}, 0, 0x9800, 0xFF},
        {{"--size", "40960"}, 0, 40960, 0xFF},
        {{"--size", "0x9000"}, 0, 0x9000, 0xFF},
        {{"--size", "100"}, 1, 0, 0},         // smaller than the image
        {{"--size", "0x200000000"}, 1, 0, 0}, // past 4 GiB
        {{"--size", "big"}, 2, 0, 0},
        {{"--fill", "7f"}, 2, 0, 0},
        {{"--dat", "x.dat", "--fill", "00"}, 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? std::string("defaults") : c.options[1]);
        const std::string out = dir.file("out.nds");
        ::unlink(out.c_str());
        std::vector<std::string> args = {"pad"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {in, out});
        const auto r = cli(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_FALSE(exists(out));
            continue;
        }
        Bytes want = image(0x9000);
        want.resize(c.size, c.fill);
        EXPECT_EQ(fixture::readFile(out), want);
    }
}

TEST(CliPad, TrimThenPadGivesTheOriginalBack)
{
    fixture::TempDir dir;
    for (const std::uint8_t fill : {std::uint8_t{0xFF}, std::uint8_t{0x00}}) {
        SCOPED_TRACE(static_cast<int>(fill));
        const Bytes original = image(0x40000, fill);
        fixture::writeFile(dir.file("a.nds"), original);
        ASSERT_EQ(cli({"trim", "--force", dir.file("a.nds"), dir.file("t.nds")}).status, 0);
        const std::string fillText = fill == 0xFF ? "ff" : "00";
        ASSERT_EQ(cli({"pad", "--force", "--fill", fillText, dir.file("t.nds"), dir.file("p.nds")})
                      .status,
                  0);
        EXPECT_EQ(fixture::readFile(dir.file("p.nds")), original);
    }
}

TEST(CliPad, DatPicksTheFillAndSizeThatMatch)
{
    fixture::TempDir dir;
    const Bytes full = image(0x40000, 0x00);
    const Bytes trimmed = image(0x9000);
    const Bytes other = image(0x20000, 0xFF);
    fixture::writeFile(dir.file("t.nds"), trimmed);
    fixture::writeFile(dir.file("full.nds"), full);
    const auto dat = [&](const Bytes& entry) {
        const std::string path = dir.file("set.dat");
        const std::string xml = testdat::datXml("Set", "1", {testdat::rom("Game (USA)", entry)});
        fixture::writeFile(path, Bytes(xml.begin(), xml.end()));
        return path;
    };
    struct Case {
        const char* name;
        Bytes entry;
        std::string input;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"0x00 to the chip size", full, "t.nds", 0, "matches Game (USA)"},
        {"0xFF to 128 KiB", other, "t.nds", 0, "131072 bytes"},
        {"no entry matches", image(0x40000, 0x11), "t.nds", 1, "No DAT entry matches"},
        {"already whole", full, "full.nds", 1, "nothing to pad"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.file("out.nds");
        ::unlink(out.c_str());
        const auto r = cli({"pad", "--dat", dat(c.entry), dir.file(c.input), out});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
        if (c.status == 0)
            EXPECT_EQ(fixture::readFile(out), c.entry);
        else
            EXPECT_FALSE(exists(out));
    }
}

TEST(CliFix, PrintsEachChangedFieldAndWarnsForSignedImages)
{
    fixture::TempDir dir;
    const Bytes good = ImageBuilder().gameCode("ABCE").banner(fixture::sampleBanner()).build();
    const std::uint32_t banner =
        good[0x68] | (good[0x69] << 8) | (good[0x6A] << 16) | (good[0x6B] << 24);
    Bytes badHeader = good;
    badHeader[0x15E] = 0x34;
    badHeader[0x15F] = 0x12;
    Bytes badBoth = badHeader;
    badBoth[banner + 2] ^= 0xFF;
    Bytes dsiSigned = ImageBuilder().gameCode("ABCE").unitCode(0x03).poke8(0xF80, 1).build();
    dsiSigned[0x15E] ^= 0x01;
    const std::uint16_t right = fixture::crc16Modbus(good.data(), 0x15E);
    const auto hex4 = [](unsigned v) {
        char b[5];
        std::snprintf(b, sizeof b, "%04X", v);
        return std::string(b);
    };
    struct Case {
        const char* name;
        Bytes bytes;
        std::string out;
        bool warns;
    };
    const Case cases[] = {
        {"nothing to change", good, "", false},
        {"header CRC-16", badHeader, "HeaderCRC16: 1234 -> " + hex4(right) + "\n", false},
        {"header and banner", badBoth, "HeaderCRC16: 1234 -> " + hex4(right) + "\n", false},
        {"a signed DSi header", dsiSigned, "HeaderCRC16: ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.file("out.nds");
        ::unlink(out.c_str());
        fixture::writeFile(dir.file("in.nds"), c.bytes);
        const auto r = cli({"fix", dir.file("in.nds"), out});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(r.err.find(kWarning) != std::string::npos, c.warns) << r.err;
        const Bytes fixed = fixture::readFile(out);
        EXPECT_EQ(fixed[0x15E] | (fixed[0x15F] << 8), fixture::crc16Modbus(fixed.data(), 0x15E));
        // Once fixed, nothing more to change.
        const auto again = cli({"fix", out, dir.file("again.nds")});
        EXPECT_EQ(again.out, "");
        ::unlink(dir.file("again.nds").c_str());
    }
    // The banner line follows the header's.
    fixture::writeFile(dir.file("in.nds"), badBoth);
    ::unlink(dir.file("out.nds").c_str());
    const auto r = cli({"fix", dir.file("in.nds"), dir.file("out.nds")});
    EXPECT_NE(r.out.find("\nBannerCRC16[020-83F]: "), std::string::npos) << r.out;
}

TEST(CliPatch, DiffThenPatchGivesTheEditedImageForBpsAndIpsApplies)
{
    fixture::TempDir dir;
    const Bytes original = image(0x40000);
    Bytes edited = original;
    edited[0x8123] ^= 0xFF;
    edited.insert(edited.begin() + 0x8800, 300, 0x42);
    edited.resize(0x50000, 0x00);
    fixture::writeFile(dir.file("a.nds"), original);
    fixture::writeFile(dir.file("b.nds"), edited);
    const auto diff = cli({"diff", dir.file("a.nds"), dir.file("b.nds"), dir.file("p.bps")});
    ASSERT_EQ(diff.status, 0) << diff.err;
    const auto patch = cli({"patch", dir.file("a.nds"), dir.file("p.bps"), dir.file("c.nds")});
    ASSERT_EQ(patch.status, 0) << patch.err;
    EXPECT_EQ(fixture::readFile(dir.file("c.nds")), edited);
    // Against another image the source CRC-32 refuses it.
    const auto wrong = cli({"patch", dir.file("b.nds"), dir.file("p.bps"), dir.file("d.nds")});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_FALSE(exists(dir.file("d.nds")));

    // An IPS patch: one record and a truncation.
    const Bytes ips = {'P',  'A',  'T',  'C', 'H', 0x00, 0x80, 0x00, 0x00,
                       0x02, 0xAA, 0xBB, 'E', 'O', 'F',  0x00, 0x90, 0x00};
    fixture::writeFile(dir.file("p.ips"), ips);
    ASSERT_EQ(cli({"patch", dir.file("a.nds"), dir.file("p.ips"), dir.file("e.nds")}).status, 0);
    Bytes want(original.begin(), original.begin() + 0x9000);
    want[0x8000] = 0xAA;
    want[0x8001] = 0xBB;
    EXPECT_EQ(fixture::readFile(dir.file("e.nds")), want);

    fixture::writeFile(dir.file("junk.bin"), {'N', 'O', 'P', 'E'});
    const auto junk = cli({"patch", dir.file("a.nds"), dir.file("junk.bin"), dir.file("f.nds")});
    EXPECT_EQ(junk.status, 1);
    EXPECT_NE(junk.err.find("neither a BPS nor an IPS patch"), std::string::npos);
    EXPECT_FALSE(exists(dir.file("f.nds")));
}

TEST(CliWrite, ExistingOutputsAndTheInputItselfAreRefusedWithoutTheirOption)
{
    fixture::TempDir dir;
    const Bytes original = image(0x40000);
    const std::string in = dir.file("in.nds");
    const std::string other = dir.file("other.nds");
    struct Case {
        const char* name;
        std::vector<std::string> args; // OUT is last
        int status;
        bool replaced; // OUT holds the trimmed image afterwards
    };
    const Case cases[] = {
        {"existing OUT", {"trim", in, other}, 1, false},
        {"existing OUT with --force", {"trim", "--force", in, other}, 0, true},
        {"the input", {"trim", in, in}, 1, false},
        {"the input with --force", {"trim", "--force", in, in}, 1, false},
        {"the input through a link", {"trim", in, dir.file("link.nds")}, 1, false},
        {"the input through a hard link", {"trim", in, dir.file("hard.nds")}, 1, false},
        {"the input in place", {"trim", "--in-place", in, in}, 0, true},
        {"in place through a link", {"trim", "--in-place", in, dir.file("link.nds")}, 0, true},
        {"diff over an input", {"diff", "--force", in, other, other}, 1, false},
        {"in place is not for diff", {"diff", "--in-place", in, other, in}, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixture::writeFile(in, original);
        fixture::writeFile(other, {1, 2, 3});
        ::unlink(dir.file("link.nds").c_str());
        ::unlink(dir.file("hard.nds").c_str());
        ASSERT_EQ(::symlink("in.nds", dir.file("link.nds").c_str()), 0);
        ASSERT_EQ(::link(in.c_str(), dir.file("hard.nds").c_str()), 0);
        const auto r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::string& out = c.args.back();
        const std::string target = out == dir.file("link.nds") ? in : out;
        const Bytes after = fixture::readFile(target);
        if (c.replaced)
            EXPECT_EQ(after, Bytes(original.begin(), original.begin() + 0x9000));
        else
            EXPECT_EQ(after.size(), target == other ? 3u : original.size());
        // The link stays a link; nothing else appears.
        struct stat st {};
        ASSERT_EQ(::lstat(dir.file("link.nds").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(namesIn(dir.path()).size(), 4u);
    }
}

TEST(CliWrite, CtrlCLeavesNothingBehind)
{
    fixture::TempDir dir;
    fixture::writeFile(dir.file("a.nds"), image(0x40000));
    fixture::writeFile(dir.file("b.nds"), image(0x40000, 0x00));
    const std::vector<std::vector<std::string>> commands = {
        {"trim", dir.file("a.nds"), dir.file("out")},
        {"pad", "--size", "0x80000", dir.file("a.nds"), dir.file("out")},
        {"fix", dir.file("a.nds"), dir.file("out")},
        {"diff", dir.file("a.nds"), dir.file("b.nds"), dir.file("out")},
    };
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0]);
        cli::g_interrupted = true;
        const auto r = cli(args);
        cli::g_interrupted = false;
        EXPECT_EQ(r.status, 130);
        EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"a.nds", "b.nds"}));
    }
}

// A write that fails half way (the file-size limit stands in for a full disk): exit 1, the
// reason on stderr, and no file at all. The real program runs, since the limit is per process.
TEST(CliWrite, AFailedWriteLeavesNothing)
{
    fixture::TempDir dir;
    fixture::writeFile(dir.file("a.nds"), image(0x9000));
    const std::string program = std::string(CARTSCOPE_BINARY_DIR) + "/cli/cartscope-cli";
    const std::string command = "cd '" + dir.path() + "' && trap '' XFSZ && ulimit -f 64 && '" +
                                program + "' pad a.nds out.nds 2> err.txt";
    const int status = std::system(("bash -c \"" + command + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const Bytes err = fixture::readFile(dir.file("err.txt"));
    EXPECT_NE(
        std::string(err.begin(), err.end()).find("Cannot write file \"out.nds\". File too large"),
        std::string::npos);
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"a.nds", "err.txt"}));
}

} // namespace
} // namespace cartscope
