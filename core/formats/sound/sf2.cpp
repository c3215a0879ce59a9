// SoundFont 2.01: RIFF "sfbk" holding LIST INFO (version, engine, name), LIST sdta (the "smpl"
// chunk: every sample as 16-bit mono, each followed by 46 silent points) and LIST pdta (the
// preset, instrument and sample header tables, each closed by a terminal record).
#include "core/formats/sound/sf2.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "core/base/le.h"

namespace cartscope::core {

namespace {

constexpr std::uint16_t kGenInstrument = 41;
constexpr std::uint16_t kGenKeyRange = 43;
constexpr std::uint16_t kGenPan = 17;
constexpr std::uint16_t kGenSampleId = 53;
constexpr std::uint16_t kGenSampleModes = 54;
constexpr std::uint16_t kGenRootKey = 58;
constexpr std::size_t kSilentTail = 46;

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(Bytes& b, std::uint32_t v)
{
    put16(b, static_cast<std::uint16_t>(v));
    put16(b, static_cast<std::uint16_t>(v >> 16));
}

void putName(Bytes& b, const std::string& name)
{
    char field[20] = {};
    std::memcpy(field, name.data(), std::min<std::size_t>(name.size(), 19));
    b.insert(b.end(), field, field + 20);
}

Bytes chunk(const char* tag, const Bytes& body)
{
    Bytes b(tag, tag + 4);
    put32(b, static_cast<std::uint32_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() & 1)
        b.push_back(0);
    return b;
}

Bytes list(const char* type, const std::vector<Bytes>& chunks)
{
    Bytes body(type, type + 4);
    for (const Bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    return chunk("LIST", body);
}

void gen(Bytes& b, std::uint16_t op, std::uint16_t amount)
{
    put16(b, op);
    put16(b, amount);
}

// The sample points of a decoded wave as 16-bit values (PCM8 was stored unsigned for WAV).
std::vector<std::int16_t> points(const PcmSound& s)
{
    std::vector<std::int16_t> p(static_cast<std::size_t>(s.frames));
    for (std::size_t i = 0; i < p.size(); ++i)
        p[i] = s.bits == 8 ? static_cast<std::int16_t>((s.data[i] ^ 0x80) << 8)
                           : static_cast<std::int16_t>(le16(s.data, 2 * i));
    return p;
}

// The tables of the font as they fill: the sample data and headers, and the instrument and
// preset tables with their bags and generators.
class FontBuilder {
public:
    explicit FontBuilder(const std::vector<WaveSet>& archives) : m_archives(archives) {}

    void addInstrument(const BankInstrument& in)
    {
        const auto bagStart = static_cast<std::uint16_t>(ibag.size() / 4);
        for (const BankRegion& r : in.regions) {
            const std::optional<std::uint16_t> id =
                r.type == 1 ? sampleFor(r) : std::optional<std::uint16_t>{};
            if (!id) {
                ++m_font.skippedRegions;
                continue;
            }
            const PcmSound& s = *m_archives[r.archive][r.wave];
            put16(ibag, static_cast<std::uint16_t>(igen.size() / 4));
            put16(ibag, 0);
            gen(igen, kGenKeyRange, static_cast<std::uint16_t>(r.lowKey | (r.highKey << 8)));
            // Pan 0..127 around 64 to -500..500 tenths of a percent.
            gen(igen, kGenPan,
                static_cast<std::uint16_t>(static_cast<std::int16_t>((r.pan - 64) * 500 / 64)));
            gen(igen, kGenSampleModes, s.loop ? 1 : 0);
            gen(igen, kGenRootKey, r.baseKey);
            gen(igen, kGenSampleId, *id);
        }
        if (ibag.size() / 4 == bagStart)
            return; // nothing playable
        putName(inst, "Program " + std::to_string(in.program));
        put16(inst, bagStart);
        putName(phdr, "Program " + std::to_string(in.program));
        put16(phdr, static_cast<std::uint16_t>(in.program & 0x7F));
        put16(phdr, static_cast<std::uint16_t>(in.program >> 7));
        put16(phdr, static_cast<std::uint16_t>(pbag.size() / 4));
        put32(phdr, 0);
        put32(phdr, 0);
        put32(phdr, 0);
        put16(pbag, static_cast<std::uint16_t>(pgen.size() / 4));
        put16(pbag, 0);
        gen(pgen, kGenInstrument, m_instruments++);
        ++m_font.presets;
    }

    // The terminal records and the RIFF file around the tables.
    SoundFont finish(const std::string& name)
    {
        putName(phdr, "EOP");
        put16(phdr, 0);
        put16(phdr, 0);
        put16(phdr, static_cast<std::uint16_t>(pbag.size() / 4));
        put32(phdr, 0);
        put32(phdr, 0);
        put32(phdr, 0);
        put16(pbag, static_cast<std::uint16_t>(pgen.size() / 4));
        put16(pbag, 0);
        gen(pgen, 0, 0);
        putName(inst, "EOI");
        put16(inst, static_cast<std::uint16_t>(ibag.size() / 4));
        put16(ibag, static_cast<std::uint16_t>(igen.size() / 4));
        put16(ibag, 0);
        gen(igen, 0, 0);
        putName(shdr, "EOS");
        shdr.resize(shdr.size() + 26, 0);
        const Bytes modTerminal(10, 0);

        Bytes version;
        put16(version, 2);
        put16(version, 1);
        const char engine[] = "EMU8000";
        const std::string title = name.substr(0, 255);
        const Bytes info = list(
            "INFO", {chunk("ifil", version), chunk("isng", Bytes(engine, engine + sizeof engine)),
                     chunk("INAM", Bytes(title.c_str(), title.c_str() + title.size() + 1))});
        const Bytes sdta = list("sdta", {chunk("smpl", smpl)});
        const Bytes pdta =
            list("pdta", {chunk("phdr", phdr), chunk("pbag", pbag), chunk("pmod", modTerminal),
                          chunk("pgen", pgen), chunk("inst", inst), chunk("ibag", ibag),
                          chunk("imod", modTerminal), chunk("igen", igen), chunk("shdr", shdr)});
        Bytes body{'s', 'f', 'b', 'k'};
        for (const Bytes* part : {&info, &sdta, &pdta})
            body.insert(body.end(), part->begin(), part->end());
        m_font.bytes = chunk("RIFF", body);
        return std::move(m_font);
    }

private:
    // A sample's index, storing it the first time; none for a wave that is missing or that the
    // 16-bit generator amounts cannot name.
    std::optional<std::uint16_t> sampleFor(const BankRegion& r)
    {
        const auto key = std::make_pair(r.archive, r.wave);
        if (const auto it = m_sampleIds.find(key); it != m_sampleIds.end())
            return it->second;
        if (r.archive >= m_archives.size() || r.wave >= m_archives[r.archive].size() ||
            !m_archives[r.archive][r.wave] || m_sampleIds.size() >= 0xFFFF)
            return std::nullopt;
        const PcmSound& s = *m_archives[r.archive][r.wave];
        if (s.channels != 1 || s.frames > 0x7FFFFFFF - m_points - kSilentTail)
            return std::nullopt;
        const std::vector<std::int16_t> p = points(s);
        for (std::int16_t v : p)
            put16(smpl, static_cast<std::uint16_t>(v));
        smpl.resize(smpl.size() + 2 * kSilentTail, 0);
        const std::uint32_t start = m_points;
        const auto end = static_cast<std::uint32_t>(start + p.size());
        putName(shdr, "A" + std::to_string(r.archive) + " W" + std::to_string(r.wave));
        put32(shdr, start);
        put32(shdr, end);
        put32(shdr, s.loop ? start + static_cast<std::uint32_t>(s.loop->start) : start);
        put32(shdr, s.loop ? start + static_cast<std::uint32_t>(s.loop->end) : end);
        put32(shdr, s.rate);
        shdr.push_back(60); // original pitch: the region's root key overrides it
        shdr.push_back(0);
        put16(shdr, 0); // no link
        put16(shdr, 1); // mono
        m_points = end + static_cast<std::uint32_t>(kSilentTail);
        const auto id = static_cast<std::uint16_t>(m_sampleIds.size());
        m_sampleIds.emplace(key, id);
        ++m_font.samples;
        return id;
    }

    const std::vector<WaveSet>& m_archives;
    SoundFont m_font;
    Bytes smpl, shdr, inst, ibag, igen, phdr, pbag, pgen;
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint16_t> m_sampleIds;
    std::uint32_t m_points = 0;
    std::uint16_t m_instruments = 0;
};

} // namespace

SoundFont soundFont(const Bank& bank, const std::vector<WaveSet>& archives, const std::string& name)
{
    FontBuilder font(archives);
    for (const BankInstrument& in : bank.instruments)
        font.addInstrument(in);
    return font.finish(name);
}

} // namespace cartscope::core
