#pragma once

#include <string>

namespace cartscope::core {

// Removes the extension of the path's last component (from its last "." on) and appends
// `newExtension`; a last component without "." simply gets it appended.
std::string replaceExtension(const std::string& path, const std::string& newExtension);

// The extension of the last component ("." included), or empty text.
std::string extensionOf(const std::string& path);

// What follows the last "/" (the name part of a path).
std::string namePart(const std::string& path);

// What a name says about a cartridge image, by its extension in any ASCII letter case: ".nds" or
// ".ids" (a DS or iQue DS image, the first choice in an archive), ".dsi" or ".srl" (a DSi or
// SDK image, taken from an archive only when it holds none of the first), or neither. The one
// rule every front end and the archive lookup use.
enum class ImageName { None, Ds, Dsi };
ImageName imageNameOf(const std::string& name);

// Whether a dropped file is opened: an image name (imageNameOf), ".zip" or ".7z" in any letter
// case.
bool isDroppableName(const std::string& path);

// ASCII case-insensitive equality (extension tests: ".nds", ".ids", ".zip").
bool equalsIgnoreCase(const std::string& a, const std::string& b);

} // namespace cartscope::core
