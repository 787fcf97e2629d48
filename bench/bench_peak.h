// How far a chip's picture change lifts the process's committed memory.
#pragma once

#include <windows.h>

#include <string>

#include "hostkit.h"
#include "resource.h"
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
