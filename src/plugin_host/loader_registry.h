// The loader registry: every format we can show, the built-in bitmap entry
// first, then each Susie plug-in's formats.
#pragma once

#include <windows.h>

// One format: the built-in bitmap entry (module null) or one of a Susie
// plug-in's formats. A module with several formats has consecutive entries.
struct LoaderEntry {
    HMODULE module;
    char* description;
    char* pattern;
    LoaderEntry* next;
    // The plug-in faulted once, on whichever thread: never called again,
    // never unloaded. 0, or the code of the fault that disabled it; set
    // through DisablePlugin alone, read on any thread.
    volatile LONG faulted;
    bool anyThread;  // the plug-in says its decoding may run on any thread
};

typedef LoaderEntry* LoaderList;

// Always starts with the "Bitmap" / "*.bmp" entry, then the plug-ins of the
// registry's folder or of the first folder on PATH that has any. A folder
// too long to search (its "\*.spi" pattern, or a plug-in's full path, would
// pass 259 characters) is not used: for the registry's value that means
// PATH is searched as if the value were absent, for a PATH piece that the
// next piece is tried, and for a single plug-in that it is skipped.
LoaderList BuildLoaderList();

// The same list from the plug-in files named, in that order (the helper
// process loads the library's own list this way).
LoaderList LoadersFromFiles(const char (*paths)[260], int count);

// Frees every entry and unloads each plug-in once. A plug-in that faulted
// stays loaded: its code may still be referenced by whatever it left behind.
void FreeLoaderList(LoaderList head);

// Marks every entry of the plug-in module as faulted with `code`.
void DisablePlugin(LoaderList loaders, HMODULE module, DWORD code);
