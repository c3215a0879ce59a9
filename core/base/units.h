#pragma once

#include <cstdint>
#include <string>

namespace cartscope::core {

// A byte count as people read it: "512 bytes", then one decimal in binary units from 1 KiB on
// ("1.5 KiB", "300.0 MiB", "1.2 GiB"). The window and the command line print the same text.
std::string humanBytes(std::uint64_t n);

} // namespace cartscope::core
