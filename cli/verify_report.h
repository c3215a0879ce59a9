#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "core/verify/dat.h"
#include "core/verify/verify.h"

// What `verify` tells about each image and the run: the counts by verdict with the summary
// line, and one writer per output format (text, JSON Lines, CSV).
namespace cartscope::cli {

// One image's outcome: a result, or the reason there is none.
struct VerifyRow {
    std::string path;
    std::optional<std::string> member;
    std::optional<core::VerifyResult> result;
    std::string error;
    bool torrentzip = false; // the member of an archive in the canonical TorrentZip layout

    core::Verdict verdict() const { return result ? result->verdict : core::Verdict::Error; }
};

// The images of a run counted by verdict.
class VerdictTally {
public:
    void count(core::Verdict verdict);
    // "3 images: 1 verified, 1 trimmed, 0 mismatched, 1 unknown, 0 errors", with
    // ", N not images" when there are any and "Interrupted after " in front when it was.
    std::string summary(bool interrupted) const;
    // Every image verified (padded or not), and at least one.
    bool allVerified() const;

private:
    std::size_t m_verified = 0, m_trimmed = 0, m_mismatched = 0, m_unknown = 0, m_errors = 0,
                m_notImages = 0;
};

enum class VerifyFormat { Text, Json, Csv };

// Writes the rows of one format, each as one line.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    // What comes before the first row (the CSV's column names).
    virtual void begin(std::ostream&) const {}
    virtual void write(std::ostream& out, const VerifyRow& row) const = 0;
};

std::unique_ptr<RowWriter> rowWriter(VerifyFormat format, const core::DatSet& dats);

// One CSV cell, escaped as the text output escapes names, a would-be formula prefixed with "'",
// and quoted by RFC 4180 when it holds a comma, a quote or a line end.
std::string csvField(const std::string& s);

} // namespace cartscope::cli
