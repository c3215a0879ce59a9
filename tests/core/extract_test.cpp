#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/extract/dir_ops.h"
#include "core/extract/extract.h"
#include "core/extract/space.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace {

namespace fs = std::filesystem;
using cartscope::core::cleanName;
using cartscope::core::DirectoryOps;
using cartscope::core::Error;
using cartscope::core::ExtractOptions;
using cartscope::core::extractPlanned;
using cartscope::core::ExtractProgress;
using cartscope::core::FileRow;
using cartscope::core::FileStream;
using cartscope::core::MemoryStream;
using cartscope::core::planExtraction;
using cartscope::core::runExtraction;
using cartscope::fixture::Bytes;
using cartscope::fixture::filesBelow;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;
using cartscope::fixture::readFile;
using cartscope::fixture::TempDir;
using cartscope::fixture::writeFile;

// The run as the window makes it: progress only, stopping at the first failure.
cartscope::core::ExtractSummary
extractAll(cartscope::core::Stream& image, const std::vector<cartscope::core::PlannedFile>& plan,
           const std::function<bool(const ExtractProgress&)>& onProgress)
{
    ExtractOptions options;
    options.onProgress = onProgress;
    return runExtraction(image, plan, options);
}

Bytes pattern(std::size_t n, unsigned seed)
{
    Bytes b(n);
    for (auto& v : b) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(seed >> 16);
    }
    return b;
}

std::string text(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

// 64 bytes of image: "0123456789..." so any range reads back recognisably.
Bytes smallImage()
{
    Bytes b(64);
    for (std::size_t k = 0; k < b.size(); ++k)
        b[k] = static_cast<std::uint8_t>('0' + k % 10);
    return b;
}

std::string errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

TEST(Extract, CleanName)
{
    EXPECT_EQ(cleanName("icon.bin"), "icon.bin");
    EXPECT_EQ(cleanName("CON"), "CON");
    EXPECT_EQ(cleanName("caf\xE9 .x"), "caf\xE9 .x");
    EXPECT_EQ(cleanName(""), "_");
    EXPECT_EQ(cleanName("."), "_.");
    EXPECT_EQ(cleanName(".."), "_..");
    EXPECT_EQ(cleanName("..."), "...");
    EXPECT_EQ(cleanName("a/b"), "a_b");
    EXPECT_EQ(cleanName("a\\b"), "a_b");
    EXPECT_EQ(cleanName(std::string("a\0b", 3)), "a_b");
    EXPECT_EQ(cleanName("t\x01\x1F\x7F"), "t___");
    EXPECT_EQ(cleanName("../x"), ".._x");
}

TEST(Extract, WholeTreeMatchesTheImageBytes)
{
    ImageBuilder b;
    const std::map<std::string, Bytes> expected{
        {"readme.txt", pattern(100, 1)},
        {"data/level1.bin", pattern(3000, 2)},
        {"data/sound/bgm.sdat", pattern(70000, 3)},
        {"data/sound/se.sdat", pattern(700, 4)},
        {"gfx/font.nftr", pattern(2048, 5)},
        {"empty.dat", Bytes{}},
    };
    b.firstFileId(2).root({
        Node::file("readme.txt", expected.at("readme.txt")),
        Node::dir("data",
                  {Node::file("level1.bin", expected.at("data/level1.bin")),
                   Node::dir("sound", {Node::file("bgm.sdat", expected.at("data/sound/bgm.sdat")),
                                       Node::file("se.sdat", expected.at("data/sound/se.sdat"))})}),
        Node::dir("gfx", {Node::file("font.nftr", expected.at("gfx/font.nftr"))}),
        Node::file("empty.dat", Bytes{}),
    });
    TempDir tmp;
    const Bytes image = b.build();
    writeFile(tmp.file("img.nds"), image);
    std::vector<cartscope::core::TFileEntry> files;
    std::vector<cartscope::core::TDirEntry> dirs;
    FileStream stream(tmp.file("img.nds"));
    cartscope::core::ParseFNT(stream, b.layout().fntOffset, b.layout().fatOffset, files, dirs);
    const auto rows = cartscope::core::ParseArraysToList(files, dirs);

    // Through copy_file_range (FileStream) and through the buffered loop (MemoryStream).
    MemoryStream memory(image);
    for (cartscope::core::Stream* s : {static_cast<cartscope::core::Stream*>(&stream),
                                       static_cast<cartscope::core::Stream*>(&memory)}) {
        const std::string out = tmp.file(s == &stream ? "file" : "memory");
        fs::create_directory(out);
        const auto plan = planExtraction(out, "MYGAME", rows);
        std::size_t calls = 0;
        const auto summary = extractAll(*s, plan, [&](const ExtractProgress& p) {
            EXPECT_EQ(p.done, calls);
            EXPECT_EQ(p.total, rows.size());
            EXPECT_EQ(p.current == nullptr, calls == rows.size());
            ++calls;
            return true;
        });
        EXPECT_EQ(calls, rows.size() + 1);
        EXPECT_EQ(summary.files, rows.size());
        EXPECT_EQ(summary.bytes, 100u + 3000 + 70000 + 700 + 2048);
        EXPECT_FALSE(summary.cancelled);
        EXPECT_EQ(filesBelow(out + "/MYGAME"), expected);
    }
}

TEST(Extract, SingleRowCreatesTheInternalNameFolder)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    const auto plan =
        planExtraction(tmp.path(), "MYGAME", {FileRow{"/a/b/icon.bin", 0x0000000A, 5}});
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].relative, "MYGAME/a/b/icon.bin");
    EXPECT_EQ(plan[0].full(), tmp.path() + "/MYGAME/a/b/icon.bin");
    EXPECT_EQ(extractPlanned(s, plan[0]), 5u);
    EXPECT_EQ(text(readFile(plan[0].full())), "01234");

    // Offsets are unsigned: 0x80000000 is past this image, not a negative position.
    const auto far = planExtraction(tmp.path() + "/", "G", {FileRow{"/f", 0x80000000, 1}});
    EXPECT_EQ(far[0].offset, 0x80000000u);
    EXPECT_EQ(far[0].full(), tmp.path() + "/G/f");
}

TEST(Extract, EmptyAndOverwrittenFiles)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    fs::create_directories(tmp.file("G"));
    writeFile(tmp.file("G/old"), Bytes(1000, 'x'));
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{"/zero", 0x00000000, 0}, FileRow{"/neg", 0x00000010, -7},
                        FileRow{"/old", 0x00000003, 2}});
    auto summary = extractAll(s, plan, {});
    EXPECT_EQ(summary.files, 3u);
    EXPECT_EQ(summary.bytes, 2u);
    EXPECT_TRUE(readFile(tmp.file("G/zero")).empty());
    EXPECT_TRUE(readFile(tmp.file("G/neg")).empty());
    EXPECT_EQ(text(readFile(tmp.file("G/old"))), "34");
}

TEST(Extract, LinksAtTheDestinationAreNeverFollowed)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    const std::string outside = tmp.file("outside");
    fs::create_directories(outside);
    writeFile(outside + "/target.txt", Bytes{'k', 'e', 'e', 'p'});
    const std::string base = tmp.file("base");
    fs::create_directories(base + "/G");
    // A link where the file goes is replaced by a regular file; its target is untouched.
    fs::create_symlink(outside + "/target.txt", base + "/G/icon.bin");
    // A link where a folder goes is not followed: the row fails and nothing lands outside.
    fs::create_directory_symlink(outside, base + "/G/data");
    // A second name of an outside file is replaced, not written through.
    fs::create_hard_link(outside + "/target.txt", base + "/G/hard.bin");

    const auto plan =
        planExtraction(base, "G",
                       {FileRow{"/icon.bin", 0x00000000, 3}, FileRow{"/hard.bin", 0x00000000, 2},
                        FileRow{"/data/x.bin", 0x00000000, 3}});
    extractPlanned(s, plan[0]);
    extractPlanned(s, plan[1]);
    EXPECT_FALSE(fs::is_symlink(base + "/G/icon.bin"));
    EXPECT_EQ(text(readFile(base + "/G/icon.bin")), "012");
    EXPECT_EQ(text(readFile(base + "/G/hard.bin")), "01");
    const std::string err = errorOf([&] { extractPlanned(s, plan[2]); });
    EXPECT_EQ(err.rfind("Cannot create file \"" + base + "/G/data/x.bin\". ", 0), 0u) << err;
    EXPECT_EQ(text(readFile(outside + "/target.txt")), "keep");
    EXPECT_FALSE(fs::exists(outside + "/x.bin"));
}

TEST(Extract, TheOpenImageIsNeverOverwritten)
{
    TempDir tmp;
    fs::create_directories(tmp.file("G"));
    writeFile(tmp.file("G/img.nds"), smallImage());
    FileStream image(tmp.file("G/img.nds"));
    const auto plan = planExtraction(tmp.path(), "G", {FileRow{"/img.nds", 0x00000000, 4}});
    EXPECT_EQ(errorOf([&] { extractPlanned(image, plan[0]); }),
              "Cannot create file \"" + tmp.path() + "/G/img.nds\". Device or resource busy");
    EXPECT_EQ(readFile(tmp.file("G/img.nds")), smallImage());
}

TEST(Extract, CancelAfterTheThirdFile)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    std::vector<FileRow> rows;
    for (int k = 0; k < 10; ++k)
        rows.push_back({"/f" + std::to_string(k), 0x00000000, 4});
    const auto plan = planExtraction(tmp.path(), "G", rows);
    bool finalCall = false;
    const auto summary = extractAll(s, plan, [&](const ExtractProgress& p) {
        finalCall = p.current == nullptr;
        return p.done < 3;
    });
    EXPECT_TRUE(summary.cancelled);
    EXPECT_EQ(summary.files, 3u);
    EXPECT_TRUE(finalCall);
    EXPECT_EQ(filesBelow(tmp.file("G")).size(), 3u);
}

TEST(Extract, RangePastTheEndLeavesNoFile)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{"/ok", 0x00000000, 64}, FileRow{"/d/tail", 0x0000003C, 5},
                        FileRow{"/far", 0xFFFFFFFF, 2147483647}});
    EXPECT_EQ(extractPlanned(s, plan[0]), 64u);
    EXPECT_EQ(errorOf([&] { extractPlanned(s, plan[1]); }), "Stream read error");
    EXPECT_EQ(errorOf([&] { extractPlanned(s, plan[2]); }), "Stream read error");
    EXPECT_EQ(filesBelow(tmp.file("G")).size(), 1u);
    EXPECT_FALSE(fs::exists(tmp.file("G/d")));

    // An image that ends early during the copy (it shrank): the partial file is removed.
    struct Shrunk final : cartscope::core::Stream {
        std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
        {
            return position < 10 ? std::min<std::size_t>(out.size(), 10) : 0;
        }
        std::uint64_t size() const override { return 100; }
    } shrunk;
    EXPECT_EQ(errorOf([&] { extractPlanned(shrunk, plan[1]); }), "Stream read error");
    EXPECT_FALSE(fs::exists(tmp.file("G/d/tail")));
}

TEST(Extract, HostileNamesStayInsideTheDestination)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    const std::string base = tmp.file("base");
    fs::create_directory(base);
    const std::vector<FileRow> rows{
        {"/../../up", 0x00000000, 1},
        {"/./dot", 0x00000000, 1},
        {"//empty", 0x00000000, 1},
        {"/a\\b", 0x00000000, 1},
        {std::string("/n\0l", 4), 0x00000000, 1},
        {"/c\x01tl", 0x00000000, 1},
        {"/", 0x00000000, 1},
        {"no-slash/x", 0x00000000, 1},
    };
    const auto plan = planExtraction(base, "../x", rows);
    ASSERT_EQ(plan.size(), rows.size());
    for (const auto& p : plan)
        EXPECT_EQ(p.full().rfind(base + "/.._x/", 0), 0u) << p.full();
    extractAll(s, plan, {});
    const auto written = filesBelow(base);
    EXPECT_EQ(written.size(), rows.size());
    for (const char* name : {".._x/_../_../up", ".._x/_./dot", ".._x/_/empty", ".._x/a_b",
                             ".._x/n_l", ".._x/c_tl", ".._x/_ (2)", ".._x/no-slash/x"})
        EXPECT_TRUE(written.count(name)) << name;
    // Nothing beside the base folder.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(tmp.path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(Extract, CollidingPathsAreKeptWithASuffix)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{"/x.bin", 0x00000000, 1}, FileRow{"/x.bin", 0x00000001, 1},
                        FileRow{"/x\x01.bin", 0x00000002, 1}, // cleans to x_.bin
                        FileRow{"/x_.bin", 0x00000003, 1}, FileRow{"/x.bin", 0x00000004, 1},
                        FileRow{"/d", 0x00000005, 1}, FileRow{"/d/in", 0x00000006, 1},
                        FileRow{"/e/in", 0x00000007, 1}, FileRow{"/e", 0x00000008, 1}});
    std::vector<std::string> rel;
    for (const auto& p : plan)
        rel.push_back(p.relative);
    EXPECT_EQ(rel,
              (std::vector<std::string>{"G/x.bin", "G/x (2).bin", "G/x_.bin", "G/x_ (2).bin",
                                        "G/x (3).bin", "G/d", "G/d (2)/in", "G/e/in", "G/e (2)"}));
    const auto summary = extractAll(s, plan, {});
    EXPECT_EQ(summary.renamed, 5u);
    const auto written = filesBelow(tmp.file("G"));
    EXPECT_EQ(written.size(), plan.size());
    EXPECT_EQ(text(written.at("x (3).bin")), "4");
    EXPECT_EQ(text(written.at("d (2)/in")), "6");
}

TEST(Extract, RowsOfOneFolderPlanAsIfEachWereAlone)
{
    // Consecutive rows of one folder share its planning; a change of folder, or a leading
    // empty component against none at all, plans afresh.
    const auto plan =
        planExtraction("/dest", "G",
                       {FileRow{"//e", 0, 1}, FileRow{"/f", 0, 1}, FileRow{"/d/x", 0, 1},
                        FileRow{"/d/y", 0, 1}, FileRow{"/d", 0, 1}, FileRow{"/d/z", 0, 1},
                        FileRow{"/d/d", 0, 1}, FileRow{"/d/d/w", 0, 1}, FileRow{"/d/d/v", 0, 1}});
    std::vector<std::string> rel;
    std::vector<bool> renamed;
    for (const auto& p : plan) {
        rel.push_back(p.relative);
        renamed.push_back(p.renamed);
        EXPECT_EQ(p.full(), "/dest/" + p.relative);
    }
    EXPECT_EQ(rel, (std::vector<std::string>{"G/_/e", "G/f", "G/d/x", "G/d/y", "G/d (2)", "G/d/z",
                                             "G/d/d", "G/d/d (2)/w", "G/d/d (2)/v"}));
    EXPECT_EQ(renamed,
              (std::vector<bool>{false, false, false, false, true, false, false, true, true}));
}

TEST(Extract, APlannerGivenMoreRowsThanExpectedPlansTheSame)
{
    // Short paths live inside their records, which move when the plan outgrows what was
    // expected: the names taken so far must still be known after the move.
    std::vector<FileRow> rows;
    for (int k = 0; k < 40; ++k) {
        rows.push_back(FileRow{"/d/x", 0, 1});
        rows.push_back(FileRow{"/d", 0, 1});
        rows.push_back(FileRow{"/e/d/" + std::to_string(k % 3), 0, 1});
        rows.push_back(FileRow{"/e", 0, 1});
    }
    const auto expected = planExtraction("/dest", "G", rows);
    for (const std::size_t told : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
        cartscope::core::ExtractionPlanner planner("/dest", "G", told);
        for (const FileRow& r : rows)
            planner.add(r);
        const auto plan = planner.take();
        ASSERT_EQ(plan.size(), expected.size());
        for (std::size_t i = 0; i < plan.size(); ++i) {
            EXPECT_EQ(plan[i].relative, expected[i].relative) << "row " << i << ", told " << told;
            EXPECT_EQ(plan[i].renamed, expected[i].renamed);
            EXPECT_EQ(plan[i].full(), "/dest/" + plan[i].relative);
        }
    }
    EXPECT_EQ(expected[1].relative, "G/d (2)");
    EXPECT_EQ(expected[4].relative, "G/d/x (2)");
    EXPECT_EQ(expected[5].relative, "G/d (3)");
}

// A file system that folds letter case (FAT, exFAT, a casefolded folder), as the directory
// operations see it: every name is looked up in lower case. The real folder holds lower-case
// names only, so two names that differ in case meet on one file, as they would on an SD card.
class FoldingOps : public DirectoryOps {
public:
    static std::string fold(const char* name)
    {
        std::string s = name;
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }
    int openAt(int dir, const char* name, int flags, mode_t mode) const override
    {
        return DirectoryOps::openAt(dir, fold(name).c_str(), flags, mode);
    }
    int mkdirAt(int dir, const char* name, mode_t mode) const override
    {
        return DirectoryOps::mkdirAt(dir, fold(name).c_str(), mode);
    }
    int unlinkAt(int dir, const char* name, int flags) const override
    {
        return DirectoryOps::unlinkAt(dir, fold(name).c_str(), flags);
    }
    int statAt(int dir, const char* name, struct stat* st, int flags) const override
    {
        return DirectoryOps::statAt(dir, fold(name).c_str(), st, flags);
    }
    int linkUnnamed(int fd, int dir, const char* name) const override
    {
        return DirectoryOps::linkUnnamed(fd, dir, fold(name).c_str());
    }
    int renameAt(int dir, const char* from, const char* to) const override
    {
        return DirectoryOps::renameAt(dir, fold(from).c_str(), fold(to).c_str());
    }
    // FAT through the kernel's driver has no unnamed files either: each file is then written
    // under a hidden name and renamed.
    bool unnamedFiles = true;
    int openUnnamed(int dir) const override
    {
        if (!unnamedFiles) {
            errno = EOPNOTSUPP;
            return -1;
        }
        return DirectoryOps::openUnnamed(dir);
    }
};

TEST(Extract, ADestinationThatFoldsCaseLosesNoFileOrFolder)
{
    ImageBuilder b;
    b.title("GAME").root({
        Node::file("CASE.TXT", std::string("upper")),
        Node::file("case.txt", std::string("lower")),
        Node::dir("Data", {Node::file("x.bin", std::string("first"))}),
        Node::dir("DATA", {Node::file("x.bin", std::string("second")),
                           Node::file("y.bin", std::string("third"))}),
        Node::file("D", std::string("a file")),
        Node::dir("d", {Node::file("in.bin", std::string("inside"))}),
    });
    TempDir tmp;
    const Bytes image = b.build();
    writeFile(tmp.file("img.nds"), image);
    FileStream stream(tmp.file("img.nds"));
    std::vector<cartscope::core::TFileEntry> files;
    std::vector<cartscope::core::TDirEntry> dirs;
    cartscope::core::ParseFNT(stream, b.layout().fntOffset, b.layout().fatOffset, files, dirs);
    const auto rows = cartscope::core::ParseArraysToList(files, dirs);

    // Case-sensitive: every name as it is, nothing renamed.
    fs::create_directory(tmp.file("exact"));
    auto summary = extractAll(stream, planExtraction(tmp.file("exact"), "GAME", rows), {});
    EXPECT_EQ(summary.renamed, 0u);
    EXPECT_EQ(filesBelow(tmp.file("exact/GAME")).size(), 7u);

    // Folding: the second of each pair is caught by its identity and goes under " (2)"; the
    // file written first is untouched. The folder that meets an earlier folder takes all its
    // files along. The same with files written unnamed and under a hidden name.
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed files" : "hidden names");
        fs::remove_all(tmp.file("fat"));
        fs::create_directory(tmp.file("fat"));
        FoldingOps folding;
        folding.unnamedFiles = unnamed;
        ExtractOptions options;
        options.ops = &folding;
        std::vector<std::pair<std::string, std::string>> renamed;
        options.onRenamed = [&](const cartscope::core::PlannedFile& f, const std::string& written) {
            renamed.emplace_back(f.row.path, written);
        };
        const auto plan = planExtraction(tmp.file("fat"), "GAME", rows);
        summary = runExtraction(stream, plan, options);
        EXPECT_EQ(summary.files, 7u);
        EXPECT_EQ(summary.renamed, 4u);
        const std::map<std::string, std::string> expected{
            {"case.txt", "upper"},        {"case (2).txt", "lower"},   {"data/x.bin", "first"},
            {"data (2)/x.bin", "second"}, {"data (2)/y.bin", "third"}, {"d", "a file"},
            {"d (2)/in.bin", "inside"},
        };
        std::map<std::string, std::string> written;
        for (const auto& [name, bytes] : filesBelow(tmp.file("fat/game")))
            written[name] = text(bytes);
        EXPECT_EQ(written, expected);
        const std::vector<std::pair<std::string, std::string>> told{
            {"/case.txt", "GAME/case (2).txt"},
            {"/DATA/x.bin", "GAME/DATA (2)/x.bin"},
            {"/DATA/y.bin", "GAME/DATA (2)/y.bin"},
            {"/d/in.bin", "GAME/d (2)/in.bin"},
        };
        std::sort(renamed.begin(), renamed.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        auto sortedTold = told;
        std::sort(sortedTold.begin(), sortedTold.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        EXPECT_EQ(renamed, sortedTold);

        // A second run into the same folder starts afresh: the files of the first run are
        // overwritten as any existing file is, and the same names come out again.
        summary = runExtraction(stream, plan, options);
        written.clear();
        for (const auto& [name, bytes] : filesBelow(tmp.file("fat/game")))
            written[name] = text(bytes);
        EXPECT_EQ(written, expected);
    }
}

// The same file system through a FUSE driver (exfat-fuse): names still fold, but each spelling
// of a name gets an inode of its own, and the folder lists each entry as first spelled.
class FuseFoldingOps : public FoldingOps {
public:
    int openAt(int dir, const char* name, int flags, mode_t mode) const override
    {
        const int fd = FoldingOps::openAt(dir, name, flags, mode);
        if (fd >= 0) {
            m_spellingOfFd[fd] = name;
            if ((flags & O_EXCL) != 0)
                m_firstSpelling[{inodeOf(dir), fold(name)}] = name;
        }
        return fd;
    }
    int mkdirAt(int dir, const char* name, mode_t mode) const override
    {
        const int made = FoldingOps::mkdirAt(dir, name, mode);
        if (made == 0)
            m_firstSpelling[{inodeOf(dir), fold(name)}] = name;
        return made;
    }
    int linkUnnamed(int fd, int dir, const char* name) const override
    {
        const int linked = FoldingOps::linkUnnamed(fd, dir, name);
        if (linked == 0)
            m_firstSpelling[{inodeOf(dir), fold(name)}] = name;
        return linked;
    }
    int renameAt(int dir, const char* from, const char* to) const override
    {
        const int renamed = FoldingOps::renameAt(dir, from, to);
        if (renamed == 0)
            m_firstSpelling.emplace(std::pair{inodeOf(dir), fold(to)}, to);
        return renamed;
    }
    int statFd(int fd, struct stat* st) const override
    {
        const int r = FoldingOps::statFd(fd, st);
        const auto it = m_spellingOfFd.find(fd);
        if (r == 0 && it != m_spellingOfFd.end())
            st->st_ino ^= static_cast<ino_t>(std::hash<std::string>()(it->second)) << 20;
        return r;
    }
    int statAt(int dir, const char* name, struct stat* st, int flags) const override
    {
        const int r = FoldingOps::statAt(dir, name, st, flags);
        if (r == 0)
            st->st_ino ^= static_cast<ino_t>(std::hash<std::string>()(name)) << 20;
        return r;
    }
    bool listNames(int dir, std::vector<std::string>& names) const override
    {
        if (!FoldingOps::listNames(dir, names))
            return false;
        for (std::string& n : names) {
            const auto it = m_firstSpelling.find({inodeOf(dir), n});
            if (it != m_firstSpelling.end())
                n = it->second;
        }
        return true;
    }

private:
    static ino_t inodeOf(int dir)
    {
        struct stat st {};
        ::fstat(dir, &st);
        return st.st_ino;
    }
    mutable std::map<int, std::string> m_spellingOfFd;
    mutable std::map<std::pair<ino_t, std::string>, std::string> m_firstSpelling;
};

TEST(Extract, AFuseDestinationThatFoldsCaseLosesNothingEither)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{"/CASE.TXT", 0x00000000, 1}, FileRow{"/case.txt", 0x00000001, 1},
                        FileRow{"/Data/x", 0x00000002, 1}, FileRow{"/DATA/x", 0x00000003, 1},
                        FileRow{"/D", 0x00000004, 1}, FileRow{"/d/in", 0x00000005, 1}});
    const FuseFoldingOps fuse;
    ExtractOptions options;
    options.ops = &fuse;
    const auto summary = runExtraction(s, plan, options);
    EXPECT_EQ(summary.files, 6u);
    EXPECT_EQ(summary.renamed, 3u);
    std::map<std::string, std::string> written;
    for (const auto& [name, bytes] : filesBelow(tmp.file("g")))
        written[name] = text(bytes);
    EXPECT_EQ(written, (std::map<std::string, std::string>{{"case.txt", "0"},
                                                           {"case (2).txt", "1"},
                                                           {"data/x", "2"},
                                                           {"data (2)/x", "3"},
                                                           {"d", "4"},
                                                           {"d (2)/in", "5"}}));
    // Into the same folder again: every entry now exists, spelled as first made, and each row
    // lands where it did the first time.
    const auto again = runExtraction(s, plan, options);
    EXPECT_EQ(again.renamed, 3u);
    EXPECT_EQ(filesBelow(tmp.file("g")).size(), 6u);
}

// The kernel refuses to copy between two file systems (ext4 to tmpfs, the common case): the copy
// goes on through the buffer from where the kernel stopped, for this file and the rest of the run.
class CrossDeviceOps : public DirectoryOps {
public:
    mutable int calls = 0;
    ssize_t copyRange(int in, loff_t* inOffset, int out, std::size_t length) const override
    {
        if (calls++ == 0) // the first call copies part of the range before the refusal
            return DirectoryOps::copyRange(in, inOffset, out, std::min<std::size_t>(length, 777));
        errno = EXDEV;
        return -1;
    }
};

TEST(Extract, CopiesAcrossFileSystemsThroughTheBuffer)
{
    TempDir tmp;
    const Bytes big = pattern(200000, 9);
    ImageBuilder b;
    b.title("G").root({Node::file("big.bin", big), Node::file("small.bin", pattern(10, 3))});
    const Bytes image = b.build();
    writeFile(tmp.file("img.nds"), image);
    FileStream stream(tmp.file("img.nds"));
    std::vector<cartscope::core::TFileEntry> files;
    std::vector<cartscope::core::TDirEntry> dirs;
    cartscope::core::ParseFNT(stream, b.layout().fntOffset, b.layout().fatOffset, files, dirs);
    const auto plan =
        planExtraction(tmp.path(), "G", cartscope::core::ParseArraysToList(files, dirs));
    const CrossDeviceOps crossDevice;
    ExtractOptions options;
    options.ops = &crossDevice;
    const auto summary = runExtraction(stream, plan, options);
    EXPECT_EQ(summary.files, 2u);
    EXPECT_EQ(readFile(tmp.file("G/big.bin")), big);
    EXPECT_EQ(readFile(tmp.file("G/small.bin")), pattern(10, 3));
    EXPECT_EQ(crossDevice.calls, 2); // the kernel is not asked again after it refused the pair
    // The single-file command takes the same road.
    const CrossDeviceOps again;
    EXPECT_EQ(extractPlanned(stream, plan[0], again), big.size());
    EXPECT_EQ(readFile(tmp.file("G/big.bin")), big);
}

// A full disk, a read-only file system: the file is named with the system's reason, and no half
// file stays.
class FailingOps : public DirectoryOps {
public:
    int mkdirError = 0;
    int writeError = 0;
    int mkdirAt(int dir, const char* name, mode_t mode) const override
    {
        if (mkdirError) {
            errno = mkdirError;
            return -1;
        }
        return DirectoryOps::mkdirAt(dir, name, mode);
    }
    ssize_t copyRange(int, loff_t*, int, std::size_t) const override
    {
        errno = writeError;
        return -1;
    }
    ssize_t write(int fd, const void* data, std::size_t size) const override
    {
        if (writeError) {
            errno = writeError;
            return -1;
        }
        return DirectoryOps::write(fd, data, size);
    }
};

TEST(Extract, FailuresNameTheFileAndTheRealReason)
{
    TempDir tmp;
    const Bytes image = smallImage();
    writeFile(tmp.file("img.nds"), image);
    FileStream file(tmp.file("img.nds"));
    MemoryStream memory(image);
    const auto plan = planExtraction(tmp.path(), "G", {FileRow{"/sub/f.bin", 0x00000002, 5}});

    FailingOps full;
    full.writeError = ENOSPC;
    for (cartscope::core::Stream* s : {static_cast<cartscope::core::Stream*>(&file),
                                       static_cast<cartscope::core::Stream*>(&memory)}) {
        EXPECT_EQ(errorOf([&] { extractPlanned(*s, plan[0], full); }),
                  "Cannot write file \"" + plan[0].full() + "\". No space left on device");
        EXPECT_FALSE(fs::exists(plan[0].full()));
    }

    // The folder's own failure, not the "No such file or directory" of the open after it.
    fs::remove_all(tmp.file("G"));
    FailingOps readOnly;
    readOnly.mkdirError = EROFS;
    EXPECT_EQ(errorOf([&] { extractPlanned(memory, plan[0], readOnly); }),
              "Cannot create file \"" + plan[0].full() + "\". Read-only file system");
    readOnly.mkdirError = EACCES;
    EXPECT_EQ(errorOf([&] { extractPlanned(memory, plan[0], readOnly); }),
              "Cannot create file \"" + plan[0].full() + "\". Permission denied");
}

TEST(Extract, AFolderRemovedDuringTheRunIsMadeAgain)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{"/data/a", 0x00000000, 1}, FileRow{"/data/b", 0x00000001, 1},
                        FileRow{"/data/deep/c", 0x00000002, 1}});
    const auto summary = extractAll(s, plan, [&](const ExtractProgress& p) {
        // The folders the run holds open go away between two files.
        if (p.done == 1)
            fs::remove_all(tmp.file("G/data"));
        return true;
    });
    EXPECT_EQ(summary.files, 3u);
    EXPECT_FALSE(fs::exists(tmp.file("G/data/a")));
    EXPECT_EQ(text(readFile(tmp.file("G/data/b"))), "1");
    EXPECT_EQ(text(readFile(tmp.file("G/data/deep/c"))), "2");
}

// Per file, one open: what the previous file already answered (its folders, the image's
// identity) is not asked again, and a file made new needs no status call until some name turns
// out to exist already.
class CountingOps : public DirectoryOps {
public:
    mutable std::map<std::string, int> calls;
    int openAt(int dir, const char* name, int flags, mode_t mode) const override
    {
        ++calls["open"];
        return DirectoryOps::openAt(dir, name, flags, mode);
    }
    int mkdirAt(int dir, const char* name, mode_t mode) const override
    {
        ++calls["mkdir"];
        return DirectoryOps::mkdirAt(dir, name, mode);
    }
    int statAt(int dir, const char* name, struct stat* st, int flags) const override
    {
        ++calls["statAt"];
        return DirectoryOps::statAt(dir, name, st, flags);
    }
    int statFd(int fd, struct stat* st) const override
    {
        ++calls["stat"];
        return DirectoryOps::statFd(fd, st);
    }
    int openUnnamed(int dir) const override
    {
        ++calls["openUnnamed"];
        return DirectoryOps::openUnnamed(dir);
    }
    int linkUnnamed(int fd, int dir, const char* name) const override
    {
        ++calls["link"];
        return DirectoryOps::linkUnnamed(fd, dir, name);
    }
    int renameAt(int dir, const char* from, const char* to) const override
    {
        ++calls["rename"];
        return DirectoryOps::renameAt(dir, from, to);
    }
};

TEST(Extract, EachFileCostsOneOpen)
{
    TempDir tmp;
    const Bytes image = smallImage();
    writeFile(tmp.file("img.nds"), image);
    FileStream stream(tmp.file("img.nds"));
    std::vector<FileRow> rows;
    for (int i = 0; i < 100; ++i)
        rows.push_back(FileRow{(i % 2 ? "/a/b/f" : "/c/f") + std::to_string(i), 0x00000001, 3});
    // Sorted by size or offset, rows of two folders alternate: both stay open.
    const CountingOps counting;
    ExtractOptions options;
    options.ops = &counting;
    EXPECT_EQ(runExtraction(stream, planExtraction(tmp.path(), "G", rows), options).files, 100u);
    const std::map<std::string, int> expected{
        {"open", 4},          // the folders G, G/a, G/a/b, G/c once
        {"openUnnamed", 100}, // each file, written under no name
        {"link", 100},        // and named once complete
        {"mkdir", 4},         // each folder once
        {"stat", 4 + 1},      // each folder once, the image once
    };
    EXPECT_EQ(counting.calls, expected);

    // Extracting again over the same tree: each file replaces the old one in one step (a
    // hidden name, renamed over it); each name met already there is looked at once, and the
    // identity of the file put there is asked when the next name turns out to exist (the last
    // one's never is).
    counting.calls.clear();
    EXPECT_EQ(runExtraction(stream, planExtraction(tmp.path(), "G", rows), options).files, 100u);
    EXPECT_EQ(counting.calls["stat"], 4 + 1);
    EXPECT_EQ(counting.calls["statAt"], 100 + 99);
    EXPECT_EQ(counting.calls["link"], 2 * 100);
    EXPECT_EQ(counting.calls["rename"], 100);
    EXPECT_EQ(filesBelow(tmp.file("G")).size(), 100u);
}

TEST(Extract, TheCommandLineFormGoesOnPastAFileThatFails)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    fs::create_directories(tmp.file("G"));
    fs::create_directories(tmp.file("G/dir.bin")); // a folder where a file goes
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{"/a", 0x00000000, 1}, FileRow{"/past", 0x0000003F, 2},
                        FileRow{"/dir.bin", 0x00000001, 1}, FileRow{"/z", 0x00000002, 1}});
    ExtractOptions options;
    options.keepGoing = true;
    std::vector<std::string> told;
    options.onFailure = [&](const cartscope::core::ExtractFailure& f) { told.push_back(f.path); };
    const auto summary = runExtraction(s, plan, options);
    EXPECT_EQ(summary.files, 2u);
    ASSERT_EQ(summary.failures.size(), 2u);
    EXPECT_EQ(summary.failures[0].path, "/past");
    EXPECT_EQ(summary.failures[0].message, "Its range lies past the end of the image");
    EXPECT_EQ(summary.failures[1].path, "/dir.bin");
    EXPECT_EQ(summary.failures[1].message,
              "Cannot create file \"" + plan[2].full() + "\". Is a directory");
    EXPECT_EQ(told, (std::vector<std::string>{"/past", "/dir.bin"}));
    EXPECT_EQ(text(readFile(tmp.file("G/z"))), "2");
    EXPECT_FALSE(fs::exists(tmp.file("G/past")));
    // The window's form stops at the first failure.
    EXPECT_EQ(errorOf([&] { extractAll(s, plan, {}); }), "Stream read error");
}

// A row that carries a problem (a system file or archive member that does not fit) is refused by
// the run: it takes no name in the plan, needs no room, and is never created. A batch tells it
// first and leaves it out of the progress counts; the window's form stops at it.
TEST(Extract, TheRunRefusesRowsThatCannotBeExtracted)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    FileRow refused{"/dup.bin", 0x00000000, 1};
    refused.problem = "its range runs past the end of the image";
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{"/a", 0x00000000, 1}, refused, FileRow{"/dup.bin", 0x00000001, 1}});
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(plan[2].relative, "G/dup.bin");
    EXPECT_FALSE(plan[2].renamed);
    EXPECT_EQ(cartscope::core::neededRoom(plan, image.size(), 1).bytes, 2u);

    for (const bool keepGoing : {true, false}) {
        ExtractOptions options;
        options.keepGoing = keepGoing;
        options.recordRefused = !keepGoing;
        std::vector<std::string> events;
        options.onFailure = [&](const cartscope::core::ExtractFailure& f) {
            events.push_back("failed " + f.path + ": " + f.message);
        };
        options.onProgress = [&](const ExtractProgress& p) {
            events.push_back(std::to_string(p.done) + "/" + std::to_string(p.total) +
                             (p.current ? " " + p.current->row.path : std::string()));
            return true;
        };
        const auto summary = runExtraction(s, plan, options);
        EXPECT_EQ(events, (std::vector<std::string>{
                              "failed /dup.bin: its range runs past the end of the image", "0/2 /a",
                              "1/2 /dup.bin", "2/2"}));
        EXPECT_EQ(summary.files, 2u);
        ASSERT_EQ(summary.failures.size(), 1u);
        EXPECT_EQ(text(readFile(tmp.file("G/dup.bin"))), std::string(1, char(image[1])));
    }
    fs::remove_all(tmp.file("G"));
    EXPECT_EQ(errorOf([&] { extractAll(s, plan, {}); }),
              "Cannot extract \"/dup.bin\": its range runs past the end of the image");
    EXPECT_TRUE(fs::exists(tmp.file("G/a")));
    EXPECT_FALSE(fs::exists(tmp.file("G/dup.bin")));
}

// A path hundreds of folders deep is walked with a bounded number of open descriptors.
TEST(Extract, ADestinationRemovedDuringTheRunEndsItWithOneMessage)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    fs::create_directories(tmp.file("dest"));
    std::vector<FileRow> rows;
    for (int k = 0; k < 20; ++k)
        rows.push_back({"/d" + std::to_string(k % 3) + "/f" + std::to_string(k), 0x00000000, 4});
    const auto plan = planExtraction(tmp.file("dest"), "G", rows);
    ExtractOptions options;
    options.keepGoing = true;
    int failures = 0;
    options.onFailure = [&](const cartscope::core::ExtractFailure&) { ++failures; };
    options.onProgress = [&](const ExtractProgress& p) {
        if (p.done == 2)
            fs::remove_all(tmp.file("dest"));
        return true;
    };
    EXPECT_EQ(errorOf([&] { runExtraction(s, plan, options); }),
              "Cannot create file \"" + plan[2].full() + "\". No such file or directory");
    EXPECT_EQ(failures, 0);
    EXPECT_FALSE(fs::exists(tmp.file("dest")));
}

// Writes through the buffer a little at a time and, part way into the third file, is killed
// (SIGKILL: no handler, no cleanup, as the OOM killer or kill -9 would).
class KilledMidFileOps : public DirectoryOps {
public:
    bool unnamedFiles = true;
    mutable std::uint64_t written = 0;
    int openUnnamed(int dir) const override
    {
        if (!unnamedFiles) {
            errno = EOPNOTSUPP;
            return -1;
        }
        return DirectoryOps::openUnnamed(dir);
    }
    ssize_t write(int fd, const void* data, std::size_t size) const override
    {
        const ssize_t n = DirectoryOps::write(fd, data, std::min<std::size_t>(size, 4096));
        written += n > 0 ? static_cast<std::uint64_t>(n) : 0;
        if (written >= 2 * 65536 + 20000)
            ::raise(SIGKILL);
        return n;
    }
};

TEST(Extract, AKilledRunLeavesNoFileCutShortUnderItsName)
{
    const Bytes big = pattern(65536 * 3, 5);
    const auto part = [&](int k) {
        return Bytes(big.begin() + 65536 * k, big.begin() + 65536 * (k + 1));
    };
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed files" : "hidden names");
        TempDir tmp;
        const auto plan = planExtraction(tmp.path(), "G",
                                         {FileRow{"/a.bin", 0x00000000, 65536},
                                          FileRow{"/b.bin", 0x00010000, 65536},
                                          FileRow{"/c.bin", 0x00020000, 65536}});
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            MemoryStream s(big);
            KilledMidFileOps killed;
            killed.unnamedFiles = unnamed;
            ExtractOptions options;
            options.ops = &killed;
            try {
                runExtraction(s, plan, options);
            } catch (...) {
            }
            std::_Exit(2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        // The two files finished are there whole; the third has no name from the image (at most
        // a hidden temporary name where there are no unnamed files).
        std::map<std::string, Bytes> real;
        std::size_t hidden = 0;
        for (const auto& [name, bytes] : filesBelow(tmp.file("G"))) {
            if (name.rfind(".cartscope-", 0) == 0)
                ++hidden;
            else
                real[name] = bytes;
        }
        EXPECT_EQ(real, (std::map<std::string, Bytes>{{"a.bin", part(0)}, {"b.bin", part(1)}}));
        EXPECT_EQ(hidden, unnamed ? 0u : 1u);
    }
}

TEST(Extract, DeepPathsNeedFewDescriptors)
{
    TempDir tmp;
    const Bytes image = smallImage();
    MemoryStream s(image);
    std::string path;
    for (int i = 0; i < 300; ++i)
        path += "/a";
    const auto plan =
        planExtraction(tmp.path(), "G",
                       {FileRow{path + "/f", 0x00000000, 2}, FileRow{path + "/g", 0x00000002, 2}});
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::string error;
    try {
        extractAll(s, plan, {});
    } catch (const Error& e) {
        error = e.what();
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(error, "");
    EXPECT_EQ(text(readFile(plan[1].full())), "23");
}

} // namespace
