// Writes benchmark images without holding them in memory (a 1 GiB image is written in 1 MiB
// pieces). Only what the tools read is filled in: the header's title, codes and table offsets,
// the file-name table, the allocation table and the file data; no banner, CRCs left zero.
//   gen_image tree OUT FILES DIRS MIN MAX   FILES files of MIN..MAX bytes spread over DIRS
//                                           folders below the root (all in the root if DIRS 0)
//   gen_image one OUT MIB                   /big.bin of MIB MiB and /tiny.txt of 10 bytes
// File data is half pseudo-random, half a repeated text (about 2:1 under deflate, like the
// mixed code and assets of a game), so zipped copies are neither trivial nor incompressible.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint32_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
std::uint64_t align(std::uint64_t v, std::uint64_t a)
{
    return (v + a - 1) / a * a;
}

struct File {
    std::string name;
    std::uint64_t size;
};
struct Dir {
    std::string name; // empty for the root
    std::vector<File> files;
};

void fill(Bytes& b, std::uint64_t& state)
{
    static const char kText[] = "ARM9 overlay data; sound bank; texture palette; ";
    for (std::size_t k = 0; k < b.size(); ++k) {
        if ((k & 0xFFF) < 0x800) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            b[k] = static_cast<std::uint8_t>(state >> 24);
        } else {
            b[k] = static_cast<std::uint8_t>(kText[k % (sizeof kText - 1)]);
        }
    }
}

int write(const std::string& out, const std::vector<Dir>& dirs)
{
    // FNT: main table (one entry per directory), then each directory's sub-table.
    const std::size_t count = dirs.size();
    Bytes fnt(8 * count, 0);
    std::uint32_t fileId = 0;
    std::vector<std::uint32_t> firstId(count);
    for (std::size_t d = 0; d < count; ++d) {
        firstId[d] = fileId;
        fileId += static_cast<std::uint32_t>(dirs[d].files.size());
    }
    for (std::size_t d = 0; d < count; ++d) {
        put32(fnt, 8 * d, static_cast<std::uint32_t>(fnt.size()));
        put16(fnt, 8 * d + 4, firstId[d]);
        put16(fnt, 8 * d + 6, d == 0 ? static_cast<std::uint32_t>(count) : 0xF000);
        if (d == 0)
            for (std::size_t k = 1; k < count; ++k) {
                fnt.push_back(static_cast<std::uint8_t>(0x80 | dirs[k].name.size()));
                fnt.insert(fnt.end(), dirs[k].name.begin(), dirs[k].name.end());
                fnt.push_back(static_cast<std::uint8_t>(k));
                fnt.push_back(static_cast<std::uint8_t>(0xF0 | (k >> 8)));
            }
        for (const File& f : dirs[d].files) {
            fnt.push_back(static_cast<std::uint8_t>(f.name.size()));
            fnt.insert(fnt.end(), f.name.begin(), f.name.end());
        }
        fnt.push_back(0);
    }
    const std::uint64_t fntAt = 0x8000;
    const std::uint64_t fatAt = align(fntAt + fnt.size(), 0x200);
    const std::uint64_t dataAt = align(fatAt + 8ull * fileId, 0x200);
    Bytes fat(8ull * fileId, 0);
    std::uint64_t at = dataAt;
    std::size_t id = 0;
    for (const Dir& d : dirs)
        for (const File& f : d.files) {
            put32(fat, 8 * id, static_cast<std::uint32_t>(at));
            put32(fat, 8 * id + 4, static_cast<std::uint32_t>(at + f.size));
            at = align(at + f.size, 0x200);
            ++id;
        }
    const std::uint64_t total = at;

    Bytes header(0x8000, 0);
    const std::string title = "BENCH";
    std::copy(title.begin(), title.end(), header.begin()); // 0x000 game title
    const std::string codes = "BNCE01";
    std::copy(codes.begin(), codes.end(), header.begin() + 0x0C); // 0x00C game code, maker code
    put32(header, 0x40, static_cast<std::uint32_t>(fntAt));
    put32(header, 0x44, static_cast<std::uint32_t>(fnt.size()));
    put32(header, 0x48, static_cast<std::uint32_t>(fatAt));
    put32(header, 0x4C, static_cast<std::uint32_t>(fat.size()));
    put32(header, 0x80, static_cast<std::uint32_t>(total));
    put32(header, 0x84, 0x4000);

    FILE* f = std::fopen(out.c_str(), "wb");
    if (!f)
        return 1;
    auto pad = [&](std::uint64_t to) {
        static const Bytes zeros(0x200, 0);
        const long here = std::ftell(f);
        std::fwrite(zeros.data(), 1,
                    static_cast<std::size_t>(to - static_cast<std::uint64_t>(here)), f);
    };
    std::fwrite(header.data(), 1, header.size(), f);
    std::fwrite(fnt.data(), 1, fnt.size(), f);
    pad(fatAt);
    std::fwrite(fat.data(), 1, fat.size(), f);
    pad(dataAt);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    Bytes block;
    for (const Dir& d : dirs)
        for (const File& file : d.files) {
            for (std::uint64_t left = file.size; left > 0;) {
                const std::uint64_t n = left < (1u << 20) ? left : (1u << 20);
                block.resize(n);
                fill(block, state);
                std::fwrite(block.data(), 1, n, f);
                left -= n;
            }
            const std::uint64_t padded = align(file.size, 0x200) - file.size;
            block.assign(padded, 0);
            std::fwrite(block.data(), 1, padded, f);
        }
    return std::fclose(f) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "tree" && argc == 7) {
        const unsigned long files = std::strtoul(argv[3], nullptr, 10);
        const unsigned long folders = std::strtoul(argv[4], nullptr, 10);
        const unsigned long lo = std::strtoul(argv[5], nullptr, 10);
        const unsigned long hi = std::strtoul(argv[6], nullptr, 10);
        std::vector<Dir> dirs(folders + 1);
        for (unsigned long d = 1; d <= folders; ++d)
            dirs[d].name = "dir" + std::to_string(d);
        std::uint64_t x = 12345;
        for (unsigned long k = 0; k < files; ++k) {
            x = x * 6364136223846793005ull + 1442695040888963407ull;
            const std::uint64_t size = lo + (x >> 33) % (hi - lo + 1);
            dirs[folders ? 1 + k % folders : 0].files.push_back(
                {"file" + std::to_string(k) + ".bin", size});
        }
        return write(argv[2], dirs);
    }
    if (mode == "one" && argc == 4) {
        std::vector<Dir> dirs(1);
        dirs[0].files = {{"big.bin", std::strtoull(argv[3], nullptr, 10) << 20}, {"tiny.txt", 10}};
        return write(argv[2], dirs);
    }
    std::fprintf(stderr, "usage: gen_image tree OUT FILES DIRS MIN MAX | one OUT MIB\n");
    return 2;
}
