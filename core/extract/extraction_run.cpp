// One extraction run: the folders it walks and keeps open (folder_cache), the identity of
// everything it writes against destinations that fold letter case (identities, made_names), the
// file being written (pending_file) and the copy itself (copy_engine).
//
// Writing: each file is written unnamed (O_TMPFILE) in its folder and linked under its name once
// complete; where the file system has no unnamed files (FAT, many FUSE drivers) it is written
// under a hidden name and renamed. Files are not synced one by one (that would cost more than
// the copy).
//
// Cost per file: one open, the copy and the link. The folders, the image's identity and the
// choice between kernel and buffered copy are answered once per run.
#include "core/extract/extraction_run.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/base/error.h"
#include "core/extract/path_pieces.h"
#include "core/io/whole_file.h"

namespace cartscope::core::detail {

ExtractionRun::ExtractionRun(const Stream& image, const DirectoryOps& ops)
    : m_image(image), m_names(ops), m_identities(image, ops), m_folders(ops, m_identities, m_names),
      m_pending(ops), m_copy(image, ops), m_ops(ops)
{}

ExtractionRun::Target ExtractionRun::targetOf(const PlannedFile& file, const std::string& full)
{
    const std::string& relative = file.relative;
    const std::size_t slash = relative.rfind('/');
    if (file.baseFolder().empty() || slash == std::string::npos ||
        !isSafeComponent(std::string_view(relative).substr(slash + 1)))
        throw Error(cannotCreateMessage(full, EINVAL));
    // The name is the end of `relative`, so it ends in a NUL.
    return {file.baseFolder(), std::string_view(relative).substr(0, slash),
            relative.c_str() + slash + 1};
}

void ExtractionRun::reserve(const std::vector<PlannedFile>& plan)
{
    std::size_t text = 0;
    for (const PlannedFile& p : plan)
        text += p.relative.size() + 1;
    // A folder is logged as it is made: a tree has far fewer than it has files.
    m_names.reserve(plan.size() + plan.size() / 8 + 16, text + text / 8);
    m_identities.reserveFiles(plan.size());
}

ExtractionRun::Written ExtractionRun::extract(const PlannedFile& file)
{
    if (const std::optional<std::string> why = refusal(file.row))
        throw Error(*why);
    // Made for this row only: the messages name it, and the plan need not hold it.
    const std::string full = file.full();
    const Target target = targetOf(file, full);
    if (!rangeInsideImage(file, m_image.size()))
        throw Error(kStreamReadError);
    const std::uint64_t length = file.size > 0 ? static_cast<std::uint64_t>(file.size) : 0;

    for (int attempt = 0;; ++attempt) {
        bool cached = false;
        try {
            const Folder& folder = m_folders.open(target.base, target.folderKey, full, cached);
            return writeFile(folder, target, full, file.offset, length);
        } catch (const GoneError& gone) {
            // A folder that this run opened earlier was removed meanwhile: walk again.
            m_folders.forget();
            if (!cached || attempt > 0)
                throw Error(cannotCreateMessage(full, gone.err));
        }
    }
}

// A file this run gave a name: new whatever its inode number (a removed file's may come back);
// its identity is asked only when some name turns out to exist already.
void ExtractionRun::nameTaken(Pending& p, const std::string& folderKey, const char* name)
{
    p.hidden.clear();
    m_identities.fileMade(m_folders.base().name, m_names.note(folderKey, name));
}

bool ExtractionRun::oursAt(int dir, const std::string& folderKey, const char* name,
                           const struct stat& st, const std::string& full)
{
    if (S_ISDIR(st.st_mode)) {
        if (m_identities.writtenFolderAt(dir, name) || m_names.foldedOntoOurs(dir, folderKey, name))
            return true;
        throw Error(cannotCreateMessage(full, EISDIR));
    }
    if (S_ISLNK(st.st_mode))
        return false;
    const Identity id = identityOf(st);
    if (!S_ISREG(st.st_mode))
        throw Error("Cannot create file \"" + full + "\". Not a regular file");
    if (m_identities.isImage(id))
        throw Error(cannotCreateMessage(full, EBUSY));
    return m_identities.writtenFile(id, m_names.log(), m_folders.base()) ||
           m_names.foldedOntoOurs(dir, folderKey, name);
}

// Gives the complete file the name `name` in dir. A free name is taken as it is. An existing
// entry is replaced in one step (rename), so a symbolic link there is replaced, never followed,
// and a file with other links keeps its bytes under those. Returns false, leaving the entry
// alone, when it is a file or folder this run wrote (reached again through a name that differs
// only in letter case): the caller tries the next suffix. The open image (the same inode,
// through any path) is refused as busy.
bool ExtractionRun::place(Pending& p, int dir, const std::string& folderKey, const char* name,
                          const std::string& full)
{
    // Each retry follows an entry that went meanwhile; a fourth is never needed unless the
    // folder keeps changing under the run.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (p.hidden.empty()) {
            if (m_ops.linkUnnamed(p.fd.get(), dir, name) == 0) {
                nameTaken(p, folderKey, name);
                return true;
            }
            if (errno != EEXIST)
                m_pending.failIn(dir, full, errno);
        }
        struct stat st {};
        if (m_ops.statAt(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                throw Error(cannotCreateMessage(full, errno));
            if (p.hidden.empty())
                continue; // removed since the link was refused
            // Free: the hidden file takes the name.
        } else {
            if (oursAt(dir, folderKey, name, st, full))
                return false;
            m_pending.nameHidden(p, dir, full);
        }
        if (m_ops.renameAt(dir, p.hidden.c_str(), name) != 0)
            m_pending.failIn(dir, full, errno);
        nameTaken(p, folderKey, name);
        return true;
    }
    throw Error(cannotCreateMessage(full, ELOOP));
}

// Writes the target's name into the folder; the planned path is used as it is unless the folder
// or the file had to take another name. The bytes are copied first, under no name, then the
// file is placed.
ExtractionRun::Written ExtractionRun::writeFile(const Folder& folder, const Target& target,
                                                const std::string& plannedFull,
                                                std::uint64_t offset, std::uint64_t length)
{
    const int dir = folder.fd.get();
    const char* const name = target.name;
    Written w;
    w.renamed = folder.actual != target.folderKey;
    std::string suffixed; // the name actually written, when it is not `name`
    std::string renamedFull;
    const auto fullFor = [&](const char* written) -> const std::string& {
        if (!w.renamed)
            return plannedFull;
        renamedFull.assign(target.base);
        renamedFull += folder.actual + '/' + written;
        return renamedFull;
    };
    Pending out = m_pending.open(dir, fullFor(name));
    try {
        m_copy.copy(offset, length, out.fd.get(), fullFor(name));
        bool placed = place(out, dir, folder.actual, name, fullFor(name));
        // Every suffix tried collides with a file or folder written in this run.
        const std::size_t bound = m_identities.count() + 2;
        for (std::size_t k = 2; !placed && k <= bound; ++k) {
            suffixed = withSuffix(name, k);
            w.renamed = true;
            placed = place(out, dir, folder.actual, suffixed.c_str(), fullFor(suffixed.c_str()));
        }
        const char* const written = suffixed.empty() ? name : suffixed.c_str();
        if (!placed)
            throw Error(cannotCreateMessage(fullFor(written), EEXIST));
        if (w.renamed)
            w.relative = folder.actual + "/" + written;
        // A failed close (a quota or network file system reporting late) fails the row, and the
        // file it names goes.
        if (const int err = out.fd.close()) {
            m_ops.unlinkAt(dir, written, 0);
            throw Error(cannotWriteMessage(fullFor(written), err));
        }
    } catch (...) {
        m_pending.discard(out, dir);
        throw;
    }
    w.bytes = length;
    return w;
}

} // namespace cartscope::core::detail
