#include "core/io/staged_file.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "core/base/error.h"

namespace cartscope::core {

namespace {

// Attempts at a free hidden name; each draws a new one, so only a folder already full of such
// names (or one that refuses every create with EEXIST) exhausts them.
constexpr int kHiddenNameAttempts = 100;

} // namespace

StagedFile::StagedFile(const std::string& destination, const std::string& label,
                       CreateMessage cannotCreate)
    : m_label(label), m_name(std::filesystem::path(destination).filename().string()),
      m_cannotCreate(cannotCreate ? cannotCreate : cannotCreateMessage)
{
    std::string folder = std::filesystem::path(destination).parent_path().string();
    if (folder.empty())
        folder = ".";
    m_folder = UniqueFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!m_folder.valid())
        throw Error(m_cannotCreate(m_label, errno));
    m_fd = UniqueFd(openUnnamedFile(m_folder.get()));
    if (m_fd.valid())
        return;
    if (!unnamedFilesUnsupported(errno))
        throw Error(m_cannotCreate(m_label, errno));
    openHidden();
}

StagedFile::~StagedFile()
{
    if (!m_hidden.empty())
        ::unlinkat(m_folder.get(), m_hidden.c_str(), 0);
}

void StagedFile::openHidden()
{
    // Bounded by the attempt count.
    for (int attempt = 0; attempt < kHiddenNameAttempts; ++attempt) {
        std::string name = hiddenTemporaryName();
        m_fd = UniqueFd(
            ::openat(m_folder.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (m_fd.valid()) {
            m_hidden = std::move(name);
            return;
        }
        if (errno != EEXIST)
            throw Error(m_cannotCreate(m_label, errno));
    }
    throw Error(m_cannotCreate(m_label, EEXIST));
}

void StagedFile::linkHidden()
{
    // Bounded by the attempt count.
    for (int attempt = 0; attempt < kHiddenNameAttempts; ++attempt) {
        std::string name = hiddenTemporaryName();
        if (linkUnnamedFile(m_fd.get(), m_folder.get(), name.c_str()) == 0) {
            m_hidden = std::move(name);
            return;
        }
        if (errno != EEXIST)
            throw Error(m_cannotCreate(m_label, errno));
    }
    throw Error(m_cannotCreate(m_label, EEXIST));
}

bool StagedFile::renameHidden(bool replace)
{
    const char* from = m_hidden.c_str();
    int renamed = replace ? ::renameat(m_folder.get(), from, m_folder.get(), m_name.c_str())
                          : ::renameat2(m_folder.get(), from, m_folder.get(), m_name.c_str(),
                                        RENAME_NOREPLACE);
    // A file system without the no-replace rename: a hard link refuses a taken name too.
    if (renamed != 0 && errno == EINVAL && !replace) {
        renamed = ::linkat(m_folder.get(), from, m_folder.get(), m_name.c_str(), 0);
        if (renamed == 0)
            ::unlinkat(m_folder.get(), from, 0);
    }
    if (renamed != 0 && errno == EEXIST && !replace)
        return false;
    if (renamed != 0)
        throw Error(m_cannotCreate(m_label, errno));
    m_hidden.clear();
    return true;
}

bool StagedFile::publish(bool replace)
{
    // The bytes reach the disk before the name does: a power cut after the rename finds them.
    if (::fsync(m_fd.get()) != 0 && errno != EINVAL)
        throw Error(cannotWriteMessage(m_label, errno));
    if (m_hidden.empty()) {
        // The unnamed file takes a free name directly; a taken one is replaced in one step
        // through a hidden name of its own.
        if (linkUnnamedFile(m_fd.get(), m_folder.get(), m_name.c_str()) != 0) {
            if (errno != EEXIST)
                throw Error(m_cannotCreate(m_label, errno));
            if (!replace)
                return false;
            linkHidden();
        }
    }
    if (!m_hidden.empty() && !renameHidden(replace))
        return false;
    // A delayed write error (a full disk on a network file system) shows only here.
    if (const int err = m_fd.close())
        throw Error(cannotWriteMessage(m_label, err));
    // The new name itself reaches the disk; a folder that cannot be synced changes nothing.
    UniqueFd sync(::openat(m_folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sync.valid())
        ::fsync(sync.get());
    return true;
}

} // namespace cartscope::core
