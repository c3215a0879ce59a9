#pragma once

// Zip and 7z archives for the archive tests, written in code with libarchive's own writer, plus
// a few raw patches (declared size, name bytes, the UTF-8 flag) that no writer would produce.
// Header only: the test folder's glob compiles only *_test.cpp files.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <archive.h>
#include <archive_entry.h>

#include "tests/fixture/image_builder.h"

namespace cartscope::testzip {

using fixture::Bytes;

enum class Kind { File, Dir, Symlink };

struct Entry {
    std::string name;
    Bytes data;
    Kind kind = Kind::File;
    std::string linkTarget; // for Kind::Symlink

    static Entry file(std::string name, Bytes data)
    {
        return {std::move(name), std::move(data), Kind::File, {}};
    }
    static Entry file(std::string name, const std::string& text)
    {
        return {std::move(name), Bytes(text.begin(), text.end()), Kind::File, {}};
    }
    static Entry dir(std::string name) { return {std::move(name), {}, Kind::Dir, {}}; }
    static Entry symlink(std::string name, std::string target)
    {
        return {std::move(name), {}, Kind::Symlink, std::move(target)};
    }
};

struct Options {
    bool deflate = true;
    bool zip64 = false;
    std::string passphrase; // non-empty: traditional PKWARE encryption of every file
};

namespace detail {

inline void check(struct archive* a, int r, const char* what)
{
    if (r != ARCHIVE_OK)
        throw std::runtime_error(std::string("zip builder: ") + what + ": " +
                                 (archive_error_string(a) ? archive_error_string(a) : "?"));
}

inline la_ssize_t appendToBytes(struct archive*, void* out, const void* buffer, size_t length)
{
    auto* bytes = static_cast<Bytes*>(out);
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    bytes->insert(bytes->end(), p, p + length);
    return static_cast<la_ssize_t>(length);
}

inline std::uint32_t get32(const Bytes& b, std::size_t at)
{
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | std::uint32_t(b.at(at + 3)) << 24;
}
inline std::uint16_t get16(const Bytes& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b.at(at) | b.at(at + 1) << 8);
}
inline void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put16(Bytes& b, std::size_t at, std::uint16_t v)
{
    b.at(at) = static_cast<std::uint8_t>(v);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}

} // namespace detail

inline Bytes buildZip(const std::vector<Entry>& entries, const Options& options = {})
{
    Bytes out;
    std::unique_ptr<struct archive, decltype(&archive_write_free)> a(archive_write_new(),
                                                                     &archive_write_free);
    detail::check(a.get(), archive_write_set_format_zip(a.get()), "format");
    detail::check(a.get(), archive_write_set_bytes_in_last_block(a.get(), 1), "block");
    detail::check(a.get(),
                  archive_write_set_options(a.get(), options.deflate ? "zip:compression=deflate"
                                                                     : "zip:compression=store"),
                  "compression");
    if (options.zip64)
        detail::check(a.get(), archive_write_set_options(a.get(), "zip:zip64"), "zip64");
    if (!options.passphrase.empty()) {
        detail::check(a.get(), archive_write_set_options(a.get(), "zip:encryption=zipcrypt"),
                      "encryption");
        detail::check(a.get(), archive_write_set_passphrase(a.get(), options.passphrase.c_str()),
                      "passphrase");
    }
    detail::check(
        a.get(),
        archive_write_open2(a.get(), &out, nullptr, &detail::appendToBytes, nullptr, nullptr),
        "open");
    for (const Entry& e : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                            &archive_entry_free);
        archive_entry_copy_pathname(entry.get(), e.name.c_str());
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        switch (e.kind) {
        case Kind::File:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_perm(entry.get(), 0644);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.data.size()));
            break;
        case Kind::Dir:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            archive_entry_set_perm(entry.get(), 0755);
            archive_entry_set_size(entry.get(), 0);
            break;
        case Kind::Symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_perm(entry.get(), 0777);
            archive_entry_copy_symlink(entry.get(), e.linkTarget.c_str());
            archive_entry_set_size(entry.get(), 0);
            break;
        }
        detail::check(a.get(), archive_write_header(a.get(), entry.get()), "header");
        if (e.kind == Kind::File && !e.data.empty()) {
            const la_ssize_t n = archive_write_data(a.get(), e.data.data(), e.data.size());
            if (n != static_cast<la_ssize_t>(e.data.size()))
                detail::check(a.get(), ARCHIVE_FATAL, "data");
        }
    }
    detail::check(a.get(), archive_write_close(a.get()), "close");
    return out;
}

inline void writeZip(const std::string& path, const std::vector<Entry>& entries,
                     const Options& options = {})
{
    fixture::writeFile(path, buildZip(entries, options));
}

// A 7z archive by libarchive's writer: every file's bytes in one solid block, compressed with
// `compression` ("lzma2", "lzma1", "copy", ...) and its header encoded likewise.
inline Bytes buildSevenZip(const std::vector<Entry>& entries, const std::string& compression,
                           int level = 1)
{
    Bytes out;
    std::unique_ptr<struct archive, decltype(&archive_write_free)> a(archive_write_new(),
                                                                     &archive_write_free);
    detail::check(a.get(), archive_write_set_format_7zip(a.get()), "format");
    detail::check(a.get(), archive_write_set_bytes_in_last_block(a.get(), 1), "block");
    detail::check(a.get(),
                  archive_write_set_options(a.get(), ("7zip:compression=" + compression).c_str()),
                  "compression");
    detail::check(a.get(),
                  archive_write_set_options(
                      a.get(), ("7zip:compression-level=" + std::to_string(level)).c_str()),
                  "level");
    detail::check(
        a.get(),
        archive_write_open2(a.get(), &out, nullptr, &detail::appendToBytes, nullptr, nullptr),
        "open");
    for (const Entry& e : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                            &archive_entry_free);
        archive_entry_copy_pathname(entry.get(), e.name.c_str());
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        const bool file = e.kind == Kind::File;
        archive_entry_set_filetype(entry.get(), file ? AE_IFREG : AE_IFDIR);
        archive_entry_set_perm(entry.get(), file ? 0644 : 0755);
        archive_entry_set_size(entry.get(), file ? static_cast<la_int64_t>(e.data.size()) : 0);
        detail::check(a.get(), archive_write_header(a.get(), entry.get()), "header");
        if (file && !e.data.empty()) {
            const la_ssize_t n = archive_write_data(a.get(), e.data.data(), e.data.size());
            if (n != static_cast<la_ssize_t>(e.data.size()))
                detail::check(a.get(), ARCHIVE_FATAL, "data");
        }
    }
    detail::check(a.get(), archive_write_close(a.get()), "close");
    return out;
}

// The raw layout of a (non-zip64) archive: for each central directory record, where it and its
// local header lie. Used only to patch archives this file wrote.
struct RawEntry {
    std::size_t central = 0; // offset of the central directory record
    std::size_t local = 0;   // offset of the local header
    std::size_t data = 0;    // offset of the member's (compressed) data
    std::string name;
};

inline std::vector<RawEntry> rawEntries(const Bytes& zip)
{
    if (zip.size() < 22 || detail::get32(zip, zip.size() - 22) != 0x06054b50)
        throw std::runtime_error("zip builder: no end record at the very end");
    const std::size_t end = zip.size() - 22;
    const std::size_t count = detail::get16(zip, end + 10);
    std::size_t at = detail::get32(zip, end + 16);
    std::vector<RawEntry> out;
    for (std::size_t i = 0; i < count; ++i) {
        if (detail::get32(zip, at) != 0x02014b50)
            throw std::runtime_error("zip builder: bad central record");
        RawEntry e;
        e.central = at;
        e.local = detail::get32(zip, at + 42);
        const std::size_t nameLength = detail::get16(zip, at + 28);
        e.name.assign(zip.begin() + static_cast<std::ptrdiff_t>(at + 46),
                      zip.begin() + static_cast<std::ptrdiff_t>(at + 46 + nameLength));
        e.data = e.local + 30 + detail::get16(zip, e.local + 26) + detail::get16(zip, e.local + 28);
        out.push_back(e);
        at += 46 + nameLength + detail::get16(zip, at + 30) + detail::get16(zip, at + 32);
    }
    return out;
}

// Declares another uncompressed size for entry `index`, in the central record and (when the
// writer put the sizes there rather than in a trailing descriptor) in the local header.
inline void patchDeclaredSize(Bytes& zip, std::size_t index, std::uint32_t size)
{
    const RawEntry e = rawEntries(zip).at(index);
    detail::put32(zip, e.central + 24, size);
    if (detail::get32(zip, e.local + 22) != 0)
        detail::put32(zip, e.local + 22, size);
    // A signed data descriptor after the data tells the same lie, so the records agree.
    const std::size_t at = e.data + detail::get32(zip, e.central + 20);
    if (at <= zip.size() && zip.size() - at >= 16 && detail::get32(zip, at) == 0x08074b50)
        detail::put32(zip, at + 12, size);
}

// Inverts the CRC-32 in entry `index`'s data descriptor (libarchive's writer puts one, signed,
// after every file's data): the descriptor then disagrees with the central record, so the
// reader leaves the member to libarchive, which reads the central record only and copies the
// member out as it always has.
inline void spoilDescriptor(Bytes& zip, std::size_t index)
{
    const RawEntry e = rawEntries(zip).at(index);
    const std::size_t at = e.data + detail::get32(zip, e.central + 20);
    if (detail::get32(zip, at) != 0x08074b50)
        throw std::runtime_error("zip builder: no signed data descriptor after the data");
    detail::put32(zip, at + 4, ~detail::get32(zip, at + 4));
}

// Overwrites byte `pos` of entry `index`'s name in both headers and flags the name as UTF-8.
inline void patchNameToBadUtf8(Bytes& zip, std::size_t index, std::size_t pos, std::uint8_t value)
{
    const RawEntry e = rawEntries(zip).at(index);
    zip.at(e.central + 46 + pos) = value;
    zip.at(e.local + 30 + pos) = value;
    zip.at(e.central + 9) |= 0x08; // general purpose flag bit 11 (high byte): name is UTF-8
    zip.at(e.local + 7) |= 0x08;
}

// One stored member written field by field, in the layouts of writers other than libarchive's
// (Python's zipfile with force_zip64, Info-ZIP's zip -fz, streaming writers), with where each
// part lies so a test can patch it.
struct StoredLayout {
    bool zip64Local = false;   // local sizes at 0xffffffff, the values in its zip64 field
    bool zip64Central = false; // central sizes and offset at 0xffffffff, the values in its zip64
                               // field; a zip64 end record and its locator before the end record
    enum class Descriptor { None, Signed, Unsigned } descriptor = Descriptor::None;
    bool wideDescriptor = false; // 8-byte sizes in the descriptor
};

struct RawStored {
    Bytes zip;
    std::size_t local = 0;      // the local header
    std::size_t localExtra = 0; // its extra field
    std::size_t data = 0;
    std::size_t descriptor = 0; // where a descriptor begins (== the central record without one)
    std::size_t central = 0;
    std::size_t centralExtra = 0;
    std::size_t zip64End = 0; // the zip64 end record, when written
    std::size_t end = 0;      // the end record
};

inline RawStored buildStoredZip(const std::string& name, const Bytes& data,
                                const StoredLayout& layout = {})
{
    using D = StoredLayout::Descriptor;
    RawStored r;
    Bytes& z = r.zip;
    const auto put = [&z](std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            z.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    const auto putName = [&] { z.insert(z.end(), name.begin(), name.end()); };
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t b : data) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    crc ^= 0xFFFFFFFFu;
    const std::uint64_t size = data.size();
    const bool streamed = layout.descriptor != D::None;
    const std::uint16_t flags = streamed ? 0x0008 : 0;
    constexpr std::uint32_t kMarker = 0xFFFFFFFFu;

    r.local = z.size();
    put(0x04034b50, 4);
    put(45, 2);
    put(flags, 2);
    put(0, 2);      // stored
    put(0x5A00, 4); // time, date
    put(streamed ? 0 : crc, 4);
    const std::uint64_t localSize = streamed ? 0 : size;
    put(layout.zip64Local ? kMarker : localSize, 4);
    put(layout.zip64Local ? kMarker : localSize, 4);
    put(name.size(), 2);
    put(layout.zip64Local ? 20 : 0, 2);
    putName();
    r.localExtra = z.size();
    if (layout.zip64Local) {
        put(0x0001, 2);
        put(16, 2);
        put(localSize, 8);
        put(localSize, 8);
    }
    r.data = z.size();
    z.insert(z.end(), data.begin(), data.end());
    r.descriptor = z.size();
    if (streamed) {
        if (layout.descriptor == D::Signed)
            put(0x08074b50, 4);
        put(crc, 4);
        put(size, layout.wideDescriptor ? 8 : 4);
        put(size, layout.wideDescriptor ? 8 : 4);
    }
    r.central = z.size();
    put(0x02014b50, 4);
    put(0x0300 | 45, 2); // made by Unix
    put(45, 2);
    put(flags, 2);
    put(0, 2);
    put(0x5A00, 4);
    put(crc, 4);
    put(layout.zip64Central ? kMarker : size, 4);
    put(layout.zip64Central ? kMarker : size, 4);
    put(name.size(), 2);
    put(layout.zip64Central ? 28 : 0, 2);
    put(0, 2); // comment
    put(0, 2); // disk
    put(0, 2); // internal attributes
    put(std::uint32_t{0100644} << 16, 4);
    put(layout.zip64Central ? kMarker : r.local, 4);
    putName();
    r.centralExtra = z.size();
    if (layout.zip64Central) {
        put(0x0001, 2);
        put(24, 2);
        put(size, 8);
        put(size, 8);
        put(r.local, 8);
    }
    const std::size_t directorySize = z.size() - r.central;
    if (layout.zip64Central) {
        r.zip64End = z.size();
        put(0x06064b50, 4);
        put(44, 8);
        put(45, 2);
        put(45, 2);
        put(0, 4); // this disk
        put(0, 4); // the directory's disk
        put(1, 8);
        put(1, 8);
        put(directorySize, 8);
        put(r.central, 8);
        put(0x07064b50, 4); // the locator
        put(0, 4);
        put(r.zip64End, 8);
        put(1, 4);
    }
    r.end = z.size();
    put(0x06054b50, 4);
    put(0, 2);
    put(0, 2);
    put(1, 2);
    put(1, 2);
    put(directorySize, 4);
    put(layout.zip64Central ? kMarker : r.central, 4);
    put(0, 2);
    return r;
}

// Bytes that neither repeat nor compress to nothing (an LCG), so a corrupted byte or a cut
// archive is noticed by the reader.
inline Bytes noise(std::size_t size, std::uint32_t seed = 1)
{
    Bytes out(size);
    std::uint32_t x = seed;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

// Points XDG_CACHE_HOME at a fresh folder for the object's lifetime, so tests never touch the
// user's cache.
class PrivateCache {
public:
    PrivateCache()
    {
        if (const char* old = std::getenv("XDG_CACHE_HOME"))
            m_old = old;
        ::setenv("XDG_CACHE_HOME", m_dir.file("cache").c_str(), 1);
    }
    ~PrivateCache()
    {
        if (m_old)
            ::setenv("XDG_CACHE_HOME", m_old->c_str(), 1);
        else
            ::unsetenv("XDG_CACHE_HOME");
    }
    PrivateCache(const PrivateCache&) = delete;
    PrivateCache& operator=(const PrivateCache&) = delete;
    const fixture::TempDir& dir() const { return m_dir; }
    std::string cache() const { return m_dir.file("cache"); }
    std::string base() const { return cache() + "/cartscope/Temp"; }

private:
    fixture::TempDir m_dir;
    std::optional<std::string> m_old;
};

} // namespace cartscope::testzip
