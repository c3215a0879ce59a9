// The reference for extraction: a plain loop that only copies. It takes the rows to copy from a
// plan file in the form `cartscope-cli list` prints ("path<TAB>OFFSET<TAB>size", made before the
// timing), creates each folder once and keeps its descriptor, and writes each file with
// openat + copy_file_range from the open image (read/write where the kernel cannot copy).
// No name cleaning, no checks, no progress: the floor for the same work.
//   ref_copy IMAGE DEST PLAN [--whole] [--read-back]    files go to DEST/BENCH/<path>
// With --whole each file is written as extraction writes it, so that it appears whole or not at
// all: unnamed in its folder (O_TMPFILE) and linked under its name once written (linkat, through
// /proc/self/fd where AT_EMPTY_PATH needs a capability the user lacks). With --read-back each
// file is then read once from its start (pread into one buffer): the floor for an extraction
// that also looks at every file it wrote.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

std::unordered_map<std::string, int> g_dirs; // folder path ("" is the base) -> descriptor

int folder(const std::string& path)
{
    const auto it = g_dirs.find(path);
    if (it != g_dirs.end())
        return it->second;
    const std::size_t slash = path.rfind('/');
    const int parent = folder(slash == std::string::npos ? "" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    mkdirat(parent, name.c_str(), 0755);
    const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return g_dirs[path] = fd;
}

bool copy(int in, std::uint64_t offset, std::int64_t size, int out)
{
    auto pos = static_cast<off_t>(offset);
    while (size > 0) {
        const ssize_t n =
            copy_file_range(in, &pos, out, nullptr, static_cast<std::size_t>(size), 0);
        if (n > 0) {
            size -= n;
            continue;
        }
        if (n < 0 &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            static std::vector<char> buf(1 << 20);
            while (size > 0) {
                const ssize_t r =
                    pread(in, buf.data(),
                          static_cast<std::size_t>(std::min<std::int64_t>(size, buf.size())), pos);
                if (r <= 0 || write(out, buf.data(), static_cast<std::size_t>(r)) != r)
                    return false;
                pos += r;
                size -= r;
            }
            return true;
        }
        return false;
    }
    return true;
}

// A file to write: named at once, or unnamed until `publish`.
int create(int dir, const std::string& name, bool whole, bool read)
{
    const int access = read ? O_RDWR : O_WRONLY;
    if (!whole)
        return openat(dir, name.c_str(), access | O_CREAT | O_TRUNC, 0644);
    return openat(dir, ".", O_TMPFILE | access, 0644);
}

bool publish(int out, int dir, const std::string& name, bool whole)
{
    if (!whole)
        return true;
    if (linkat(out, "", dir, name.c_str(), AT_EMPTY_PATH) == 0)
        return true;
    const std::string self = "/proc/self/fd/" + std::to_string(out);
    return linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// One read of the file just written, front to back.
bool readBack(int out, std::int64_t size)
{
    static std::vector<char> buf(1 << 20);
    for (off_t pos = 0; pos < size;) {
        const ssize_t r = pread(out, buf.data(), buf.size(), pos);
        if (r <= 0)
            return false;
        pos += r;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bool whole = false, read = false;
    for (int i = 4; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--whole")
            whole = true;
        else if (flag == "--read-back")
            read = true;
        else
            return 2;
    }
    if (argc < 4)
        return 2;
    const int image = open(argv[1], O_RDONLY);
    const std::string base = std::string(argv[2]) + "/BENCH";
    mkdir(base.c_str(), 0755);
    g_dirs[""] = open(base.c_str(), O_RDONLY | O_DIRECTORY);
    FILE* plan = std::fopen(argv[3], "r");
    if (image < 0 || g_dirs[""] < 0 || !plan)
        return 1;
    char line[4096];
    while (std::fgets(line, sizeof line, plan)) {
        std::string row(line);
        const std::size_t tab1 = row.find('\t'), tab2 = row.find('\t', tab1 + 1);
        const std::string path = row.substr(1, tab1 - 1); // without the leading "/"
        const std::uint64_t offset = std::strtoull(row.c_str() + tab1 + 1, nullptr, 16);
        const std::int64_t size = std::strtoll(row.c_str() + tab2 + 1, nullptr, 10);
        const std::size_t slash = path.rfind('/');
        const int dir = folder(slash == std::string::npos ? "" : path.substr(0, slash));
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const int out = create(dir, name, whole, read);
        if (out < 0 || !copy(image, offset, size, out) || !publish(out, dir, name, whole) ||
            (read && !readBack(out, size)) || close(out) != 0) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
