#include "archive/temp_area.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/base/xdg.h"
#include "core/extract/extract.h"

namespace cartscope::archive {

namespace {

constexpr std::size_t kNameMax = 255; // bytes in one path component (Linux file systems)

std::string cannotCreateFolder(const std::string& path, int errnum)
{
    return "Cannot create folder \"" + path + "\". " + std::strerror(errnum);
}

std::string cacheHome()
{
    const std::string cache = core::xdgFolder(core::XdgFolder::Cache, true);
    if (cache.empty())
        throw core::Error("Cannot find the home folder for temporary files");
    return cache;
}

// Creates each missing level of `path` with mode 0700; existing levels (symbolic links to
// folders included: the user may keep the cache elsewhere) are used as they are.
void createMissingLevels(const std::string& path)
{
    // Bounded by the number of "/" in the path.
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string level = path.substr(0, slash);
        if (!level.empty() && level.back() != '/') {
            struct stat st {};
            if (::stat(level.c_str(), &st) != 0) {
                if (errno != ENOENT || (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST))
                    throw core::Error(cannotCreateFolder(level, errno));
            } else if (!S_ISDIR(st.st_mode)) {
                throw core::Error(cannotCreateFolder(level, ENOTDIR));
            }
        }
        if (slash == std::string::npos)
            break;
    }
}

// Creates `path` (mode 0700) when missing, then requires a real folder owned by this user and
// makes its mode 0700. The checks and the mode change go through one descriptor opened without
// following a symbolic link, so they apply to the folder actually there.
void ensurePrivateFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw core::Error(cannotCreateFolder(path, errno));
    const core::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const int openError = errno; // before the message below is built
    const std::string notOurs =
        "Cannot use folder \"" + path + "\". It is not a folder of this user";
    if (!fd.valid()) {
        if (openError == ELOOP || openError == ENOTDIR)
            throw core::Error(notOurs);
        throw core::Error(cannotCreateFolder(path, openError));
    }
    struct stat st {};
    const bool ours =
        ::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    int modeError = 0;
    if (ours && (st.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0)
        modeError = errno;
    if (!ours)
        throw core::Error(notOurs);
    if (modeError != 0)
        throw core::Error(cannotCreateFolder(path, modeError));
}

std::string trimTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Cuts a component to kNameMax bytes, keeping the extension and never splitting a UTF-8
// sequence.
std::string shortened(const std::string& name)
{
    if (name.size() <= kNameMax)
        return name;
    std::string ext = core::extensionOf(name);
    if (ext.size() > 16)
        ext.clear();
    std::size_t keep = kNameMax - ext.size();
    // Bounded by keep: steps back over UTF-8 continuation bytes.
    while (keep > 1 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
        --keep;
    return name.substr(0, keep) + ext;
}

} // namespace

std::string extractionBase()
{
    const std::string cache = trimTrailingSlashes(cacheHome());
    createMissingLevels(cache);
    const std::string app = (cache == "/" ? "" : cache) + "/cartscope";
    ensurePrivateFolder(app);
    const std::string temp = app + "/Temp";
    ensurePrivateFolder(temp);
    return temp;
}

int removeAbandonedFolders(const std::string& base, long minimumAgeSeconds,
                           std::vector<std::string>* errors)
{
    const core::UniqueFd baseFd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!baseFd.valid())
        return 0;
    std::vector<core::FolderEntry> entries;
    if (!core::folderEntries(baseFd.get(), entries)) {
        if (errors)
            errors->push_back("Cannot read folder \"" + base + "\". " + std::strerror(errno));
        return 0;
    }
    std::vector<std::string> abandoned;
    std::vector<core::UniqueFd> locks; // held until the folders are gone
    const std::time_t now = std::time(nullptr);
    // Bounded by the entries of the folder.
    for (const core::FolderEntry& e : entries) {
        const std::string& name = e.name;
        if (name.rfind("open-", 0) != 0)
            continue;
        struct stat st {};
        if (::fstatat(baseFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
            now - st.st_mtime < minimumAgeSeconds)
            continue;
        core::UniqueFd folder(
            ::openat(baseFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) {
            if (errors)
                errors->push_back("Cannot remove folder \"" + base + "/" + name + "\". " +
                                  std::strerror(errno));
            continue;
        }
        // A live TempImage holds its folder locked; only folders nobody holds are removed.
        if (::flock(folder.get(), LOCK_EX | LOCK_NB) == 0) {
            abandoned.push_back(base + "/" + name);
            // The lock is kept while the folder is removed, so that no other sweep races it;
            // the descriptors are bounded by the folder's entries, and closed before a removal
            // that needs descriptors of its own could run out.
            if (locks.size() < 16)
                locks.push_back(std::move(folder));
        }
    }
    int removed = 0;
    for (const auto& path : abandoned) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
        if (ec && errors)
            errors->push_back("Cannot remove folder \"" + path + "\". " + ec.message());
        removed += ec ? 0 : 1;
    }
    return removed;
}

std::vector<std::string> removeLeftovers()
{
    std::vector<std::string> errors;
    std::string base;
    try {
        base = trimTrailingSlashes(cacheHome());
    } catch (const core::Error&) {
        return errors; // no home: no temporary area either
    }
    base = (base == "/" ? "" : base) + "/cartscope/Temp";
    struct stat st {};
    // Only a private folder of this user is swept, exactly as extractionBase would accept it.
    if (::lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return errors;
    removeAbandonedFolders(base, kLeftoverAgeSeconds, &errors);
    return errors;
}

TempImage::TempImage()
{
    const std::string base = extractionBase();
    removeAbandonedFolders(base);
    std::string pattern = base + "/open-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw core::Error(cannotCreateFolder(base + "/open-XXXXXX", errno));
    m_lock =
        core::UniqueFd(::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // A folder this program cannot hold locked (no descriptor left) would be swept by another
    // Cartscope while in use: it is removed again (still empty: rmdir needs no descriptor).
    if (!m_lock.valid() || ::flock(m_lock.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        m_lock = core::UniqueFd();
        ::rmdir(pattern.c_str());
        throw core::Error(cannotCreateFolder(pattern, err));
    }
    m_folder = std::move(pattern);
}

TempImage::~TempImage()
{
    remove();
}

TempImage::TempImage(TempImage&& other) noexcept
    : m_folder(std::exchange(other.m_folder, {})), m_lock(std::move(other.m_lock))
{}

TempImage& TempImage::operator=(TempImage&& other) noexcept
{
    if (this != &other) {
        remove();
        m_folder = std::exchange(other.m_folder, {});
        m_lock = std::move(other.m_lock);
    }
    return *this;
}

std::string TempImage::filePathFor(const std::string& memberName) const
{
    if (m_folder.empty())
        throw core::Error("The temporary folder has been removed");
    const std::string name = shortened(core::cleanName(core::namePart(memberName)));
    // cleanName never yields these; checked because the path is about to be created.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw core::Error("Unsafe member name");
    return m_folder + "/" + name;
}

void TempImage::remove()
{
    if (m_folder.empty())
        return;
    // Only this object writes into the folder (mode 0700, fresh name); remove_all deletes a
    // symbolic link found there, never what it points to. The lock is released first: its
    // descriptor may be the one the removal needs when the process has run out. A folder that
    // still cannot be removed is swept (and reported) at the next start of either program.
    m_lock = core::UniqueFd();
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
    m_folder.clear();
}

} // namespace cartscope::archive
