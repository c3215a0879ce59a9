#include "cli/verify_report.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "cli/common.h"
#include "cli/verify_output.h"
#include "core/base/error.h"
#include "core/base/text.h"
#include "core/verify/verdict_text.h"

namespace cartscope::cli {

namespace {

const char* label(core::Verdict v)
{
    switch (v) {
    case core::Verdict::Verified:
        return "Verified";
    case core::Verdict::VerifiedTrimmed:
        return "Verified (trimmed)";
    case core::Verdict::Mismatch:
        return "Mismatch";
    case core::Verdict::NotInDat:
        return "Not in DAT";
    case core::Verdict::NoDat:
        return "No DAT loaded";
    case core::Verdict::Error:
        return "Error";
    case core::Verdict::NotAnImage:
        return "Not an image";
    }
    return "";
}

std::string shownPath(const VerifyRow& row)
{
    return safe(row.path) + (row.member ? " :: " + safe(*row.member) : "");
}

// "Verified            Game  path  (detail)": the verdict in a column of 20, the game (or
// "-"), the path, and what else the verdict has to say.
class TextWriter final : public RowWriter {
public:
    explicit TextWriter(const core::DatSet& dats) : m_dats(dats) {}

    void write(std::ostream& out, const VerifyRow& row) const override
    {
        std::string line = label(row.verdict());
        line.resize(std::max<std::size_t>(line.size() + 2, 20), ' ');
        const char* torrentzipped = row.torrentzip ? " (torrentzipped)" : "";
        if (!row.result) {
            out << line << safe(core::withFullStop(row.error)) << "  " << shownPath(row)
                << torrentzipped << '\n';
            return;
        }
        const core::VerifyResult& r = *row.result;
        std::string game = "-";
        std::string detail;
        if (!r.matches.empty()) {
            game = m_dats.roms()[r.matches.front().rom].game;
            detail = core::matchDetailText(r, m_dats);
        } else if (r.mismatch) {
            game = m_dats.roms()[r.mismatch->rom].game;
            detail = core::verdictText(r, m_dats);
        } else if (!r.head.image) {
            detail = core::notAnImageText(r.size);
        } else if (r.trim.state == core::TrimState::OverTrimmed) {
            detail = core::trimText(r.trim);
        }
        out << line << safe(game) << "  " << shownPath(row);
        if (!detail.empty())
            out << "  (" << safe(detail) << ")";
        out << torrentzipped << '\n';
    }

private:
    const core::DatSet& m_dats;
};

// One JSON object per line.
class JsonWriter final : public RowWriter {
public:
    explicit JsonWriter(const core::DatSet& dats) : m_dats(dats) {}

    void write(std::ostream& out, const VerifyRow& row) const override
    {
        JsonObject o;
        addText(o, "path", row.path);
        if (row.member)
            addText(o, "member", *row.member);
        else
            o.raw("member", "null");
        addFacts(o, row.result);
        o.str("verdict", core::verdictName(row.verdict()));
        addMatches(o, row.result);
        if (row.result && row.result->mismatch)
            o.str("mismatch", core::verdictText(*row.result, m_dats));
        if (row.result)
            o.raw("error", "null");
        else
            o.str("error", core::withFullStop(row.error));
        o.boolean("torrentzip", row.torrentzip);
        out << o.line() << '\n';
    }

private:
    // Size, hashes, trim and secure-area form; a file that is not a DS image has no trim state
    // or secure area to speak of.
    static void addFacts(JsonObject& o, const std::optional<core::VerifyResult>& r)
    {
        if (!r) {
            o.raw("size", "null").raw("hashes", "null").raw("trim", "null");
            o.raw("secureAreaForm", "null");
            return;
        }
        o.num("size", static_cast<std::int64_t>(r->size))
            .raw("hashes", hashesJson(r->hashes))
            .raw("trim", r->head.image ? trimJson(r->trim) : "null");
        if (r->head.image)
            o.str("secureAreaForm", core::secureAreaFormName(r->head.secureAreaForm));
        else
            o.raw("secureAreaForm", "null");
    }

    void addMatches(JsonObject& o, const std::optional<core::VerifyResult>& r) const
    {
        std::string matches = "[";
        if (r)
            for (std::size_t i = 0; i < r->matches.size(); ++i)
                matches += (i ? ", " : "") + matchJson(r->matches[i], m_dats);
        matches += "]";
        o.raw("match", r && !r->matches.empty() ? matchJson(r->matches.front(), m_dats) : "null");
        o.raw("matches", matches);
        const auto serial = r ? r->serialMatches : std::nullopt;
        o.raw("serialMatches", serial ? (*serial ? "true" : "false") : "null");
    }

    const core::DatSet& m_dats;
};

// path, member, size, verdict, game, dat, by, padding, the four hashes, error, torrentzip.
class CsvWriter final : public RowWriter {
public:
    explicit CsvWriter(const core::DatSet& dats) : m_dats(dats) {}

    void begin(std::ostream& out) const override
    {
        out << "path,member,size,verdict,game,dat,by,padding,crc32,md5,sha1,sha256,error,"
               "torrentzip\n";
    }

    void write(std::ostream& out, const VerifyRow& row) const override
    {
        std::vector<std::string> f(14);
        f[0] = row.path;
        f[1] = row.member.value_or("");
        f[3] = core::verdictName(row.verdict());
        if (const auto& r = row.result)
            fillResult(*r, f);
        else
            f[12] = core::withFullStop(row.error);
        f[13] = row.torrentzip ? "true" : "false";
        std::string line;
        for (std::size_t i = 0; i < f.size(); ++i)
            line += (i ? "," : "") + csvField(f[i]);
        out << line << '\n';
    }

private:
    void fillResult(const core::VerifyResult& r, std::vector<std::string>& f) const
    {
        f[2] = std::to_string(r.size);
        const core::DatMatch* m = r.matches.empty() ? nullptr : &r.matches.front();
        const std::uint32_t* rom = m ? &m->rom : r.mismatch ? &r.mismatch->rom : nullptr;
        if (rom) {
            const core::DatRom& e = m_dats.roms()[*rom];
            f[4] = e.game;
            f[5] = m_dats.dats()[e.dat].name;
        }
        if (m) {
            f[6] = core::matchedByName(m->by);
            f[7] = m->padding ? (*m->padding == 0xFF ? "ff" : "00") : "";
        }
        std::size_t column = 8;
        for (const core::HashField& field : core::kHashFields)
            f[column++] = core::hashHex(r.hashes, field).value_or("");
    }

    const core::DatSet& m_dats;
};

} // namespace

void VerdictTally::count(core::Verdict v)
{
    switch (v) {
    case core::Verdict::Verified:
        ++m_verified;
        break;
    case core::Verdict::VerifiedTrimmed:
        ++m_trimmed;
        break;
    case core::Verdict::Mismatch:
        ++m_mismatched;
        break;
    case core::Verdict::NotInDat:
    case core::Verdict::NoDat:
        ++m_unknown;
        break;
    case core::Verdict::Error:
        ++m_errors;
        break;
    case core::Verdict::NotAnImage:
        ++m_notImages;
        break;
    }
}

std::string VerdictTally::summary(bool interrupted) const
{
    const std::size_t images =
        m_verified + m_trimmed + m_mismatched + m_unknown + m_errors + m_notImages;
    std::string s = (interrupted ? "Interrupted after " : "") + std::to_string(images) +
                    (images == 1 ? " image: " : " images: ") + std::to_string(m_verified) +
                    " verified, " + std::to_string(m_trimmed) + " trimmed, " +
                    std::to_string(m_mismatched) + " mismatched, " + std::to_string(m_unknown) +
                    " unknown, " + std::to_string(m_errors) +
                    (m_errors == 1 ? " error" : " errors");
    if (m_notImages > 0)
        s += ", " + std::to_string(m_notImages) +
             (m_notImages == 1 ? " not an image" : " not images");
    return s;
}

bool VerdictTally::allVerified() const
{
    return m_mismatched == 0 && m_unknown == 0 && m_errors == 0 && m_notImages == 0 &&
           m_verified + m_trimmed > 0;
}

std::unique_ptr<RowWriter> rowWriter(VerifyFormat format, const core::DatSet& dats)
{
    switch (format) {
    case VerifyFormat::Json:
        return std::make_unique<JsonWriter>(dats);
    case VerifyFormat::Csv:
        return std::make_unique<CsvWriter>(dats);
    case VerifyFormat::Text:
        break;
    }
    return std::make_unique<TextWriter>(dats);
}

std::string csvField(const std::string& s)
{
    return core::csvCell(s);
}

} // namespace cartscope::cli
