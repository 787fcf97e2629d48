// Timing for the benchmarks: milliseconds from the performance counter and
// the median of repeated runs in one process.
#pragma once

#include <windows.h>

#include <algorithm>
#include <vector>

inline double Now()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / frequency.QuadPart;
}

// GDI batches calls: flushed before and after, so each run pays its own.
template <typename F>
double Median(F f, int runs = 41)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        GdiFlush();
        double start = Now();
        f();
        GdiFlush();
        times.push_back(Now() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}
