#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/verify/dat.h"

// Where DATs come from: a plain XML file, or every .dat/.xml member of a .zip (streamed into
// memory, never copied to disk), and the user's DAT folder.
namespace cartscope::archive {

// Adds the DAT(s) at `path` to `dats`. Throws core::Error naming the file (and, for bad
// content, the line): unreadable, too large, malformed, or a .zip without a DAT member.
// `cancelled`, when set, is asked as the DAT is read and parsed; true stops the load with an
// Error.
void loadDat(const std::string& path, core::DatSet& dats,
             const std::function<bool()>& cancelled = {});

// $XDG_DATA_HOME/cartscope/dats (when XDG_DATA_HOME is an absolute path), else
// $HOME/.local/share/cartscope/dats. Empty text when neither can be formed.
std::string datFolder();

// The DAT files of a folder: regular files named *.dat, *.xml or *.zip (ASCII letter case
// ignored), symbolic links followed to what they name, sorted by name. Empty when the folder is
// missing. Every other entry but a sub-folder is added to `skipped` (when given) with its
// reason: not a DAT name, not a regular file (saying what it is), a link to nothing.
std::vector<std::string> datFilesIn(const std::string& folder,
                                    std::vector<std::string>* skipped = nullptr);

// What loading a DAT folder yields: the DATs that loaded, and one message per file that did not.
struct DatFolderLoad {
    core::DatSet dats;
    std::vector<std::string> skipped; // "DAT "%s" line %d: ..." and the like
    bool cancelled = false;           // stopped by `cancelled`: incomplete, to be dropped
};
// `cancelled`, when set, is asked between DATs and while each is read and parsed.
DatFolderLoad loadDatFolder(const std::string& folder, const std::function<bool()>& cancelled = {});

// Copies the DAT at `source` into `folder` (created when missing) under its own name, after
// checking that it loads: a DAT that cannot be read is refused with its error and nothing is
// written. An existing file of that name is replaced, atomically (a new DAT version).
// Returns the new file's path. Throws core::Error.
std::string addDatToFolder(const std::string& source, const std::string& folder);

} // namespace cartscope::archive
