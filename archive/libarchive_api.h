#pragma once

#include <archive.h>
#include <archive_entry.h>

// libarchive, opened the first time an archive is read rather than at every start of the
// programs: with the libraries it brings (libxml2, ICU, compression and ACL libraries) it was
// most of a short command's start-up time, and only archive input uses it.
namespace cartscope::archive::detail {

// The functions the reader uses, named as libarchive names them.
struct LibArchive {
    decltype(&::archive_read_new) archive_read_new;
    decltype(&::archive_read_free) archive_read_free;
    decltype(&::archive_read_support_format_zip_seekable) archive_read_support_format_zip_seekable;
    decltype(&::archive_read_support_format_7zip) archive_read_support_format_7zip;
    decltype(&::archive_read_open_fd) archive_read_open_fd;
    decltype(&::archive_read_set_callback_data) archive_read_set_callback_data;
    decltype(&::archive_read_set_read_callback) archive_read_set_read_callback;
    decltype(&::archive_read_set_seek_callback) archive_read_set_seek_callback;
    decltype(&::archive_read_set_skip_callback) archive_read_set_skip_callback;
    decltype(&::archive_read_open1) archive_read_open1;
    decltype(&::archive_set_error) archive_set_error;
    decltype(&::archive_read_next_header) archive_read_next_header;
    decltype(&::archive_read_data_block) archive_read_data_block;
    decltype(&::archive_error_string) archive_error_string;
    decltype(&::archive_filter_bytes) archive_filter_bytes;
    decltype(&::archive_entry_pathname) archive_entry_pathname;
    decltype(&::archive_entry_pathname_utf8) archive_entry_pathname_utf8;
    decltype(&::archive_entry_filetype) archive_entry_filetype;
    decltype(&::archive_entry_is_encrypted) archive_entry_is_encrypted;
    decltype(&::archive_entry_size) archive_entry_size;
    decltype(&::archive_entry_size_is_set) archive_entry_size_is_set;
};

// The loaded library. Throws core::Error naming it when it or one of the functions is missing
// (a broken installation).
const LibArchive& la();

} // namespace cartscope::archive::detail
