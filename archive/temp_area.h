#pragma once

#include <string>
#include <vector>

#include "core/base/fd.h"

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
// While the object lives it holds an exclusive lock on its folder (a folder that cannot be
// locked is removed again and the creation fails). A program that crashed or was killed cannot
// remove its folder; every start of either program (removeLeftovers) and the next TempImage of
// any Cartscope remove every "open-*" folder that nobody holds locked.
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

// Folders younger than this are spared by the sweeps: another Cartscope may be between mkdtemp
// and flock on them.
inline constexpr long kLeftoverAgeSeconds = 5;

// Removes the "open-*" folders in `base` left by programs that are gone (not locked, older than
// `minimumAgeSeconds`). Returns how many were removed; a folder that cannot be removed is
// described in `errors` when given. TempImage calls it; tests may too.
int removeAbandonedFolders(const std::string& base, long minimumAgeSeconds = kLeftoverAgeSeconds,
                           std::vector<std::string>* errors = nullptr);

// The sweep each program makes at its start: the leftovers of the temporary area, when there is
// one (nothing is created). Returns the user's message for each leftover that could not be
// removed; the program shows them.
std::vector<std::string> removeLeftovers();

} // namespace cartscope::archive
