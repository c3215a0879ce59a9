#include "archive/dat_load.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/member_stream.h"
#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/base/xdg.h"
#include "core/io/stream.h"

namespace cartscope::archive {

namespace {

bool isDatName(const std::string& name)
{
    const std::string ext = core::extensionOf(name);
    return core::equalsIgnoreCase(ext, ".dat") || core::equalsIgnoreCase(ext, ".xml");
}

std::string tooLarge(const std::string& file)
{
    return "DAT \"" + file + "\" is too large (over " + std::to_string(core::kMaxDatSize >> 20) +
           " MiB)";
}

// Collects a member's bytes in memory, refusing more than a DAT may hold (a small archive can
// unpack to far more).
class Collect final : public core::ReadSink {
public:
    Collect(std::string file, const std::function<bool()>& cancelled)
        : m_file(std::move(file)), m_cancelled(cancelled)
    {}
    void consume(std::span<const std::uint8_t> block, std::uint64_t) override
    {
        if (m_cancelled && m_cancelled())
            throw core::Error("DAT \"" + m_file + "\": load cancelled");
        if (block.size() > core::kMaxDatSize - bytes.size())
            throw core::Error(tooLarge(m_file));
        bytes.insert(bytes.end(), block.begin(), block.end());
    }
    std::vector<char> bytes;

private:
    std::string m_file;
    const std::function<bool()>& m_cancelled;
};

void loadZip(const std::string& path, core::DatSet& dats, const std::function<bool()>& cancelled)
{
    std::unique_ptr<Collect> current;
    core::ReadSink* sinks[1] = {nullptr};
    MemberEvents events;
    events.onBegin = [&](const StreamedMember& m) {
        current = std::make_unique<Collect>(path + ":" + m.name, cancelled);
        if (m.declaredSize > core::kMaxDatSize)
            throw core::Error(tooLarge(path + ":" + m.name));
        sinks[0] = current.get();
        return std::span<core::ReadSink* const>(sinks);
    };
    events.onEnd = [&](const StreamedMember& m, const std::string& error) {
        if (!error.empty())
            throw core::Error("DAT \"" + path + ":" + m.name + "\": " + error);
        dats.add(path + ":" + m.name, current->bytes, cancelled);
        current.reset();
    };
    if (streamMembers(path, isDatName, events) == 0)
        throw core::Error("\"" + path + "\" holds no .dat or .xml DAT");
}

} // namespace

void loadDat(const std::string& path, core::DatSet& dats, const std::function<bool()>& cancelled)
{
    if (core::equalsIgnoreCase(core::extensionOf(path), ".zip")) {
        loadZip(path, dats, cancelled);
        return;
    }
    const core::FileStream file(path);
    if (file.size() > core::kMaxDatSize)
        throw core::Error(tooLarge(path));
    std::vector<char> bytes(static_cast<std::size_t>(file.size()));
    const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
    if (file.pread(0, out) != out.size())
        throw core::Error(core::kStreamReadError);
    dats.add(path, bytes, cancelled);
}

std::string datFolder()
{
    const std::string data = core::xdgFolder(core::XdgFolder::Data);
    return data.empty() ? data : data + "/cartscope/dats";
}

std::vector<std::string> datFilesIn(const std::string& folder, std::vector<std::string>* skipped)
{
    std::vector<std::string> out;
    std::vector<std::string> passed;
    if (folder.empty())
        return out;
    struct CloseDir {
        void operator()(DIR* d) const { closedir(d); }
    };
    const std::unique_ptr<DIR, CloseDir> dir(opendir(folder.c_str()));
    if (!dir)
        return out;
    // Bounded by the folder's entries.
    while (const dirent* d = readdir(dir.get())) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + "/" + name;
        const bool datName =
            isDatName(name) || core::equalsIgnoreCase(core::extensionOf(name), ".zip");
        // A link is followed to what it names: a DAT kept elsewhere and linked in is loaded.
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            passed.push_back(core::cannotOpenMessage(path, errno));
        } else if (!datName) {
            if (!S_ISDIR(st.st_mode))
                passed.push_back("\"" + path + "\" is not a DAT (.dat, .xml or .zip)");
        } else if (!S_ISREG(st.st_mode)) {
            passed.push_back(core::notRegularMessage(path, st.st_mode));
        } else {
            out.push_back(path);
        }
    }
    std::sort(out.begin(), out.end());
    std::sort(passed.begin(), passed.end());
    if (skipped)
        skipped->insert(skipped->end(), passed.begin(), passed.end());
    return out;
}

DatFolderLoad loadDatFolder(const std::string& folder, const std::function<bool()>& cancelled)
{
    DatFolderLoad out;
    for (const std::string& path : datFilesIn(folder, &out.skipped)) {
        try {
            loadDat(path, out.dats, cancelled);
        } catch (const std::exception& e) {
            out.skipped.emplace_back(e.what());
        }
        if (cancelled && cancelled()) {
            out.cancelled = true;
            break;
        }
    }
    return out;
}

namespace {

void makeFolders(const std::string& folder)
{
    // Each missing level in turn; an existing one (or a link to one) is fine.
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/')
            continue;
        const std::string part = folder.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            throw core::Error("Cannot create folder \"" + part + "\". " + std::strerror(errno));
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw core::Error("Cannot create folder \"" + folder + "\". Not a folder");
}

} // namespace

std::string addDatToFolder(const std::string& source, const std::string& folder)
{
    if (folder.empty())
        throw core::Error("No folder for DATs: neither XDG_DATA_HOME nor HOME is set");
    {
        core::DatSet check;
        loadDat(source, check);
    }
    const std::string name = core::namePart(source);
    makeFolders(folder);
    const std::string destination = folder + "/" + name;
    const std::string partial = folder + "/." + name + ".partial";
    const core::FileStream in(source);
    {
        ::unlink(partial.c_str());
        core::UniqueFd out(
            ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!out.valid())
            throw core::Error(core::cannotCreateMessage(partial, errno));
        std::vector<std::uint8_t> block(std::size_t{1} << 20);
        std::uint64_t at = 0;
        // Bounded by the source's size, itself checked by the load above.
        while (at < in.size()) {
            const std::size_t n = in.pread(at, block);
            if (n == 0)
                break;
            if (core::writeAll(out.get(), std::span(block).first(n)) != 0) {
                ::unlink(partial.c_str());
                throw core::Error(core::kStreamWriteError);
            }
            at += n;
        }
        if (out.close() != 0) {
            ::unlink(partial.c_str());
            throw core::Error(core::kStreamWriteError);
        }
    }
    if (::rename(partial.c_str(), destination.c_str()) != 0) {
        const int err = errno;
        ::unlink(partial.c_str());
        throw core::Error(core::cannotCreateMessage(destination, err));
    }
    return destination;
}

} // namespace cartscope::archive
