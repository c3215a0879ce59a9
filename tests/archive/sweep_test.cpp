// The start-up sweep of leftover temporary folders when a removal fails.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/temp_area.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/image_builder.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

void ageFolder(const std::string& path)
{
    const std::time_t old = std::time(nullptr) - cartscope::archive::kLeftoverAgeSeconds - 5;
    const timespec times[2] = {{old, 0}, {old, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A leftover that cannot be removed is reported with its name and the reason, and the sweep
// goes on to the others. The sweep runs in a child that is not root (root may remove anything),
// so this holds when the tests run as root too.
TEST(Sweep, ALeftoverThatCannotBeRemovedIsReportedAndTheRestGo)
{
    cartscope::testzip::PrivateCache cache;
    const std::string base = cache.base();
    fs::create_directories(base);
    const std::string stuck = base + "/open-stuck";
    const std::string gone = base + "/open-gone";
    fs::create_directories(stuck + "/locked");
    fs::create_directories(gone);
    cartscope::fixture::writeFile(stuck + "/locked/game.nds", cartscope::fixture::Bytes(10, 1));
    cartscope::fixture::writeFile(gone + "/game.nds", cartscope::fixture::Bytes(10, 2));
    for (const std::string& path : {cache.dir().path(), cache.cache(), cache.cache() + "/cartscope",
                                    base, stuck, stuck + "/locked", gone})
        ASSERT_EQ(::chmod(path.c_str(), 0700), 0) << path;
    const bool root = ::geteuid() == 0;
    if (root) {
        for (const auto& e : fs::recursive_directory_iterator(cache.dir().path()))
            ASSERT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0) << e.path();
        ASSERT_EQ(::lchown(cache.dir().path().c_str(), kNobody, kNobody), 0);
    }
    // Nothing may be deleted inside "locked": the sweep meets EACCES there.
    ASSERT_EQ(::chmod((stuck + "/locked").c_str(), 0500), 0);
    ageFolder(stuck);
    ageFolder(gone);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(10);
        const std::vector<std::string> errors = cartscope::archive::removeLeftovers();
        if (errors.size() != 1)
            ::_exit(11);
        if (errors[0].find("Cannot remove folder \"" + stuck + "\"") != 0 ||
            errors[0].find(std::strerror(EACCES)) == std::string::npos)
            ::_exit(12);
        ::_exit(fs::exists(gone) ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod((stuck + "/locked").c_str(), 0700); // so the temporary folder can go
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 error count, 12 message, 13 not removed";
    EXPECT_TRUE(fs::exists(stuck + "/locked/game.nds"));
}

} // namespace
