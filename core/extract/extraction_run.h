#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/extract/dir_ops.h"
#include "core/extract/extract.h"
#include "core/io/stream.h"

// The inside of extraction, shared by its two files: path pieces and one run's state.
namespace cartscope::core::detail {

// A component that can be created as it is: not empty, not "." or "..", no "/" or NUL.
bool isSafeComponent(std::string_view c);
// "a/b/c" -> {"a", "b", "c"}; empty components are kept.
std::vector<std::string> splitPath(const std::string& s);
// The first `count` parts joined with "/".
std::string joinPath(const std::vector<std::string>& parts, std::size_t count);
// "name.bin" -> "name (k).bin"; a name without "." (or only a leading one) gets it at its end.
std::string withSuffix(const std::string& name, std::uint64_t k);

// One run's folders, identities and copy state (see extraction_run.cpp). The image must outlive
// it; so must the operations.
class ExtractionRun {
public:
    ExtractionRun(const Stream& image, const DirectoryOps& ops);
    ~ExtractionRun();
    ExtractionRun(const ExtractionRun&) = delete;
    ExtractionRun& operator=(const ExtractionRun&) = delete;

    struct Written {
        std::uint64_t bytes = 0;
        std::string relative; // as written, when renamed here (empty when written as planned)
        bool renamed = false; // renamed here, at the destination (the plan may have renamed too)
    };
    // Writes one planned row; throws the user's message.
    Written extract(const PlannedFile& file);
    // Whether the last failure was the destination base folder itself being gone (removed
    // during the run): no later row can be written either.
    bool baseGone() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace cartscope::core::detail
