#include "core/verify/verdict_text.h"

namespace cartscope::core {

namespace {

std::string entryText(const DatSet& dats, std::uint32_t rom)
{
    const DatRom& e = dats.roms()[rom];
    return std::string(e.game) + " [" + datTitle(dats.dats()[e.dat]) + "]";
}

std::string mismatchText(const DatMismatch& m, const DatSet& dats)
{
    // The size agrees exactly when a digest is what differs.
    std::string s = "Mismatch: ";
    s += m.differs ? std::string("size and ") + matchedByLabel(m.agrees) + " match "
                   : std::string(matchedByLabel(m.agrees)) + " matches ";
    s += entryText(dats, m.rom);
    if (m.padding)
        s += " (" + paddingText(*m.padding, m.paddedSize) + ")";
    return s + " but " + (m.differs ? matchedByLabel(*m.differs) : "the size") +
           " differs: a collision or a bad DAT entry";
}

} // namespace

std::string notAnImageText(std::uint64_t fileSize)
{
    return fileSize < kNotAnImageBelow
               ? "Not a DS image: shorter than a cartridge header (" + std::to_string(fileSize) +
                     " bytes)"
               : std::string("Not a DS image: neither its header CRC-16 nor its logo CRC-16 is "
                             "right");
}

std::string paddingText(std::uint8_t padding, std::uint64_t paddedSize)
{
    return std::string("padded with ") + (padding == 0xFF ? "0xFF" : "0x00") + " to " +
           std::to_string(paddedSize) + " bytes";
}

std::string serialText(const VerifyResult& r, const DatSet& dats)
{
    if (r.serialMatches != false || r.matches.empty())
        return {};
    return "the DAT serial \"" + std::string(dats.roms()[r.matches.front().rom].serial) +
           "\" does not name the game code \"" + gameCodeText(r.head) + "\"";
}

std::string matchDetailText(const VerifyResult& r, const DatSet& dats)
{
    if (r.matches.empty())
        return {};
    const DatMatch& m = r.matches.front();
    std::string s = m.padding ? paddingText(*m.padding, m.paddedSize) : std::string();
    const std::string serial = serialText(r, dats);
    if (!serial.empty())
        s += (s.empty() ? "" : "; ") + serial;
    return s;
}

std::string verdictText(const VerifyResult& r, const DatSet& dats)
{
    switch (r.verdict) {
    case Verdict::NoDat:
        return "No DAT loaded";
    case Verdict::NotInDat:
        return "Not in DAT";
    case Verdict::Error:
        return "Error";
    case Verdict::NotAnImage:
        return notAnImageText(r.size);
    case Verdict::Mismatch:
        return mismatchText(*r.mismatch, dats);
    case Verdict::Verified:
    case Verdict::VerifiedTrimmed:
        break;
    }
    const DatMatch& m = r.matches.front();
    std::string s = r.verdict == Verdict::Verified ? "Verified: " : "Verified as trimmed dump of ";
    s += entryText(dats, m.rom) + " by " + matchedByLabel(m.by);
    if (m.padding)
        s += ", " + paddingText(*m.padding, m.paddedSize);
    const std::string serial = serialText(r, dats);
    if (!serial.empty())
        s += "; " + serial;
    return s;
}

std::string datTitle(const DatInfo& dat)
{
    std::string s = dat.name.empty() ? dat.file : dat.name;
    if (!dat.version.empty())
        s += " (" + dat.version + ")";
    return s;
}

} // namespace cartscope::core
