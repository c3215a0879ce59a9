#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/banner/banner_info.h"
#include "core/interpret.h"

namespace cartscope::core {

// The header information report: fifteen lines from the page's values, then a six-line section
// per non-empty banner title. Lines carry no line ends of their own (a title's line feeds stay).
// 8-bit field texts are taken as UTF-8 (invalid bytes become U+FFFD). `nameOfFile` is the name
// shown in line 2; a path is cut to what follows its last "/". `decimalPoint` is the card
// size's, as its field shows it.
std::vector<std::u16string> BuildHeaderInfoReport(const std::string& nameOfFile,
                                                  const HeaderValues& values,
                                                  const BannerInfo& banner,
                                                  std::string_view decimalPoint = ".");

// Every line followed by CR LF, the last included.
std::u16string reportText(const std::vector<std::u16string>& lines);
// The file form: FF FE then the text as UTF-16LE, no terminating zero.
std::vector<std::uint8_t> reportFileBytes(const std::vector<std::u16string>& lines);

} // namespace cartscope::core
