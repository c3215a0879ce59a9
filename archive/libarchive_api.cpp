#include "archive/libarchive_api.h"

#include <dlfcn.h>
#include <string>

#include "core/error.h"

namespace cartscope::archive::detail {

namespace {

template <typename F> bool bind(void* library, F& function, const char* name)
{
    function = reinterpret_cast<F>(::dlsym(library, name));
    return function != nullptr;
}

} // namespace

const LibArchive& la()
{
    static const auto loaded = []() -> std::pair<LibArchive, bool> {
        LibArchive l{};
        // Kept loaded until the program ends, as a linked library would be.
        void* library = ::dlopen(CARTSCOPE_LIBARCHIVE, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return {l, false};
        const bool all =
            bind(library, l.archive_read_new, "archive_read_new") &&
            bind(library, l.archive_read_free, "archive_read_free") &&
            bind(library, l.archive_read_support_format_zip_seekable,
                 "archive_read_support_format_zip_seekable") &&
            bind(library, l.archive_read_open_fd, "archive_read_open_fd") &&
            bind(library, l.archive_read_next_header, "archive_read_next_header") &&
            bind(library, l.archive_read_data_block, "archive_read_data_block") &&
            bind(library, l.archive_error_string, "archive_error_string") &&
            bind(library, l.archive_filter_bytes, "archive_filter_bytes") &&
            bind(library, l.archive_entry_pathname, "archive_entry_pathname") &&
            bind(library, l.archive_entry_pathname_utf8, "archive_entry_pathname_utf8") &&
            bind(library, l.archive_entry_filetype, "archive_entry_filetype") &&
            bind(library, l.archive_entry_is_encrypted, "archive_entry_is_encrypted") &&
            bind(library, l.archive_entry_size, "archive_entry_size") &&
            bind(library, l.archive_entry_size_is_set, "archive_entry_size_is_set");
        return {l, all};
    }();
    if (!loaded.second)
        throw core::Error(std::string("The archive library ") + CARTSCOPE_LIBARCHIVE +
                          " cannot be loaded");
    return loaded.first;
}

} // namespace cartscope::archive::detail
