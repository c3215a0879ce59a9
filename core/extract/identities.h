#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/base/fd.h"
#include "core/extract/dir_ops.h"
#include "core/extract/identity.h"
#include "core/extract/made_names.h"
#include "core/io/stream.h"

namespace cartscope::core::detail {

// The base folder a run writes below, as it is open now.
struct BaseFolder {
    UniqueFd fd;
    std::string name;
};

// The identity of everything one run wrote (against which a destination that folds letter case
// is caught) and of the open image (never a destination).
//
// A file this run names is new, so its identity is asked only once some name turns out to exist
// already: then for every file made so far, by path (the made-names log), each base folder
// reached once.
class WrittenIdentities {
public:
    WrittenIdentities(const Stream& image, const DirectoryOps& ops);

    bool isImage(const Identity& id) const { return m_image && id == *m_image; }
    // A folder this run made (whatever its inode number: a removed folder's may come back).
    void folderMade(const Identity& id, const std::string& planned);
    // A folder that was there already: false when this run wrote it under another planned path.
    bool folderFound(const Identity& id, const std::string& planned);
    // A file this run named: its base folder and its entry in the log.
    void fileMade(const std::string& baseName, std::size_t logIndex);
    void reserveFiles(std::size_t files) { m_unasked.reserve(files); }

    // Whether the entry `name` in the folder open as dir is a file or folder this run wrote.
    bool writtenFileAt(int dir, const std::string& name, const MadeNamesLog& log,
                       const BaseFolder& base);
    bool writtenFolderAt(int dir, const std::string& name) const;
    bool writtenFile(const Identity& id, const MadeNamesLog& log, const BaseFolder& base);
    // Everything written so far: a bound on the suffixes a name can collide with.
    std::size_t count() const { return m_folders.size() + m_files.size() + m_unasked.size(); }

private:
    void learnCreated(const MadeNamesLog& log, const BaseFolder& base);

    const DirectoryOps& m_ops;
    std::optional<Identity> m_image;
    std::unordered_map<Identity, std::string, IdentityHash> m_folders; // -> planned path
    std::unordered_set<Identity, IdentityHash> m_files;
    // Files created whose identity was not asked yet: the base folder and the log entry.
    struct Unasked {
        std::size_t base; // in m_unaskedBases
        std::size_t made; // in the made-names log: the path below that base
    };
    std::vector<Unasked> m_unasked;
    std::vector<std::string> m_unaskedBases;
};

} // namespace cartscope::core::detail
