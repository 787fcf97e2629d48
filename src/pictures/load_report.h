// Why a picture gave "load error": one line through OutputDebugString for
// each failed load, which a debug viewer shows (never a message box, never
// a file). A test or a user with a viewer can then tell a missing file from
// a file no plug-in takes, a plug-in's error code or a plug-in that faulted.
#pragma once

#include <windows.h>

enum LoadFailure {
    kLoadShown,          // no failure: nothing is written
    kLoadNoFile,         // the file cannot be opened; `code` is the system's error
    kLoadBadBitmap,      // a bitmap file whose headers lie or pass what a process can hold
    kLoadPlatformFailed, // the platform's bitmap reader refused it
    kLoadNoPlugin,       // no plug-in takes the file
    kLoadPluginError,    // the plug-in returned `code`
    kLoadPluginFault,    // the plug-in faulted with `code` and is not called again
    kLoadPluginBlocks,   // the plug-in's picture blocks do not describe each other
    kLoadNoMemory,       // no memory for the held copy
    kLoadOverBudget,     // refused off the host's thread for its size: not written
    kLoadNotOffThread,   // no plug-in that may run off the host's thread takes it: not written
    // Through the helper process only, and only ever said by the library:
    kLoadPluginHung,     // the plug-in did not answer within `code` ms; its helper was ended
    kLoadHelperEnded,    // the helper ended (exit code `code`) while in the plug-in, or with none
};

struct LoadReport {
    LoadFailure failure;
    HMODULE plugin;  // the plug-in concerned, or null
    DWORD code;
    bool offThread;  // made while reading ahead
};

// Writes the line for the report of the load of `path`, if it failed:
// "Ovilune: load error: <path>: <why>", naming the plug-in's file.
void ReportLoadFailure(const char* path, const LoadReport& report);

// The same line into buffer (for the tests); its length.
int FormatLoadFailure(const char* path, const LoadReport& report, char* buffer, int size);
