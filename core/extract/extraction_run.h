#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/extract/copy_engine.h"
#include "core/extract/dir_ops.h"
#include "core/extract/extract.h"
#include "core/extract/folder_cache.h"
#include "core/extract/identities.h"
#include "core/extract/made_names.h"
#include "core/extract/pending_file.h"
#include "core/io/stream.h"

// The inside of extraction: one run's state, made of the small parts it is built from (the
// folder cache, the identity table, the made-names log with the case-fold fallback, the pending
// files and the copy).
namespace cartscope::core::detail {

// One run's folders, identities and copy state (see extraction_run.cpp). The image must outlive
// it; so must the operations.
class ExtractionRun {
public:
    ExtractionRun(const Stream& image, const DirectoryOps& ops);
    ExtractionRun(const ExtractionRun&) = delete;
    ExtractionRun& operator=(const ExtractionRun&) = delete;

    struct Written {
        std::uint64_t bytes = 0;
        std::string relative; // as written, when renamed here (empty when written as planned)
        bool renamed = false; // renamed here, at the destination (the plan may have renamed too)
    };
    // Writes one planned row; throws the user's message. A row the run refuses (see refusal in
    // extract.h) throws before anything is created.
    Written extract(const PlannedFile& file);
    // Room for a plan's files and their folders, made once before the first.
    void reserve(const std::vector<PlannedFile>& plan);
    // Whether the last failure was the destination base folder itself being gone (removed
    // during the run): no later row can be written either.
    bool baseGone() const { return m_folders.baseGone(); }

private:
    // Where a row goes: the base folder, the folder below it and the name, pieces of the
    // planned paths (never copied).
    struct Target {
        std::string_view base;
        std::string_view folderKey;
        const char* name;
    };
    static Target targetOf(const PlannedFile& file, const std::string& full);
    Written writeFile(const Folder& folder, const Target& target, const std::string& plannedFull,
                      std::uint64_t offset, std::uint64_t length);
    bool place(Pending& p, int dir, const std::string& folderKey, const char* name,
               const std::string& full);
    void nameTaken(Pending& p, const std::string& folderKey, const char* name);
    // Whether an existing entry (not a link) is one this run wrote; throws for the image itself
    // or anything but a folder or a regular file that is not ours.
    bool oursAt(int dir, const std::string& folderKey, const char* name, const struct stat& st,
                const std::string& full);

    const Stream& m_image;
    CaseFoldFallback m_names;
    WrittenIdentities m_identities;
    FolderCache m_folders;
    PendingFiles m_pending;
    CopyEngine m_copy;
    const DirectoryOps& m_ops;
};

} // namespace cartscope::core::detail
