// The archive listing and member extraction over arbitrary archive bytes, copied out and read
// in place: nothing may be left behind, nothing written outside the private folder. The input
// reaches the reader through a memory file, and the cache folder lies on tmpfs and goes when the
// fuzzer exits.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "archive/reader.h"
#include "archive/zip_input.h"
#include "core/base/error.h"

namespace {

std::string g_dir;
int g_input = -1;

void removeScratch()
{
    std::error_code ec;
    if (!g_dir.empty())
        std::filesystem::remove_all(g_dir, ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string t = std::string(shm) + "/cartscope-fuzz-XXXXXX";
    if (!mkdtemp(t.data()))
        std::abort();
    g_dir = t;
    std::atexit(removeScratch);
    setenv("XDG_CACHE_HOME", (g_dir + "/cache").c_str(), 1);
    // A member may declare gigabytes and inflate to them from a few bytes; on tmpfs that is
    // memory. Writes past 256 MiB fail (EFBIG) instead, which the reader reports as a write error.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit fileSize{rlim_t{256} << 20, rlim_t{256} << 20};
    if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0)
        std::abort();
    g_input = memfd_create("fuzz_archive", MFD_CLOEXEC);
    if (g_input < 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope;
    if (ftruncate(g_input, 0) != 0 || pwrite(g_input, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    static const std::string path = "/proc/self/fd/" + std::to_string(g_input);
    try {
        auto extracted = archive::extractFirstImage(path, {});
        (void)extracted;
    } catch (const core::Error&) {
        // "Stream write error" past the size limit above; the partial copy must still go.
    }
    // The command line's form: a member read in place or inflated into memory holds exactly
    // the bytes its record declares.
    try {
        const auto opened = archive::openFirstImage(path, {});
        if (opened && opened->memory && opened->memory->bytes().size() != opened->size)
            __builtin_trap();
        if (opened && !opened->copy && !opened->memory && opened->offset + opened->size > size)
            __builtin_trap();
    } catch (const core::Error&) {
    }
    // The private folders are gone once the copy is released.
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(g_dir + "/cache/cartscope/Temp", ec)) {
        (void)e;
        __builtin_trap();
    }
    return 0;
}
