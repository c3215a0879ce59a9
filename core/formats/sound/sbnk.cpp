// SBNK: "SBNK" header, a DATA block at 0x10, the instrument count at 0x38 and four-byte records
// from 0x3C: type (+0), offset of the instrument's data in the file (+1, 16 bits). A type 1-3
// instrument is one 10-byte note definition (wave +0, archive +2, base key +4, attack, decay,
// sustain, release, pan); a drum set (16) a key range (low +0, high +1) and per key a 2-byte
// type then a definition; a key split (17) eight top keys (0 ends them) and per region a
// 2-byte type then a definition.
#include "core/formats/sound/sbnk.h"

#include <algorithm>
#include <cstring>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/base/text.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kCountAt = 0x38;
constexpr std::size_t kRecordsAt = 0x3C;
constexpr std::size_t kDefinitionSize = 10;

bool fits(std::span<const std::uint8_t> f, std::uint64_t at, std::uint64_t n)
{
    return at <= f.size() && n <= f.size() - at;
}

BankRegion definition(std::span<const std::uint8_t> f, std::size_t at, std::uint8_t type,
                      std::uint8_t low, std::uint8_t high)
{
    BankRegion r;
    r.type = type;
    r.lowKey = low;
    r.highKey = high;
    r.wave = le16(f, at);
    r.archive = le16(f, at + 2);
    r.baseKey = f[at + 4];
    r.attack = f[at + 5];
    r.decay = f[at + 6];
    r.sustain = f[at + 7];
    r.release = f[at + 8];
    r.pan = f[at + 9];
    return r;
}

// A drum set: a key range, then per key a 2-byte type and a definition. False when it does not
// fit the file.
bool readDrumSet(std::span<const std::uint8_t> f, std::size_t at, BankInstrument& inst)
{
    if (!fits(f, at, 2))
        return false;
    const std::uint8_t low = f[at];
    const std::uint8_t high = f[at + 1];
    if (low > high || high >= 128 || !fits(f, at + 2, std::uint64_t{12} * (high - low + 1u)))
        return false;
    for (unsigned k = low; k <= high; ++k) {
        const std::size_t d = at + 2 + (k - low) * 12;
        inst.regions.push_back(
            definition(f, d + 2, f[d], static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k)));
    }
    return true;
}

// A key split: eight top keys (0 ends them), then per region a 2-byte type and a definition.
// False when it does not fit the file.
bool readKeySplit(std::span<const std::uint8_t> f, std::size_t at, BankInstrument& inst)
{
    if (!fits(f, at, 8))
        return false;
    unsigned low = 0;
    for (std::size_t r = 0; r < 8 && f[at + r] != 0 && low < 128; ++r) {
        const std::size_t d = at + 8 + r * 12;
        if (!fits(f, d, 12))
            return false;
        const unsigned high = std::min<unsigned>(f[at + r], 127);
        inst.regions.push_back(definition(f, d + 2, f[d], static_cast<std::uint8_t>(low),
                                          static_cast<std::uint8_t>(high)));
        low = high + 1;
    }
    return true;
}

// The instrument of record type `type` whose data lies at `at`; false when it does not fit.
bool readInstrument(std::span<const std::uint8_t> f, std::uint8_t type, std::size_t at,
                    BankInstrument& inst)
{
    if (type < 16) {
        if (!fits(f, at, kDefinitionSize))
            return false;
        inst.regions.push_back(definition(f, at, type, 0, 127));
        return true;
    }
    if (type == 16)
        return readDrumSet(f, at, inst);
    if (type == 17)
        return readKeySplit(f, at, inst);
    return false;
}

} // namespace

Bank readSbnk(std::span<const std::uint8_t> f, const std::string& label,
              std::vector<std::string>& notes)
{
    if (f.size() < kRecordsAt || std::memcmp(f.data(), "SBNK", 4) != 0)
        throw Error("\"" + label + "\" is not an SBNK bank");
    Bank bank;
    const std::uint64_t claimed = le32(f, kCountAt);
    const std::uint64_t count = std::min<std::uint64_t>(claimed, (f.size() - kRecordsAt) / 4);
    if (count < claimed)
        notes.push_back("the bank claims " + std::to_string(claimed) + " instruments but holds " +
                        std::to_string(count));
    // Bounded by the record count, itself bounded by the file.
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t rec = kRecordsAt + static_cast<std::size_t>(i) * 4;
        const std::uint8_t type = f[rec];
        const std::size_t at = le16(f, rec + 1);
        if (type == 0)
            continue;
        BankInstrument inst;
        inst.program = static_cast<std::uint32_t>(i);
        inst.type = type;
        if (!readInstrument(f, type, at, inst)) {
            notes.push_back("instrument " + std::to_string(i) + " does not fit the bank");
            continue;
        }
        bank.instruments.push_back(std::move(inst));
    }
    return bank;
}

namespace {

const char* regionKind(std::uint8_t type)
{
    return type == 1 ? "wave" : type == 2 ? "square" : type == 3 ? "noise" : "unknown";
}

} // namespace

std::string bankText(const Bank& bank)
{
    std::string out;
    for (const BankInstrument& inst : bank.instruments)
        for (const BankRegion& r : inst.regions) {
            out += "program " + std::to_string(inst.program) + ": keys " +
                   std::to_string(r.lowKey) + "-" + std::to_string(r.highKey) + " " +
                   regionKind(r.type);
            if (r.type == 1)
                out += " archive " + std::to_string(r.archive) + " wave " + std::to_string(r.wave);
            out += ", base key " + std::to_string(r.baseKey) + ", envelope " +
                   std::to_string(r.attack) + "/" + std::to_string(r.decay) + "/" +
                   std::to_string(r.sustain) + "/" + std::to_string(r.release) + ", pan " +
                   std::to_string(r.pan) + "\n";
        }
    return out;
}

std::string bankJson(const Bank& bank)
{
    std::string out = "{\"instruments\": [";
    for (std::size_t i = 0; i < bank.instruments.size(); ++i) {
        const BankInstrument& inst = bank.instruments[i];
        out += (i ? ",\n  " : "\n  ");
        out += "{\"program\": " + std::to_string(inst.program) +
               ", \"type\": " + std::to_string(inst.type) + ", \"regions\": [";
        for (std::size_t k = 0; k < inst.regions.size(); ++k) {
            const BankRegion& r = inst.regions[k];
            out += std::string(k ? ", " : "") + "{\"lowKey\": " + std::to_string(r.lowKey) +
                   ", \"highKey\": " + std::to_string(r.highKey) +
                   ", \"kind\": " + jsonString(regionKind(r.type)) +
                   ", \"archive\": " + std::to_string(r.archive) +
                   ", \"wave\": " + std::to_string(r.wave) +
                   ", \"baseKey\": " + std::to_string(r.baseKey) +
                   ", \"attack\": " + std::to_string(r.attack) +
                   ", \"decay\": " + std::to_string(r.decay) +
                   ", \"sustain\": " + std::to_string(r.sustain) +
                   ", \"release\": " + std::to_string(r.release) +
                   ", \"pan\": " + std::to_string(r.pan) + "}";
        }
        out += "]}";
    }
    out += bank.instruments.empty() ? "]}\n" : "\n]}\n";
    return out;
}

} // namespace cartscope::core
