// What the test plug-in records of how it was called, read by the tests
// through its TestPluginState export.
#pragma once

#include <windows.h>

#include <cstring>

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

// A picture whose file name holds "gated" is held open in GetPicture by
// every variant, in whichever process decodes it: the plug-in signals the
// event named GateName(path, 'e') and waits for the one named
// GateName(path, 'g'), where the test made them.
inline void GateName(const char* path, char kind, char (&name)[40])
{
    unsigned hash = 2166136261u;
    for (const char* c = path; *c; c++)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    static const char prefix[] = "Local\\tpic-gate-";
    memcpy(name, prefix, sizeof(prefix) - 1);
    char* at = name + sizeof(prefix) - 1;
    *at++ = kind;
    *at++ = '-';
    for (int shift = 28; shift >= 0; shift -= 4)
        *at++ = "0123456789abcdef"[(hash >> shift) & 15];
    *at = '\0';
}
