// A chip driven as a host drives it, for the benchmarks: how far a picture
// change lifts the process's committed memory, and what a slideshow step
// read ahead costs the host.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "bench_timing.h"
#include "hostkit.h"
#include "resource.h"
#include "showing/read_ahead.h"
#include "surface/exports.h"

// Samples the process's committed private memory every millisecond on a
// thread of its own, keeping the largest seen.
struct PeakWatch {
    volatile LONG stop;
    volatile long long peak;
    HANDLE thread;
};

inline DWORD WINAPI WatchPeak(void* argument)
{
    PeakWatch* watch = static_cast<PeakWatch*>(argument);
    while (!watch->stop) {
        long long now = CommittedPrivateBytes();
        if (now > watch->peak)
            watch->peak = now;
        Sleep(1);
    }
    return 0;
}

// How far above its settled memory a chip's change between the two pictures
// of `text` reaches.
inline double ChangePeak(HLOCAL chip, HWND window, HDC dc, const std::string& text)
{
    DrawChip(chip, window, dc, text.c_str());
    long long settled = CommittedPrivateBytes();
    PeakWatch watch = {0, settled, nullptr};
    watch.thread = CreateThread(nullptr, 0, WatchPeak, &watch, 0, nullptr);
    DoDrawExMenu(chip, window, IDM_CHANGE_IMAGE);
    DrawChip(chip, window, dc, text.c_str());
    watch.stop = 1;
    WaitForSingleObject(watch.thread, INFINITE);
    CloseHandle(watch.thread);
    return (watch.peak - settled) / 1048576.0;
}

// The host's whole step (the tick, the size, the paint) of a fit-aspect chip
// in `window` whose slideshow runs over `text` in list order, each step
// timed once its picture has been read ahead.
inline Spread ReadAheadSteps(HWND window, HDC dc, const std::string& text, int runs)
{
    SavedBlock inOrder = {20, IDM_FIT_ASPECT, 1, 1, 1, 0, 0};
    HLOCAL chip = nullptr;
    UpdateRecord record = MakeUpdateRecord(text.c_str(), 0, 1, &inOrder);
    InitializeChip(&chip, window, record.bytes);
    DrawChip(chip, window, dc, text.c_str());
    std::vector<double> steps;
    for (int i = 0; i < runs; i++) {
        WaitForReadAheadIdle();
        steps.push_back(TimeOnce([&] {
            while (DoTimer(chip) != 3) {
            }
            int size[2];
            CalcDefaultRect(chip, window, size, text.c_str());
            DrawChip(chip, window, dc, text.c_str());
        }));
    }
    WaitForReadAheadIdle();
    UnInitializeChip(chip);
    return SpreadOf(steps);
}
