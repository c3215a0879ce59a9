// The reference for `cartscope-cli list`: the simplest program that prints the same rows. It
// reads the header, the file-name table and the allocation table with one read each (sizes
// from the header, trusted), walks them in memory and prints "path<TAB>OFFSET<TAB>size" per
// file in table order. No checks beyond staying inside the buffers: benchmark images only.
//   ref_list IMAGE
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::uint32_t le(const std::vector<std::uint8_t>& b, std::size_t at, int n)
{
    std::uint32_t v = 0;
    for (int k = n - 1; k >= 0; --k)
        v = v << 8 | (at + k < b.size() ? b[at + k] : 0);
    return v;
}

std::vector<std::uint8_t> readAt(int fd, std::uint64_t at, std::size_t n)
{
    std::vector<std::uint8_t> b(n);
    const ssize_t got = pread(fd, b.data(), n, static_cast<off_t>(at));
    b.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return b;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0)
        return 1;
    const auto header = readAt(fd, 0, 0x200);
    const auto fnt = readAt(fd, le(header, 0x40, 4), le(header, 0x44, 4));
    const auto fat = readAt(fd, le(header, 0x48, 4), le(header, 0x4C, 4));
    const std::size_t count = le(fnt, 6, 2) & 0xFFF;

    // Directory names and parents, then each directory's path by following its parent chain.
    std::vector<std::string> name(count), path(count);
    std::vector<std::size_t> parent(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t p = le(fnt, 8 * i, 4);
        while (p < fnt.size() && fnt[p] != 0) {
            const std::size_t n = fnt[p] & 0x7F;
            if (fnt[p] & 0x80) {
                const std::size_t id = le(fnt, p + 1 + n, 2) & 0xFFF;
                if (id < count) {
                    name[id].assign(reinterpret_cast<const char*>(&fnt[p + 1]), n);
                    parent[id] = le(fnt, 8 * id + 6, 2) & 0xFFF;
                }
                p += 3 + n;
            } else {
                p += 1 + n;
            }
        }
    }
    path[0] = "/";
    for (std::size_t i = 1; i < count; ++i) {
        std::string s = name[i] + "/";
        for (std::size_t k = parent[i], steps = 0; k != 0 && steps < count; k = parent[k], ++steps)
            s = name[k] + "/" + s;
        path[i] = "/" + s;
    }

    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t p = le(fnt, 8 * i, 4);
        std::uint32_t id = le(fnt, 8 * i + 4, 2);
        while (p < fnt.size() && fnt[p] != 0) {
            const std::size_t n = fnt[p] & 0x7F;
            if (fnt[p] & 0x80) {
                p += 3 + n;
                continue;
            }
            const std::uint32_t start = le(fat, 8 * id, 4);
            const std::uint32_t end = le(fat, 8 * id + 4, 4);
            std::fwrite(path[i].data(), 1, path[i].size(), stdout);
            std::fwrite(&fnt[p + 1], 1, n, stdout);
            std::printf("\t%08X\t%d\n", start, static_cast<std::int32_t>(end - start));
            p += 1 + n;
            ++id;
        }
    }
    return std::fclose(stdout) == 0 ? 0 : 1;
}
