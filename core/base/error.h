#pragma once

#include <stdexcept>
#include <string>

namespace cartscope::core {

// The one error type of the project: what() is the exact text the user reads.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The error display's rule: a full stop is appended when the code of the last character is
// greater than that of "." (so "abc" gets one, "x." / "x)" / "x!" / "x " do not).
std::string withFullStop(const std::string& message);

// "Cannot open file "%s". %s" / "Cannot create file "%s". %s" with the system's reason for errnum.
std::string cannotOpenMessage(const std::string& path, int errnum);
std::string cannotCreateMessage(const std::string& path, int errnum);

inline constexpr const char* kStreamReadError = "Stream read error";
inline constexpr const char* kStreamWriteError = "Stream write error";

} // namespace cartscope::core
