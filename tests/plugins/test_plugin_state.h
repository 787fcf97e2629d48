// What the test plug-in records of how it was called, read by the tests
// through its TestPluginState export.
#pragma once

#include <windows.h>

struct TestPluginCounters {
    int isSupportedCalls;
    int getPictureCalls;
    LONG_PTR lastOffset;
    unsigned lastFlag;
    BYTE lastProbe[16];
    int probeTailZero;  // the probe buffer's last byte was a readable zero

    // Of the SEH_CASES variant.
    int ownHandlerCalls;  // its own frame handler, offered a fault
    int unwindCalls;      // the same handler during an unwind: its finally blocks
    int probeSaidBad;     // what IsBadReadPtr answered for an unreadable address
    HWND window;          // where "SEND" and "SNDF" files make it send WM_APP

    // Of every variant: the calls made on a thread other than `hostThread`
    // (when the test has set it), and in GetPicture there, where set,
    // `entered` signalled and then `gate` waited for: a decode the test
    // holds open.
    DWORD hostThread;
    volatile LONG hostThreadPictures;  // GetPicture calls on hostThread
    volatile LONG otherThreadCalls;    // IsSupported and GetPicture calls elsewhere
    HANDLE entered;
    HANDLE gate;
};
