#include "core/base/error.h"

#include <cerrno>
#include <cstring>

namespace cartscope::core {

std::string withFullStop(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

namespace {
std::string systemReason(int errnum)
{
    // Linux's texts for the common cases already read as the user expects
    // ("No such file or directory", "Permission denied", "Is a directory").
    return std::strerror(errnum);
}
} // namespace

std::string cannotOpenMessage(const std::string& path, int errnum)
{
    // The only way an open ends in EWOULDBLOCK here is the exclusive lock another program holds;
    // "Resource temporarily unavailable" would tell the user nothing.
    if (errnum == EWOULDBLOCK)
        return "Cannot open file \"" + path + "\". It is in use by another program";
    return "Cannot open file \"" + path + "\". " + systemReason(errnum);
}

std::string cannotCreateMessage(const std::string& path, int errnum)
{
    return "Cannot create file \"" + path + "\". " + systemReason(errnum);
}

} // namespace cartscope::core
