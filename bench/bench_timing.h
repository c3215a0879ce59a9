// The in-process benchmarks' shared measures: elapsed seconds, the 1-minute load average as
// /proc/loadavg gives it, and the median of a set of timings.
#pragma once

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

namespace cartscope::bench {

inline double seconds(const std::chrono::steady_clock::time_point& since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline std::string load1()
{
    std::ifstream f("/proc/loadavg");
    std::string s;
    f >> s;
    return s;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace cartscope::bench
