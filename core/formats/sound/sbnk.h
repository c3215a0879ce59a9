#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Instrument banks (SBNK): per program, the samples it plays over which keys.
namespace cartscope::core {

struct BankRegion {
    std::uint8_t lowKey = 0;
    std::uint8_t highKey = 127;
    std::uint8_t type = 1;     // 1 a sampled wave, 2 a square wave (PSG), 3 noise
    std::uint16_t wave = 0;    // the wave's index in its wave archive
    std::uint16_t archive = 0; // which of the bank's four wave archives (0-3)
    std::uint8_t baseKey = 60;
    std::uint8_t attack = 0, decay = 0, sustain = 0, release = 0, pan = 64;
};

struct BankInstrument {
    std::uint32_t program = 0;
    std::uint8_t type = 0; // 1-3 one region, 16 a drum set (one region per key), 17 a key split
    std::vector<BankRegion> regions;
};

struct Bank {
    std::vector<BankInstrument> instruments; // empty slots are left out
};

// Reads an SBNK file. Throws "\"%s\" is not an SBNK bank" (with `label`); every instrument's
// offset and its regions are bounded by the file (one that is not is left out and `notes` says
// so).
Bank readSbnk(std::span<const std::uint8_t> file, const std::string& label,
              std::vector<std::string>& notes);

// One line per region: "program 3: keys 0-127 wave archive 0 wave 12, base key 60".
std::string bankText(const Bank& bank);
std::string bankJson(const Bank& bank);

} // namespace cartscope::core
