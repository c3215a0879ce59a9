#pragma once

#include <string>

#include "core/base/fd.h"
#include "core/io/whole_file.h"

namespace cartscope::core {

// A new file written beside its destination and named only once complete: unnamed (O_TMPFILE)
// where the file system allows, else under a hidden name in the destination's folder, removed
// again unless it was published. A crash, a kill or an error leaves the destination as it was.
class StagedFile {
public:
    // Opens the destination's folder and the new file in it. `destination` is the path written
    // (a link already resolved), `label` the path as messages name it; a failure throws the
    // `cannotCreate` text (cannotCreateMessage unless given).
    StagedFile(const std::string& destination, const std::string& label,
               CreateMessage cannotCreate = nullptr);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    int fd() const { return m_fd.get(); }

    // Syncs the file and gives it the destination's name, replacing a file there in one step
    // when `replace`; then closes it and syncs the folder. False, with nothing named, when the
    // name is taken and `replace` is false. Throws "Cannot write file ..." when the bytes cannot
    // reach the disk, the create text when the name cannot be given.
    bool publish(bool replace);

private:
    void openHidden();
    // A hidden name for the unnamed file, to be renamed over a taken name.
    void linkHidden();
    bool renameHidden(bool replace);

    std::string m_label;
    std::string m_name;
    CreateMessage m_cannotCreate;
    UniqueFd m_folder;
    UniqueFd m_fd;
    std::string m_hidden; // the hidden name while the file has one
};

} // namespace cartscope::core
