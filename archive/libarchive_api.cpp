#include "archive/libarchive_api.h"

#include "core/base/shared_library.h"

namespace cartscope::archive::detail {

const LibArchive& la()
{
    return core::libraryTable<LibArchive>(
        CARTSCOPE_LIBARCHIVE, "The archive library",
        [](const core::SharedLibrary& library, LibArchive& l) {
            return library.bind(l.archive_read_new, "archive_read_new") &&
                   library.bind(l.archive_read_free, "archive_read_free") &&
                   library.bind(l.archive_read_support_format_zip_seekable,
                                "archive_read_support_format_zip_seekable") &&
                   library.bind(l.archive_read_support_format_7zip,
                                "archive_read_support_format_7zip") &&
                   library.bind(l.archive_read_open_fd, "archive_read_open_fd") &&
                   library.bind(l.archive_read_set_callback_data,
                                "archive_read_set_callback_data") &&
                   library.bind(l.archive_read_set_read_callback,
                                "archive_read_set_read_callback") &&
                   library.bind(l.archive_read_set_seek_callback,
                                "archive_read_set_seek_callback") &&
                   library.bind(l.archive_read_set_skip_callback,
                                "archive_read_set_skip_callback") &&
                   library.bind(l.archive_read_open1, "archive_read_open1") &&
                   library.bind(l.archive_set_error, "archive_set_error") &&
                   library.bind(l.archive_read_next_header, "archive_read_next_header") &&
                   library.bind(l.archive_read_data_block, "archive_read_data_block") &&
                   library.bind(l.archive_error_string, "archive_error_string") &&
                   library.bind(l.archive_filter_bytes, "archive_filter_bytes") &&
                   library.bind(l.archive_entry_pathname, "archive_entry_pathname") &&
                   library.bind(l.archive_entry_pathname_utf8, "archive_entry_pathname_utf8") &&
                   library.bind(l.archive_entry_filetype, "archive_entry_filetype") &&
                   library.bind(l.archive_entry_is_encrypted, "archive_entry_is_encrypted") &&
                   library.bind(l.archive_entry_size, "archive_entry_size") &&
                   library.bind(l.archive_entry_size_is_set, "archive_entry_size_is_set");
        });
}

} // namespace cartscope::archive::detail
