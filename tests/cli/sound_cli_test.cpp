#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/compress/encode.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"
#include "tests/fixture/sound_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;
using cartscope::fixture::readFile;
using cartscope::fixture::TempDir;
using cartscope::testcli::cli;
namespace fx = cartscope::fixture;
namespace fs = std::filesystem;

fx::SoundEntryFields entry(const std::string& name, Bytes file)
{
    fx::SoundEntryFields e;
    e.name = name;
    e.file = std::move(file);
    return e;
}

// An archive with one of each kind the command converts.
Bytes soundArchive()
{
    fx::SdatFields f;
    // Note 60 for 48 ticks, then a jump back to it.
    f.sequences = {entry("BGM", fx::sseqFile({0x3C, 0x64, 0x30, 0x94, 0x00, 0x00, 0x00}))};
    f.sequenceArchives = {entry("", fx::ssarFile({0xFF, 0x40, 0x50, 0x10, 0xFF}, {1}))};
    f.banks = {entry("BANK", fx::sbnkFile({{1, fx::noteDefinition(1, 0, 60)}}))};
    f.banks[0].waveArchives = {0, 0xFFFF, 0xFFFF, 0xFFFF};
    f.waveArchives = {entry("WA", fx::swarFile({fx::waveBytes(1, false, 8000, 0, 2, Bytes(8, 1)),
                                                fx::waveBytes(0, true, 8000, 1, 1, Bytes(8, 2)),
                                                fx::waveBytes(1, false, 8000, 0, 99, {})}))};
    fx::StrmFields s;
    s.samples = 4;
    s.blocks = 1;
    s.blockLength = s.lastLength = 8;
    s.blockSamples = s.lastSamples = 4;
    s.data = {1, 0, 2, 0, 3, 0, 4, 0};
    s.rate = 16000;
    f.streams = {entry("MUSIC", fx::strmFile(s))};
    return fx::sdatArchive(f);
}

// An image holding /snd/s.sdat; with `nested`, also the archive inside a NARC (/snd/a.narc/
// sound_data.sdat), LZ10-compressed (/snd/c.sdat) and compressed inside an LZ11-compressed
// NARC (/snd/c.narc/in/z.sdat).
std::string soundImage(const TempDir& dir, bool nested = false)
{
    using cartscope::core::Codec;
    const Bytes sdat = soundArchive();
    std::vector<Node> files{Node::file("s.sdat", sdat)};
    if (nested) {
        files.push_back(Node::file(
            "a.narc", fx::narcArchive({{"sound_data.sdat", sdat}, {"x.bin", {1, 2}}}, true)));
        files.push_back(Node::file("c.sdat", cartscope::core::compress(Codec::Lz10, sdat)));
        const Bytes inner =
            fx::narcArchive({{"in/z.sdat", cartscope::core::compress(Codec::Lz10, sdat)}}, true);
        files.push_back(Node::file("c.narc", cartscope::core::compress(Codec::Lz11, inner)));
    }
    ImageBuilder b;
    b.root({Node::dir("snd", files)});
    const std::string path = dir.file("g.nds");
    fx::writeFile(path, b.build());
    return path;
}

std::vector<std::string> firstColumn(const std::string& text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        v.push_back(line.substr(0, line.find('\t')));
    return v;
}

TEST(CliSound, ListAndExtractUseTheArchivesLayout)
{
    TempDir dir;
    const std::string image = soundImage(dir);
    const auto list = cli({"list", "--sdat", "/snd/s.sdat", image});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::vector<std::string> expected = {
        "/snd/s.sdat/sequences/BGM.sseq",
        "/snd/s.sdat/sequenceArchives/SEQARC_0000.ssar",
        "/snd/s.sdat/banks/BANK.sbnk",
        "/snd/s.sdat/waveArchives/WA.swar",
        "/snd/s.sdat/streams/MUSIC.strm",
        "/snd/s.sdat/sequenceArchives/SEQARC_0000.ssar/SEQ_0000.sseq",
        "/snd/s.sdat/waveArchives/WA.swar/0000.swav",
        "/snd/s.sdat/waveArchives/WA.swar/0001.swav",
        "/snd/s.sdat/waveArchives/WA.swar/0002.swav",
    };
    EXPECT_EQ(firstColumn(list.out), expected);
    const auto json = cli({"list", "--json", "--sdat", "/snd/s.sdat", image});
    EXPECT_NE(json.out.find("\"path\": \"/snd/s.sdat/banks/BANK.sbnk\""), std::string::npos);
    EXPECT_EQ(cli({"list", "--sdat", "/snd/s.sdat", "--system", image}).status, 2);
    EXPECT_EQ(cli({"list", "--sdat", "/snd", image}).status, 1);

    const auto ex = cli({"extract", "--sdat", "/snd/s.sdat", image, dir.file("out")});
    ASSERT_EQ(ex.status, 0) << ex.err;
    EXPECT_TRUE(fs::is_regular_file(dir.file("out/s/streams/MUSIC.strm")));
    EXPECT_EQ(readFile(dir.file("out/s/banks/BANK.sbnk")).size(), 0x40u + 10);
}

TEST(CliSound, EachKindConvertsToItsStandardFile)
{
    TempDir dir;
    const std::string image = soundImage(dir);
    const std::string base = "/snd/s.sdat";
    const auto strm = cli({"sound", image, base + "/streams/MUSIC.strm", dir.file("m.wav")});
    ASSERT_EQ(strm.status, 0) << strm.err;
    EXPECT_EQ(strm.out, dir.file("m.wav") + ": STRM, PCM16, mono, 16000 Hz, 0:00\n");
    const Bytes wav = readFile(dir.file("m.wav"));
    EXPECT_EQ(Bytes(wav.end() - 8, wav.end()), (Bytes{1, 0, 2, 0, 3, 0, 4, 0}));

    const auto seq =
        cli({"sound", "--json", image, base + "/sequences/BGM.sseq", dir.file("b.mid")});
    ASSERT_EQ(seq.status, 0) << seq.err;
    EXPECT_NE(seq.out.find("\"loops\": true"), std::string::npos) << seq.out;
    EXPECT_EQ(readFile(dir.file("b.mid"))[0], 'M');
    const auto member =
        cli({"sound", image, base + "/sequenceArchives/SEQARC_0000.ssar/SEQ_0000.sseq",
             dir.file("a.mid")});
    EXPECT_EQ(member.out, dir.file("a.mid") + ": SSEQ, 1 track, 1 notes\n") << member.err;

    // The third wave declares more than it holds: told, the others still written.
    const auto swar = cli({"sound", image, base + "/waveArchives/WA.swar", dir.file("w")});
    EXPECT_EQ(swar.status, 1);
    EXPECT_EQ(swar.out, "Wrote 2 waves to " + dir.file("w") + ", 1 failed\n");
    EXPECT_NE(swar.err.find("0002.swav\" declares 198 samples but holds 0"), std::string::npos)
        << swar.err;
    EXPECT_TRUE(fs::is_regular_file(dir.file("w/0001.wav")));

    const auto bank = cli({"sound", image, base + "/banks/BANK.sbnk", dir.file("bank")});
    ASSERT_EQ(bank.status, 0) << bank.err;
    EXPECT_EQ(bank.out, "program 0: keys 0-127 wave archive 0 wave 1, base key 60, envelope "
                        "127/127/127/127, pan 64\n");
    EXPECT_TRUE(fs::is_regular_file(dir.file("bank.sf2")));

    EXPECT_EQ(cli({"sound", image, base + "/sequenceArchives/SEQARC_0000.ssar", dir.file("x")}).err,
              "\"/snd/s.sdat/sequenceArchives/SEQARC_0000.ssar\" is a sequence archive; convert "
              "one of its sequences.\n");
    EXPECT_EQ(cli({"sound", image, base + "/streams/NONE.strm", dir.file("x")}).err,
              "No file \"/snd/s.sdat/streams/NONE.strm\" in the image.\n");
}

// An archive inside a NARC, compressed, or both opens as one in the tree does; entries that are
// not in the image as they are show "-" for their offset.
TEST(CliSound, ArchivesInsideNarcsAndCompressedOnesOpenAlike)
{
    TempDir dir;
    const std::string image = soundImage(dir, true);
    const auto plain = cli({"list", "--sdat", "/snd/s.sdat", image});
    ASSERT_EQ(plain.status, 0) << plain.err;
    struct Case {
        std::string archive;
        bool inImage; // the entries lie in the image as they are
    };
    for (const Case& c : {Case{"/snd/a.narc/sound_data.sdat", true}, Case{"/snd/c.sdat", false},
                          Case{"/snd/c.narc/in/z.sdat", false}}) {
        SCOPED_TRACE(c.archive);
        const auto list = cli({"list", "--sdat", c.archive, image});
        ASSERT_EQ(list.status, 0) << list.err;
        std::vector<std::string> expected;
        for (const std::string& p : firstColumn(plain.out))
            expected.push_back(c.archive + p.substr(std::string("/snd/s.sdat").size()));
        EXPECT_EQ(firstColumn(list.out), expected);
        const std::string bank = list.out.substr(list.out.find("/banks/BANK.sbnk\t"));
        EXPECT_EQ(bank.substr(bank.find('\t'), 3) == "\t-\t", !c.inImage) << bank;
        const auto json = cli({"list", "--json", "--sdat", c.archive, image});
        EXPECT_EQ(json.out.find("\"offset\": null") != std::string::npos, !c.inImage) << json.out;

        const auto strm =
            cli({"sound", image, c.archive + "/streams/MUSIC.strm", dir.file("m.wav")});
        ASSERT_EQ(strm.status, 0) << strm.err;
        const Bytes wav = readFile(dir.file("m.wav"));
        EXPECT_EQ(Bytes(wav.end() - 8, wav.end()), (Bytes{1, 0, 2, 0, 3, 0, 4, 0}));

        const std::string out = dir.file("x" + std::to_string(c.archive.size()));
        const auto ex = cli({"extract", "--sdat", c.archive, image, out});
        ASSERT_EQ(ex.status, 0) << ex.err;
        const std::string folder = c.archive.substr(c.archive.rfind('/') + 1);
        EXPECT_EQ(
            readFile(out + "/" + folder.substr(0, folder.find('.')) + "/banks/BANK.sbnk").size(),
            0x40u + 10);
    }
    // A file inside a NARC that is not a sound archive, and a member that is not there.
    EXPECT_EQ(cli({"list", "--sdat", "/snd/a.narc/x.bin", image}).status, 1);
    EXPECT_EQ(cli({"list", "--sdat", "/snd/a.narc/none.sdat", image}).err,
              "No file \"/snd/a.narc/none.sdat\" in the image.\n");
}

} // namespace
