#include "core/verify/verify.h"

#include <algorithm>
#include <bit>

#include "core/checksum/crc32.h"

namespace cartscope::core {

namespace {

// The image in one form: as read, or virtually padded to a DAT entry's size.
struct Form {
    std::uint64_t size = 0;
    std::optional<std::uint8_t> padding;
    std::uint32_t crc32 = 0;
    std::array<std::optional<DigestBytes>, kDigestKindCount> digests;
};

struct Evaluation {
    std::vector<DatMatch> matches;
    std::optional<DatMismatch> mismatch;
};

constexpr std::array<DigestKind, 3> kStrongestFirst = {DigestKind::Sha256, DigestKind::Sha1,
                                                       DigestKind::Md5};

MatchedBy byOf(DigestKind kind)
{
    switch (kind) {
    case DigestKind::Sha256:
        return MatchedBy::Sha256;
    case DigestKind::Sha1:
        return MatchedBy::Sha1;
    case DigestKind::Md5:
        return MatchedBy::Md5;
    }
    return MatchedBy::Crc32;
}

// The digest an entry is matched by when `computed` digests are at hand: its strongest.
std::optional<DigestKind> matchDigest(const DatRom& e, const DigestSelection& computed)
{
    for (const DigestKind kind : kStrongestFirst)
        if (computed.has(kind) && e.has(kind))
            return kind;
    return std::nullopt;
}

void check(const DatSet& dats, std::uint32_t index, const Form& form, bool padded, Evaluation& ev)
{
    const DatRom& e = dats.roms()[index];
    // An entry without a size is matched by a digest alone, and never as a padded image.
    const bool sizeOk = e.size ? *e.size == form.size : !padded;
    std::optional<MatchedBy> strongestEqual;
    std::optional<MatchedBy> weakestEqual;
    std::optional<MatchedBy> strongestDiffer;
    if (e.crc32) {
        if (*e.crc32 == form.crc32)
            strongestEqual = weakestEqual = MatchedBy::Crc32;
        else
            strongestDiffer = MatchedBy::Crc32;
    }
    for (auto it = kStrongestFirst.rbegin(); it != kStrongestFirst.rend(); ++it) {
        const auto& have = form.digests[static_cast<std::size_t>(*it)];
        if (!have || !e.has(*it))
            continue;
        if (std::ranges::equal(*have, e.digest(*it))) {
            strongestEqual = byOf(*it);
            if (!weakestEqual)
                weakestEqual = byOf(*it);
        } else {
            strongestDiffer = byOf(*it);
        }
    }
    if (!strongestEqual)
        return;
    const bool crcOnlyWithoutSize = *strongestEqual == MatchedBy::Crc32 && !e.size;
    if (sizeOk && !strongestDiffer && !crcOnlyWithoutSize) {
        ev.matches.push_back({index, *strongestEqual, form.padding, form.size});
        return;
    }
    if (ev.mismatch || crcOnlyWithoutSize || (!sizeOk && *strongestEqual == MatchedBy::Crc32))
        return;
    // With the size agreeing, a digest differs; else the size is what differs.
    ev.mismatch = DatMismatch{index, *weakestEqual, sizeOk ? strongestDiffer : std::nullopt,
                              form.padding, form.size};
}

void evaluate(const DatSet& dats, const Form& form, std::span<const std::uint32_t> candidates,
              bool padded, Evaluation& ev)
{
    for (const std::uint32_t index : candidates)
        check(dats, index, form, padded, ev);
}

// The entries the image as read may be: every index hit, each once, in load order.
std::vector<std::uint32_t> exactCandidates(const DatSet& dats, const Form& form)
{
    std::vector<std::uint32_t> out;
    const auto add = [&](std::span<const std::uint32_t> hits) {
        out.insert(out.end(), hits.begin(), hits.end());
    };
    for (const DigestKind kind : kDigestKinds)
        if (const auto& d = form.digests[static_cast<std::size_t>(kind)])
            add(dats.byDigest(kind, *d));
    add(dats.bySizeCrc(form.size, form.crc32));
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::uint64_t nextPowerOfTwo(std::uint64_t n)
{
    return n <= 1 ? 1 : std::bit_ceil(std::min(n, std::uint64_t{1} << 62));
}

// One padding byte, fed 1 MiB at a time.
std::span<const std::uint8_t> padBlock(std::uint8_t value)
{
    static const std::vector<std::uint8_t> ff(kReadPassBlockSize, 0xFF);
    static const std::vector<std::uint8_t> zero(kReadPassBlockSize, 0x00);
    return value == 0xFF ? ff : zero;
}

// The sizes a trimmed image is padded to, and which digest each needs.
struct PadPlan {
    std::vector<std::uint64_t> targets; // ascending
    // Which digest each target size needs (its entries' strongest), and the last target that
    // needs each digest, so no state is fed further than a target asks.
    std::vector<std::array<bool, kDigestKindCount>> need;
    std::array<std::uint64_t, kDigestKindCount> lastNeeded{};
};

// A trimmed image (or one larger than its header's chip, or of no known chip) is also tried
// padded to the sizes the DATs list: up to its chip size or the next power of two, and never
// past the largest card. A file that is not a DS image has no chip or used size worth the
// name: it is matched as read only.
bool mayPad(const VerifyResult& r)
{
    return r.head.image &&
           (r.trim.state == TrimState::Trimmed || r.trim.state == TrimState::Oversized ||
            r.trim.state == TrimState::Unknown);
}

PadPlan padPlan(const DatSet& dats, const VerifyResult& r, const DigestSelection& computed)
{
    PadPlan plan;
    const std::uint64_t limit =
        std::min(kMaxPaddedSize, std::max(r.trim.chipSize.value_or(0), nextPowerOfTwo(r.size)));
    for (const std::uint64_t s : dats.sizes())
        if (s > r.size && s <= limit)
            plan.targets.push_back(s);
    plan.need.resize(plan.targets.size());
    for (std::size_t t = 0; t < plan.targets.size(); ++t)
        for (const std::uint32_t index : dats.bySize(plan.targets[t]))
            if (const auto kind = matchDigest(dats.roms()[index], computed)) {
                plan.need[t][static_cast<std::size_t>(*kind)] = true;
                plan.lastNeeded[static_cast<std::size_t>(*kind)] = plan.targets[t];
            }
    return plan;
}

// The image padded with `value` to each target in turn, by continuing copies of the digest
// states; false when `cancelled` said so between padding steps.
bool evaluatePadded(const DatSet& dats, const PadPlan& plan, std::uint8_t value,
                    const VerifyResult& r, const DigestSink& digests,
                    const std::function<bool()>& cancelled, Evaluation& padded)
{
    std::uint32_t crc = r.hashes.crc32;
    std::array<std::optional<Digest>, kDigestKindCount> running;
    for (std::size_t k = 0; k < kDigestKindCount; ++k)
        if (plan.lastNeeded[k] != 0)
            running[k] = *digests.state(kDigestKinds[k]);
    std::uint64_t at = r.size;
    for (std::size_t t = 0; t < plan.targets.size(); ++t) {
        const std::uint64_t target = plan.targets[t];
        // Bounded: `at` grows by each piece up to the target, itself at most 1 GiB.
        while (at < target) {
            if (cancelled && cancelled())
                return false;
            const auto piece = padBlock(value).first(
                static_cast<std::size_t>(std::min<std::uint64_t>(kReadPassBlockSize, target - at)));
            crc = crc32::crc32Of(piece, crc);
            for (std::size_t k = 0; k < kDigestKindCount; ++k)
                if (running[k] && plan.lastNeeded[k] >= target)
                    running[k]->update(piece);
            at += piece.size();
        }
        Form f;
        f.size = target;
        f.padding = value;
        f.crc32 = crc;
        for (std::size_t k = 0; k < kDigestKindCount; ++k)
            if (plan.need[t][k])
                f.digests[k] = running[k]->value();
        evaluate(dats, f, dats.bySize(target), true, padded);
    }
    return true;
}

// The verdict from what matched, and whether the match's DAT serial names the game code.
void conclude(const DatSet& dats, Evaluation& ev, VerifyResult& r)
{
    r.matches = std::move(ev.matches);
    if (r.matches.empty()) {
        r.mismatch = ev.mismatch;
        r.verdict = r.mismatch     ? Verdict::Mismatch
                    : r.head.image ? Verdict::NotInDat
                                   : Verdict::NotAnImage;
        return;
    }
    const DatRom& first = dats.roms()[r.matches.front().rom];
    if (!first.serial.empty())
        r.serialMatches = serialHasGameCode(std::string(first.serial), gameCodeText(r.head));
}

} // namespace

const char* verdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Verified:
        return "verified";
    case Verdict::VerifiedTrimmed:
        return "verified-trimmed";
    case Verdict::Mismatch:
        return "mismatch";
    case Verdict::NotInDat:
        return "not-in-dat";
    case Verdict::NoDat:
        return "no-dat";
    case Verdict::Error:
        return "error";
    case Verdict::NotAnImage:
        return "not-an-image";
    }
    return "";
}

const char* matchedByName(MatchedBy by)
{
    switch (by) {
    case MatchedBy::Sha256:
        return "sha256";
    case MatchedBy::Sha1:
        return "sha1";
    case MatchedBy::Md5:
        return "md5";
    case MatchedBy::Crc32:
        return "crc32";
    }
    return "";
}

const char* matchedByLabel(MatchedBy by)
{
    switch (by) {
    case MatchedBy::Sha256:
        return "SHA-256";
    case MatchedBy::Sha1:
        return "SHA-1";
    case MatchedBy::Md5:
        return "MD5";
    case MatchedBy::Crc32:
        return "CRC-32";
    }
    return "";
}

DigestSelection digestsFor(const DatSet& dats, std::uint64_t imageSize, bool allHashes)
{
    if (allHashes)
        return DigestSelection::all();
    DigestSelection s;
    s.add(DigestKind::Sha1);
    for (const std::uint32_t index : dats.withoutSha1()) {
        const DatRom& e = dats.roms()[index];
        // Smaller entries can never match: an image is only ever padded, never cut.
        if (e.size && *e.size < imageSize)
            continue;
        if (e.has(DigestKind::Sha256))
            s.add(DigestKind::Sha256);
        else if (e.has(DigestKind::Md5))
            s.add(DigestKind::Md5);
    }
    return s;
}

ImageVerifier::ImageVerifier(const DatSet& dats, std::uint64_t expectedSize, bool allHashes,
                             bool threaded)
    : m_dats(dats),
      m_digests(digestsFor(dats, expectedSize, allHashes), threaded), m_sinks{&m_crc, &m_digests,
                                                                              &m_trim}
{}

std::optional<VerifyResult> ImageVerifier::result(const std::function<bool()>& cancelled) const
{
    return resultAgainst(m_dats, cancelled);
}

std::optional<VerifyResult>
ImageVerifier::resultAgainst(const DatSet& dats, const std::function<bool()>& cancelled) const
{
    VerifyResult r;
    r.head = m_trim.head();
    r.trim = m_trim.trim();
    r.size = r.trim.fileSize;
    r.hashes.crc32 = m_crc.value();
    for (const DigestKind kind : kDigestKinds)
        if (const auto& state = m_digests.state(kind))
            r.hashes.digests[static_cast<std::size_t>(kind)] = state->value();
    if (dats.empty()) {
        r.verdict = r.head.image ? Verdict::NoDat : Verdict::NotAnImage;
        return r;
    }

    Form exact;
    exact.size = r.size;
    exact.crc32 = r.hashes.crc32;
    exact.digests = r.hashes.digests;
    Evaluation ev;
    evaluate(dats, exact, exactCandidates(dats, exact), false, ev);
    r.verdict = Verdict::Verified;
    if (ev.matches.empty() && mayPad(r)) {
        const PadPlan plan = padPlan(dats, r, m_digests.selection());
        Evaluation padded;
        for (const std::uint8_t value : {std::uint8_t{0xFF}, std::uint8_t{0x00}})
            if (!evaluatePadded(dats, plan, value, r, m_digests, cancelled, padded))
                return std::nullopt;
        if (!padded.matches.empty()) {
            std::stable_sort(padded.matches.begin(), padded.matches.end(),
                             [](const DatMatch& a, const DatMatch& b) { return a.rom < b.rom; });
            ev.matches = std::move(padded.matches);
            r.verdict = Verdict::VerifiedTrimmed;
        } else if (!ev.mismatch) {
            ev.mismatch = padded.mismatch;
        }
    }
    conclude(dats, ev, r);
    return r;
}

std::optional<VerifyResult>
verifyStream(const Stream& image, const DatSet& dats, bool allHashes,
             const std::function<bool(std::uint64_t, std::uint64_t)>& onProgress)
{
    ImageVerifier verifier(dats, image.size(), allHashes);
    if (!readPass(image, verifier.sinks(), onProgress))
        return std::nullopt;
    return verifier.result(
        onProgress ? std::function<bool()>([&] { return !onProgress(image.size(), image.size()); })
                   : std::function<bool()>());
}

std::optional<std::string> hashHex(const ImageHashes& hashes, const HashField& field)
{
    if (!field.digest) {
        const std::uint32_t c = hashes.crc32;
        return lowerHex(std::array<std::uint8_t, 4>{
            static_cast<std::uint8_t>(c >> 24), static_cast<std::uint8_t>(c >> 16),
            static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c)});
    }
    if (const auto& d = hashes.digest(*field.digest))
        return lowerHex(*d);
    return std::nullopt;
}

bool serialHasGameCode(const std::string& serial, const std::string& gameCode)
{
    if (gameCode.empty())
        return false;
    std::size_t start = 0;
    // Bounded by the serial's length: each part is looked at once.
    while (start <= serial.size()) {
        const std::size_t end = serial.find_first_of("- ,", start);
        const std::size_t stop = end == std::string::npos ? serial.size() : end;
        if (serial.compare(start, stop - start, gameCode) == 0 && stop - start == gameCode.size())
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

std::string gameCodeText(const HeadFacts& head)
{
    std::string s;
    for (const char c : head.gameCode) {
        if (c == '\0')
            break;
        s.push_back(c);
    }
    return s;
}

} // namespace cartscope::core
