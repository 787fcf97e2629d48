// What the library and its plug-in helper process say to each other. The
// helper is built at the library's width, so both see one layout. The
// library creates an unnamed section holding a HelperBlock and two events,
// all inherited by the helper alone (a handle list), with a handle to the
// library's process that only lets the helper wait for it to end:
//
//   OviluneHelper.exe <block> <request event> <reply event> <host process>
//
// (handle values in hexadecimal). The helper loads the plug-ins named in the
// block, in order, and signals the reply event once ready. Each request is
// one load: the library fills `request` and signals the request event; the
// helper loads the picture as the library itself would, puts the held copy
// in a section of its own, fills `reply` and signals the reply event. The
// library duplicates that section out of the helper and trusts nothing the
// reply says without checking it.
#pragma once

#include <windows.h>

const DWORD kHelperMagic = 0x4F564C48;  // 'OVLH'
const DWORD kHelperVersion = 2;
const int kHelperMostPlugins = 64;
const int kHelperPathSize = 260;

struct HelperRequest {
    char path[kHelperPathSize];
    int mode;
    int clientWidth;
    int clientHeight;
    COLORREF background;
    unsigned long long mostBytes;  // a read-ahead's bound on the held copy; 0 for none
    unsigned long long skip;  // plug-ins (by their place in `plugins`) not to call
};

struct HelperReply {
    int failure;      // a LoadFailure; kLoadShown with a picture
    int plugin;       // the plug-in concerned, by its place, or -1
    DWORD code;
    int wholeWidth;   // the picture's own size
    int wholeHeight;
    int width;        // the held copy: top-down rows, 4-byte aligned
    int height;
    int bitCount;     // 32 whole, 24 reduced
    ULONG_PTR section;  // the helper's handle to the section holding the rows
};

struct HelperBlock {
    DWORD magic;
    DWORD version;
    int pluginCount;
    char plugins[kHelperMostPlugins][kHelperPathSize];
    // The plug-in being called, by its place, or -1: written before and
    // after every call, so that a helper that ends or hangs names it.
    volatile LONG running;
    // Counts the plug-in's calls to its progress callback: a decode that
    // reports progress is working, and its time is extended.
    volatile LONG progress;
    HelperRequest request;
    HelperReply reply;
};

const char kHelperFileName[] = "OviluneHelper.exe";
