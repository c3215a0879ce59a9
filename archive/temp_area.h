#pragma once

#include <string>

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
    std::string m_folder; // empty once removed or moved from
};

} // namespace cartscope::archive
