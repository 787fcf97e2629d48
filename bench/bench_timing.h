// Timing for the benchmarks: milliseconds from the performance counter,
// medians of repeated runs in one process, and ratios to a floor measured
// pair by pair beside the case, so that both see the same machine state.
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
double TimeOnce(F f)
{
    GdiFlush();
    double start = Now();
    f();
    GdiFlush();
    return Now() - start;
}

struct Spread {
    double median, low, high;  // low and high: the middle half's ends
};

inline Spread SpreadOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return {values[n / 2], values[n / 4], values[(3 * n) / 4]};
}

template <typename F>
Spread Measure(F f, int runs = 41)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++)
        times.push_back(TimeOnce(f));
    return SpreadOf(times);
}

struct Paired {
    Spread ratio;  // case / floor, pair by pair
    Spread value;  // the case alone, in ms
    Spread floor;  // the floor alone, in ms
};

// Runs the floor, `setup` (untimed) and the case in turn, `runs` times.
template <typename S, typename F, typename G>
Paired MeasurePaired(S setup, F floor, G value, int runs)
{
    std::vector<double> ratios, values, floors;
    for (int i = 0; i < runs; i++) {
        double f = TimeOnce(floor);
        setup();
        double v = TimeOnce(value);
        ratios.push_back(v / f);
        values.push_back(v);
        floors.push_back(f);
    }
    return {SpreadOf(ratios), SpreadOf(values), SpreadOf(floors)};
}
