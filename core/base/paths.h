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

// Whether a dropped file is opened: extension ".nds", ".ids", ".dsi", ".srl" or ".zip" in any
// letter case.
bool isDroppableName(const std::string& path);

// ASCII case-insensitive equality (extension tests: ".nds", ".ids", ".zip").
bool equalsIgnoreCase(const std::string& a, const std::string& b);

} // namespace cartscope::core
