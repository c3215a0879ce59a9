#include "archive/collection_scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/member_stream.h"
#include "archive/torrentzip.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/io/archive_kind.h"
#include "core/io/open_below.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"

namespace cartscope::archive {

namespace {

// Folders nested deeper than this are reported instead of walked.
constexpr int kMaxDepth = 64;

bool isDumpName(const std::string& name)
{
    return core::imageNameOf(name) != core::ImageName::None ||
           core::equalsIgnoreCase(core::extensionOf(name), ".zip") ||
           core::equalsIgnoreCase(core::extensionOf(name), ".7z");
}

DumpItem itemFor(const std::string& path, std::uint64_t size)
{
    DumpItem item;
    item.path = path;
    item.size = size;
    item.zip = core::equalsIgnoreCase(core::extensionOf(path), ".zip");
    return item;
}

DumpItem failed(const std::string& path, std::string error)
{
    DumpItem item;
    item.path = path;
    item.error = std::move(error);
    return item;
}

// The entry names of a folder other than "." and "..", sorted.
std::vector<std::string> sortedNames(DIR* dir)
{
    std::vector<std::string> names;
    // Bounded by the folder's entries.
    while (const dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every image, .zip and .7z below `dir`, names sorted; symbolic links are never followed, so a
// link loop cannot make the walk endless. `rootLength` is the length of the folder the user gave.
void walk(const std::string& dir, std::size_t rootLength, int depth, std::vector<DumpItem>& items)
{
    struct CloseDir {
        void operator()(DIR* d) const { closedir(d); }
    };
    if (depth > kMaxDepth) {
        items.push_back(failed(dir, "Folder \"" + dir + "\" is nested too deeply"));
        return;
    }
    const std::unique_ptr<DIR, CloseDir> d(opendir(dir.c_str()));
    if (!d) {
        items.push_back(failed(dir, core::cannotOpenMessage(dir, errno)));
        return;
    }
    for (const std::string& name : sortedNames(d.get())) {
        const std::string path = dir + (dir.back() == '/' ? "" : "/") + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            items.push_back(failed(path, core::cannotOpenMessage(path, errno)));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            walk(path, rootLength, depth + 1, items);
        } else if (S_ISREG(st.st_mode) && isDumpName(name)) {
            items.push_back(itemFor(path, static_cast<std::uint64_t>(st.st_size)));
            items.back().belowAt = rootLength;
        }
    }
}

void scanArchive(const DumpItem& item, int fd, bool torrentzip, const core::DatSet& dats,
                 const ScanHooks& hooks, const std::function<void(ScannedDump)>& report)
{
    std::unique_ptr<core::ImageVerifier> verifier;
    std::optional<MemoryBudget::Share> share; // held while a 7z archive is read
    MemberEvents events;
    events.onMemory = [&](std::uint64_t bytes) {
        if (hooks.memory)
            share.emplace(*hooks.memory, bytes);
    };
    std::vector<core::ReadSink*> sinks;
    events.onBegin = [&](const StreamedMember& m) {
        verifier =
            std::make_unique<core::ImageVerifier>(dats, m.declaredSize, false, hooks.threaded);
        sinks.assign(verifier->sinks().begin(), verifier->sinks().end());
        if (hooks.dumpSink)
            if (core::ReadSink* extra = hooks.dumpSink(fd, true))
                sinks.push_back(extra);
        return std::span<core::ReadSink* const>(sinks);
    };
    const auto cancelled = [&hooks] { return hooks.cancelled && hooks.cancelled(); };
    events.onEnd = [&](const StreamedMember& m, const std::string& error) {
        ScannedDump dump{item.path, m.name, m.index, std::nullopt, error, torrentzip};
        if (error.empty()) {
            dump.result = verifier->result(cancelled);
            if (!dump.result)
                return;
        }
        report(std::move(dump));
    };
    events.cancelled = cancelled;
    const std::size_t members = streamMembers(
        fd, item.path,
        [](const std::string& name) { return core::imageNameOf(name) != core::ImageName::None; },
        events);
    if (hooks.onBytes)
        hooks.onBytes(item.size);
    if (members == 0 && !cancelled())
        report({item.path, std::nullopt, 0, std::nullopt,
                "No .nds, .ids, .dsi or .srl image in the archive", false});
}

} // namespace

std::vector<DumpItem> collectDumps(const std::vector<std::string>& paths)
{
    std::vector<DumpItem> items;
    for (const std::string& path : paths) {
        struct stat st {};
        // A path given by the user is followed when it is a link; links inside folders are not.
        if (::stat(path.c_str(), &st) != 0)
            items.push_back(failed(path, core::cannotOpenMessage(path, errno)));
        else if (S_ISDIR(st.st_mode))
            walk(path, path.size(), 0, items);
        else if (S_ISREG(st.st_mode))
            items.push_back(itemFor(path, static_cast<std::uint64_t>(st.st_size)));
        else
            items.push_back(failed(path, core::notRegularMessage(path, st.st_mode)));
    }
    return items;
}

core::UniqueFd openDumpItem(const DumpItem& item)
{
    if (item.belowAt != std::string::npos) {
        std::size_t start = item.belowAt;
        while (start < item.path.size() && item.path[start] == '/')
            ++start;
        return core::openBelow(item.path.substr(0, item.belowAt), item.path.substr(start));
    }
    core::UniqueFd fd(::open(item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid())
        throw core::Error(core::cannotOpenMessage(item.path, errno));
    return fd;
}

MemoryBudget::Share::Share(MemoryBudget& budget, std::uint64_t bytes)
    : m_budget(budget), m_bytes(bytes)
{
    std::unique_lock lock(budget.m_mutex);
    budget.m_freed.wait(lock, [&] {
        return budget.m_used == 0 ||
               (budget.m_used <= budget.m_total && bytes <= budget.m_total - budget.m_used);
    });
    budget.m_used += bytes;
}

MemoryBudget::Share::~Share()
{
    {
        const std::lock_guard lock(m_budget.m_mutex);
        m_budget.m_used -= m_bytes;
    }
    m_budget.m_freed.notify_all();
}

void scanItem(const DumpItem& item, const core::DatSet& dats, const ScanHooks& hooks,
              const std::function<void(ScannedDump)>& report)
{
    if (!item.error.empty()) {
        report({item.path, std::nullopt, 0, std::nullopt, item.error, false});
        return;
    }
    const core::UniqueFd file = openDumpItem(item);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        throw core::Error(core::cannotOpenMessage(item.path, errno));
    if (!S_ISREG(st.st_mode))
        throw core::Error(core::notRegularMessage(item.path, st.st_mode));
    const core::DescriptorStream image(file.get(), static_cast<std::uint64_t>(st.st_size));
    // The first bytes decide: a zip archive under any name is read as one, another archive is
    // refused by its kind. A file named .zip without the signature (bytes in front of the
    // archive) still goes to the archive reader.
    const core::ArchiveKind kind = core::archiveKindOf(image);
    if (kind == core::ArchiveKind::Zip || kind == core::ArchiveKind::SevenZip ||
        (kind == core::ArchiveKind::None && item.zip))
        return scanArchive(item, file.get(), isTorrentZipped(image), dats, hooks, report);
    if (kind != core::ArchiveKind::None)
        throw core::Error(core::unsupportedArchiveMessage(item.path, kind));
    core::ImageVerifier verifier(dats, image.size(), false, hooks.threaded);
    std::vector<core::ReadSink*> sinks(verifier.sinks().begin(), verifier.sinks().end());
    if (hooks.dumpSink)
        if (core::ReadSink* extra = hooks.dumpSink(file.get(), false))
            sinks.push_back(extra);
    const auto cancelled = [&hooks] { return hooks.cancelled && hooks.cancelled(); };
    std::uint64_t told = 0;
    const bool complete = core::readPass(image, sinks, [&](std::uint64_t done, std::uint64_t) {
        if (hooks.onBytes)
            hooks.onBytes(done - told);
        told = done;
        return !cancelled();
    });
    if (!complete)
        return;
    if (auto result = verifier.result(cancelled))
        report({item.path, std::nullopt, 0, std::move(result), {}, false});
}

} // namespace cartscope::archive
