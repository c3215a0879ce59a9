#pragma once

#include <string>

#include "core/fd.h"

// The private folder that images taken out of archives are extracted into.
namespace cartscope::archive {

// "$XDG_CACHE_HOME/cartscope/Temp" ($XDG_CACHE_HOME when absolute, else "$HOME/.cache", else
// the home folder of the user database). Missing levels are created with mode 0700. The
// "cartscope" and "Temp" levels must be real folders (not symbolic links) owned by this user;
// their mode is set to 0700 when it is anything else. Throws core::Error with the folder and
// the reason when a level cannot be created or is not private.
std::string extractionBase();

// One open's private folder "<extractionBase()>/open-XXXXXX" (mkdtemp, mode 0700) and the
// image file extracted into it. The folder and everything in it is removed when the object
// goes, so each open has a folder of its own and two opens never share a file name.
// While the object lives it holds an exclusive lock on its folder. A program that crashed or
// was killed cannot remove its folder; the next TempImage of any Cartscope removes every
// "open-*" folder that nobody holds locked and that is more than a minute old.
class TempImage {
public:
    TempImage(); // throws core::Error when the folder cannot be made
    ~TempImage();
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;
    TempImage(TempImage&& other) noexcept;
    TempImage& operator=(TempImage&& other) noexcept;

    // The folder + "/" + the last component of `memberName` (after the last "/") made safe with
    // core::cleanName and shortened to the file system's 255-byte limit (the extension kept).
    // Always a file directly inside folder().
    std::string filePathFor(const std::string& memberName) const;
    const std::string& folder() const { return m_folder; }

    // Removes the folder with everything in it now (errors ignored); idempotent.
    void remove();

private:
    std::string m_folder;  // empty once removed or moved from
    core::UniqueFd m_lock; // the folder, locked for as long as it is in use
};

// Removes the "open-*" folders in `base` left by programs that are gone (not locked, older than
// `minimumAgeSeconds`). Returns how many were removed. TempImage calls it; tests may too.
int removeAbandonedFolders(const std::string& base, long minimumAgeSeconds = 60);

} // namespace cartscope::archive
