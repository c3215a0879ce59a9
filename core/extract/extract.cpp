// Extraction of file list rows into a folder.
//
// Safety: names from an image are hostile. Every component is cleaned (cleanName), the joined
// path is checked to lie inside base/internal-name, and the files are written by walking from
// the base folder with openat/mkdirat: no component below the base is ever followed through a
// symbolic link (O_NOFOLLOW on every step), so a link planted inside the destination cannot
// redirect a write. An existing symbolic link or multiply-linked file at a file's destination is
// removed and a new regular file created in its place, so the write never reaches another inode;
// the open image itself is never a destination ("Device or resource busy").
//
// Refusals: a row that carries a problem or whose path was cut for length is refused by the run
// (refusal) before anything of it is created; the front ends only word the result.
//
// Ranges: a row's range is checked against the image size before anything is created, so a row
// that runs past the end of the image fails with "Stream read error" and leaves no file. A read
// or write failure during the copy (the image shrank, the disk is full) leaves no file either:
// a file gets its name only once it is complete.
//
// Writing: see extraction_run.cpp (folders, identities, the copy).
#include "core/extract/extract.h"

#include <cerrno>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/extract/extraction_run.h"
#include "core/extract/path_pieces.h"
#include "core/extract/view_set.h"

namespace cartscope::core {

using detail::isSafeComponent;
using detail::withSuffix;

namespace {

std::shared_ptr<const std::string> baseOf(const std::string& destinationBase)
{
    std::string base = destinationBase.empty() ? std::string("./") : destinationBase;
    if (base.back() != '/')
        base.push_back('/');
    return std::make_shared<const std::string>(std::move(base));
}

} // namespace

// Plans rows one by one, in order (see ExtractionPlanner): the paths taken so far and the folder
// of the previous row.
class ExtractionPlanner::Impl {
public:
    Impl(const std::string& destinationBase, const std::string& internalName, std::size_t rows)
        : m_base(baseOf(destinationBase)), m_root(cleanName(internalName)),
          m_rootPrefix(m_root + "/"), m_rootSafe(isSafeComponent(m_root))
    {
        // Reserved once: the sets below hold views into the plan's relative paths, which must
        // not move while the plan is made (see makeRoom).
        m_plan.reserve(rows);
        m_filePaths.reserve(rows);
    }

    void add(FileRow row);
    std::vector<PlannedFile> take() { return std::move(m_plan); }

private:
    void makeRoom();
    bool enterFolder(std::string_view rawFolder, bool hasSlash);
    std::string freeName(const std::string& parent, const std::string& name, bool forFile);
    std::string relativeOf(const std::string& leafName) const;
    void addRefused(FileRow row);

    const std::shared_ptr<const std::string> m_base;
    const std::string m_root;
    const std::string m_rootPrefix;
    const bool m_rootSafe;
    std::vector<PlannedFile> m_plan;
    // Paths relative to the internal-name folder, as taken by earlier rows of this plan.
    detail::ViewSet m_filePaths;
    detail::ViewSet m_dirPaths;
    // Next suffix to try per colliding path, so n rows of one path cost O(n), not O(n^2).
    std::unordered_map<std::string, std::uint64_t> m_nextSuffix;
    // The folder of the previous row, as given and as planned. Rows of one folder mostly come
    // together, and such a row plans the same folder: the one file planned since, the previous
    // row's, has more components than any folder on this row's way, so it cannot be one of them.
    bool m_haveFolder = false;
    bool m_lastHadSlash = false;
    std::string m_lastRawFolder;
    std::string m_parent;                  // cleaned and renamed folders, "a/b" ("" for none)
    std::vector<std::size_t> m_prefixEnds; // where each folder on the way ends in m_parent
    bool m_parentRenamed = false;
    bool m_parentSafe = true;
};

std::string ExtractionPlanner::Impl::freeName(const std::string& parent, const std::string& name,
                                              bool forFile)
{
    const auto taken = [&](const std::string& p) {
        return m_filePaths.contains(p) || (forFile && m_dirPaths.contains(p));
    };
    const std::string prefix = parent.empty() ? parent : parent + "/";
    std::uint64_t& k = m_nextSuffix[prefix + name];
    if (k < 2)
        k = 2;
    // Every name tried is taken by an earlier row, so this ends within the row count.
    while (taken(prefix + withSuffix(name, k)))
        ++k;
    return withSuffix(name, k);
}

std::string ExtractionPlanner::Impl::relativeOf(const std::string& leafName) const
{
    std::string r = m_rootPrefix;
    r.reserve(m_rootPrefix.size() + m_parent.size() + 1 + leafName.size());
    if (!m_parent.empty()) {
        r += m_parent;
        r += '/';
    }
    r += leafName;
    return r;
}

// Plans the row's folder, unless it is the previous row's; returns whether it was new. Each
// component, empty ones included, is cleaned. A folder on the way that an earlier row wrote as
// a file: this row's folder gets a suffix (and so do its siblings, which land in the same renamed
// folder). Bounded by the path's length.
bool ExtractionPlanner::Impl::enterFolder(std::string_view rawFolder, bool hasSlash)
{
    if (m_haveFolder && hasSlash == m_lastHadSlash && rawFolder == m_lastRawFolder)
        return false;
    m_haveFolder = true;
    m_lastHadSlash = hasSlash;
    m_lastRawFolder.assign(rawFolder);
    m_parent.clear();
    m_prefixEnds.clear();
    m_parentRenamed = false;
    m_parentSafe = true;
    for (std::size_t start = 0; hasSlash;) {
        const std::size_t end = rawFolder.find('/', start);
        std::string part = cleanName(std::string(
            rawFolder.substr(start, end == std::string_view::npos ? end : end - start)));
        std::string here = m_parent.empty() ? part : m_parent + "/" + part;
        if (m_filePaths.contains(here)) {
            part = freeName(m_parent, part, false);
            here = m_parent.empty() ? part : m_parent + "/" + part;
            m_parentRenamed = true;
        }
        m_parentSafe = m_parentSafe && isSafeComponent(part);
        m_parent = std::move(here);
        m_prefixEnds.push_back(m_parent.size());
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return true;
}

// A row the run will refuse: its cleaned path, taking no name from the others.
void ExtractionPlanner::Impl::addRefused(FileRow row)
{
    PlannedFile p;
    p.relative = m_root;
    std::string_view path = row.path;
    // Bounded by the path's length.
    for (std::size_t start = path.starts_with('/') ? 1 : 0;;) {
        const std::size_t end = path.find('/', start);
        p.relative += '/';
        p.relative += cleanName(
            std::string(path.substr(start, end == std::string_view::npos ? end : end - start)));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    p.base = m_base;
    p.offset = row.offset;
    p.size = row.size;
    p.row = std::move(row);
    makeRoom();
    m_plan.push_back(std::move(p));
}

void ExtractionPlanner::Impl::add(FileRow row)
{
    if (!row.problem.empty())
        return addRefused(std::move(row));
    std::string_view path = row.path;
    if (!path.empty() && path[0] == '/')
        path.remove_prefix(1);
    const std::size_t slash = path.rfind('/');
    const bool hasSlash = slash != std::string_view::npos;
    const bool newFolder =
        enterFolder(hasSlash ? path.substr(0, slash) : std::string_view(), hasSlash);

    PlannedFile p;
    p.renamed = m_parentRenamed;
    std::string name = cleanName(std::string(hasSlash ? path.substr(slash + 1) : path));
    p.relative = relativeOf(name);
    const std::string_view leaf = std::string_view(p.relative).substr(m_rootPrefix.size());
    // The row's own folders may not be in m_dirPaths yet; none of them can be its leaf (or a
    // suffixed leaf), which has more components.
    if (m_filePaths.contains(leaf) || m_dirPaths.contains(leaf)) {
        name = freeName(m_parent, name, true);
        p.relative = relativeOf(name);
        p.renamed = true;
    }
    p.base = m_base;
    // Every component is safe (never empty, ".", ".." or holding "/"), so the path lies inside
    // base/internal-name whatever the base is.
    if (!m_rootSafe || !m_parentSafe || !isSafeComponent(name))
        throw Error(cannotCreateMessage(p.full(), EINVAL));
    p.offset = row.offset;
    p.size = row.size;
    p.row = std::move(row);
    makeRoom();
    m_plan.push_back(std::move(p));

    const std::string_view placed =
        std::string_view(m_plan.back().relative).substr(m_rootPrefix.size());
    m_filePaths.insert(placed);
    if (newFolder)
        for (const std::size_t end : m_prefixEnds)
            m_dirPaths.insert(placed.substr(0, end));
}

// More rows than the caller expected: the plan moves (a short path lives inside its record), so
// the sets are made again from the moved paths. Every folder on a placed row's way is one of its
// prefixes, whichever row of that folder first placed it.
void ExtractionPlanner::Impl::makeRoom()
{
    if (m_plan.size() < m_plan.capacity())
        return;
    m_plan.reserve(m_plan.empty() ? 16 : m_plan.size() * 2);
    m_filePaths.clear();
    m_dirPaths.clear();
    for (const PlannedFile& p : m_plan) {
        if (!p.row.problem.empty())
            continue;
        const std::string_view placed = std::string_view(p.relative).substr(m_rootPrefix.size());
        m_filePaths.insert(placed);
        for (std::size_t slash = placed.find('/'); slash != std::string_view::npos;
             slash = placed.find('/', slash + 1))
            m_dirPaths.insert(placed.substr(0, slash));
    }
}

ExtractionPlanner::ExtractionPlanner(const std::string& destinationBase,
                                     const std::string& internalName, std::size_t expectedRows)
    : m_impl(std::make_unique<Impl>(destinationBase, internalName, expectedRows))
{}

ExtractionPlanner::~ExtractionPlanner() = default;

void ExtractionPlanner::add(FileRow row)
{
    m_impl->add(std::move(row));
}

std::vector<PlannedFile> ExtractionPlanner::take()
{
    return m_impl->take();
}

std::vector<PlannedFile> planExtraction(const std::string& destinationBase,
                                        const std::string& internalName, std::vector<FileRow> rows)
{
    ExtractionPlanner planner(destinationBase, internalName, rows.size());
    for (FileRow& row : rows)
        planner.add(std::move(row));
    return planner.take();
}

std::optional<std::string> refusal(const FileRow& row)
{
    // A row whose path had to be cut for length is never written under the cut name.
    if (!row.problem.empty() || row.pathTooLong)
        return "Cannot extract \"" + row.path +
               "\": " + (row.problem.empty() ? std::string("path too long") : row.problem);
    return std::nullopt;
}

void requireExtractable(const FileRow& row)
{
    if (const std::optional<std::string> why = refusal(row))
        throw Error(*why);
}

bool rangeInsideImage(const PlannedFile& file, std::uint64_t imageSize)
{
    if (file.size <= 0)
        return true;
    const auto length = static_cast<std::uint64_t>(file.size);
    return file.offset <= imageSize && length <= imageSize - file.offset;
}

std::uint64_t extractPlanned(const Stream& image, const PlannedFile& file, const DirectoryOps& ops)
{
    detail::ExtractionRun run(image, ops);
    return run.extract(file).bytes;
}

namespace {

// One run over a plan with its options: the summary it builds and the calls it makes.
class RunLoop {
public:
    RunLoop(const Stream& image, const std::vector<PlannedFile>& plan,
            const ExtractOptions& options)
        : m_image(image), m_plan(plan), m_options(options),
          m_run(image, options.ops ? *options.ops : systemDirectoryOps())
    {
        m_run.reserve(plan);
    }

    ExtractSummary run()
    {
        const bool record = m_options.keepGoing || m_options.recordRefused;
        if (record)
            recordRefused();
        for (const PlannedFile& f : m_plan) {
            if (record && !f.row.problem.empty())
                continue;
            if (!report(&f)) {
                m_summary.cancelled = true;
                break;
            }
            extractOne(f);
        }
        report(nullptr);
        return std::move(m_summary);
    }

private:
    bool report(const PlannedFile* current) const
    {
        if (!m_options.onProgress)
            return true;
        const std::size_t refused = m_refused.size();
        return m_options.onProgress({m_summary.files + m_summary.failures.size() - refused,
                                     m_plan.size() - refused, m_summary.bytes, current});
    }

    // Rows that carry a problem are told before the first file: a batch says first what it
    // will not do.
    void recordRefused()
    {
        for (const PlannedFile& f : m_plan)
            if (!f.row.problem.empty()) {
                m_refused.push_back(&f);
                fail({f.row.path, f.row.problem});
            }
    }

    void fail(ExtractFailure failure)
    {
        m_summary.failures.push_back(std::move(failure));
        if (m_options.onFailure)
            m_options.onFailure(m_summary.failures.back());
    }

    void extractOne(const PlannedFile& f)
    {
        detail::ExtractionRun::Written w;
        try {
            w = m_run.extract(f);
        } catch (const Error& e) {
            // A destination removed during the run fails every row alike: one message ends it.
            if (!m_options.keepGoing || m_run.baseGone())
                throw;
            // "Stream read error" says nothing about which file or why, where the run goes on.
            fail({f.row.path, rangeInsideImage(f, m_image.size())
                                  ? std::string(e.what())
                                  : "Its range lies past the end of the image"});
            return;
        }
        m_summary.bytes += w.bytes;
        ++m_summary.files;
        if (w.renamed && m_options.onRenamed)
            m_options.onRenamed(f, w.relative);
        if (f.renamed || w.renamed)
            ++m_summary.renamed;
    }

    const Stream& m_image;
    const std::vector<PlannedFile>& m_plan;
    const ExtractOptions& m_options;
    detail::ExtractionRun m_run;
    ExtractSummary m_summary;
    std::vector<const PlannedFile*> m_refused;
};

} // namespace

ExtractSummary runExtraction(const Stream& image, const std::vector<PlannedFile>& plan,
                             const ExtractOptions& options)
{
    return RunLoop(image, plan, options).run();
}

} // namespace cartscope::core
