#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <sys/stat.h>

// What the extraction run keys its tables by.
namespace cartscope::core::detail {

// A file or folder as the file system knows it, whatever the names that reach it.
struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const Identity&) const = default;
};
struct IdentityHash {
    std::size_t operator()(const Identity& i) const
    {
        return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(i.ino) * 31 +
                                          static_cast<std::uint64_t>(i.dev));
    }
};
inline Identity identityOf(const struct stat& st)
{
    return {st.st_dev, st.st_ino};
}

// Folder paths look up tables keyed by text without being copied into a key.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
};

} // namespace cartscope::core::detail
