#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/verify/dat.h"
#include "core/verify/verify.h"

// The words of a verification result, as the window and the command line show them. The result
// itself is a verdict and its fields; these texts are made from them and never read back.
namespace cartscope::core {

// Why a file is not a DS image (HeadFacts::image false), by its size: "Not a DS image: ...".
std::string notAnImageText(std::uint64_t fileSize);

// "padded with 0xFF to 65536 bytes"
std::string paddingText(std::uint8_t padding, std::uint64_t paddedSize);
// When the match's DAT serial does not name the game code: "the DAT serial "..." does not name
// the game code "...""; else empty.
std::string serialText(const VerifyResult& result, const DatSet& dats);
// What a match adds beyond its game, the clauses joined by "; ": the padding, the serial.
std::string matchDetailText(const VerifyResult& result, const DatSet& dats);

// The verdict in words, as the window and the command line show it.
std::string verdictText(const VerifyResult& result, const DatSet& dats);
// "Game (DAT name version)"-style short name of a DAT: its name and version.
std::string datTitle(const DatInfo& dat);

} // namespace cartscope::core
