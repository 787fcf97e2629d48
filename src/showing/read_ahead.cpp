#include "showing/read_ahead.h"

#include <cstring>

#include "chip/path_list.h"
#include "pictures/helper_load.h"
#include "pictures/image_file.h"
#include "plugin_host/plugin_calls.h"
#include "pictures/shown_size.h"

// A held copy larger than this (a large photo at 100 % and above) is not
// read ahead: 60 chips of a 32-bit host each hold one prepared copy.
static const unsigned long long kMostPreparedBytes = 16ULL << 20;

enum Stage { kQueued, kRunning, kDone };

// One picture prepared for a chip. The chip and the work that decodes it
// share it, and the last of the two to let go frees it, with a picture no
// one took.
struct Prepared {
    // Set on the host's thread before the work is queued, only read after.
    char path[kPathBufferSize];
    int index;
    HeldRule rule;
    LoaderList loaders;
    OffThreadLoad limits;
    // The work's while it runs, the chip's once the stage is kDone.
    HBITMAP picture;
    DisplaySize image;
    WIN32_FILE_ATTRIBUTE_DATA file;  // the file as the work found it, before reading it
    bool fileKnown;
    // Under g_lock.
    Prepared* next;  // in the queue
    Stage stage;
    bool abandoned;  // the chip let go before the work began: nothing to decode
    int owners;
};

// The queue, the stages and the owners; g_moved is woken whenever a decode
// begins or ends.
static SRWLOCK g_lock = SRWLOCK_INIT;
static CONDITION_VARIABLE g_moved = CONDITION_VARIABLE_INIT;
static Prepared* g_first;
static Prepared* g_last;
static int g_pending;  // queued or being decoded

// A pool of one thread, kept while the library is loaded: one decode of ours
// at a time beside the host's thread (two processors: the host keeps one),
// and the same thread throughout, so that none comes or goes between two
// counts of the process's handles.
struct Worker {
    PTP_POOL pool;
    TP_CALLBACK_ENVIRON environment;
    PTP_WORK work;
};
static Worker* g_worker;

static void LetGo(Prepared* prepared)
{
    AcquireSRWLockExclusive(&g_lock);
    bool last = --prepared->owners == 0;
    ReleaseSRWLockExclusive(&g_lock);
    if (!last)
        return;
    if (prepared->picture)
        DeleteObject(prepared->picture);
    HeapFree(GetProcessHeap(), 0, prepared);
}

static void Decode(Prepared* prepared)
{
    prepared->fileKnown = GetFileAttributesExA(prepared->path, GetFileExInfoStandard, &prepared->file) != FALSE;
    prepared->picture = LoadImageFile(prepared->path, prepared->loaders, nullptr, &prepared->rule, &prepared->image,
                                      &prepared->limits);
}

static HMODULE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

// One queued picture a call. Each call was given a reference to the library
// when it was queued, let go once the call has returned: the library stays
// loaded under its own code however early the host unloads it.
static VOID CALLBACK PrepareWork(PTP_CALLBACK_INSTANCE instance, void*, PTP_WORK)
{
    AcquireSRWLockExclusive(&g_lock);
    Prepared* prepared = g_first;
    if (prepared) {
        g_first = prepared->next;
        if (!g_first)
            g_last = nullptr;
        prepared->stage = kRunning;
    }
    bool wanted = prepared && !prepared->abandoned;
    ReleaseSRWLockExclusive(&g_lock);
    if (prepared) {
        WakeAllConditionVariable(&g_moved);
        if (wanted)
            Decode(prepared);
        AcquireSRWLockExclusive(&g_lock);
        prepared->stage = kDone;
        ReleaseSRWLockExclusive(&g_lock);
        WakeAllConditionVariable(&g_moved);
        // A picture no one took is deleted before the decode counts as
        // ended: whoever waits for idle then finds nothing of ours alive.
        LetGo(prepared);
        AcquireSRWLockExclusive(&g_lock);
        g_pending--;
        ReleaseSRWLockExclusive(&g_lock);
        WakeAllConditionVariable(&g_moved);
    }
    FreeLibraryWhenCallbackReturns(instance, ThisModule());
}

static bool StartWorker()
{
    if (g_worker)
        return true;
    Worker* worker = static_cast<Worker*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Worker)));
    if (!worker)
        return false;
    worker->pool = CreateThreadpool(nullptr);
    // Decoders are given the stack a thread of the host would have.
    TP_POOL_STACK_INFORMATION stack = {1 << 20, 64 << 10};
    if (worker->pool && SetThreadpoolStackInformation(worker->pool, &stack)) {
        SetThreadpoolThreadMaximum(worker->pool, 1);
        SetThreadpoolThreadMinimum(worker->pool, 1);
        InitializeThreadpoolEnvironment(&worker->environment);
        SetThreadpoolCallbackPool(&worker->environment, worker->pool);
        worker->work = CreateThreadpoolWork(PrepareWork, nullptr, &worker->environment);
        if (worker->work) {
            g_worker = worker;
            return true;
        }
        DestroyThreadpoolEnvironment(&worker->environment);
    }
    if (worker->pool)
        CloseThreadpool(worker->pool);
    HeapFree(GetProcessHeap(), 0, worker);
    return false;
}

void ReleaseReadAheadPool()
{
    Worker* worker = g_worker;
    g_worker = nullptr;
    if (!worker)
        return;
    CloseThreadpoolWork(worker->work);
    DestroyThreadpoolEnvironment(&worker->environment);
    CloseThreadpool(worker->pool);
    HeapFree(GetProcessHeap(), 0, worker);
}

void DropPreparedPicture(ChipState* state)
{
    Prepared* prepared = static_cast<Prepared*>(state->prepared);
    if (!prepared)
        return;
    state->prepared = nullptr;
    AcquireSRWLockExclusive(&g_lock);
    prepared->abandoned = true;
    ReleaseSRWLockExclusive(&g_lock);
    LetGo(prepared);
}

static bool MadeFor(const Prepared* prepared, int index, const char* path, const ChipState* state)
{
    return prepared->index == index && strcmp(prepared->path, path) == 0 && prepared->rule.mode == state->viewMode
        && prepared->rule.background == state->background;
}

void PrepareNextPicture(ChipState* state, HWND window, const char* text, LoaderList loaders)
{
    if (!text || !state->running || state->randomOrder || state->imageCount < 2 || !IsViewMode(state->viewMode)) {
        DropPreparedPicture(state);
        return;
    }
    // Where the slideshow steps to next.
    int next = state->imageIndex + 1;
    if (next >= state->imageCount || next < 0)
        next = 0;
    char path[kPathBufferSize];
    GetPathLine(text, next, path);
    Prepared* prepared = static_cast<Prepared*>(state->prepared);
    if (prepared && MadeFor(prepared, next, path, state))
        return;  // on its way, or ready
    DropPreparedPicture(state);
    // Through the read-ahead's helper any plug-in may prepare it; in this
    // process only one that may run off the host's thread, and only when no
    // plug-in before it takes the file.
    bool inHelper = path[0] && !HasBitmapSuffix(path, strlen(path)) && PluginHelperMayRun(loaders);
    const LoaderEntry* first = path[0] && !inHelper ? EntryForAnyThread(path, loaders) : nullptr;
    if ((!first && !inHelper) || !StartWorker())
        return;
    prepared = static_cast<Prepared*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Prepared)));
    HMODULE module = nullptr;
    if (!prepared || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                         reinterpret_cast<LPCSTR>(&PrepareWork), &module)) {
        if (prepared)
            HeapFree(GetProcessHeap(), 0, prepared);
        return;
    }
    // The reference just taken is let go when the work's call returns.
    memcpy(prepared->path, path, sizeof(path));
    prepared->index = next;
    RECT client = ChipClientRect(window);
    prepared->rule = {state->viewMode, client.right - client.left, client.bottom - client.top, state->background};
    prepared->loaders = loaders;
    prepared->limits = {first, kMostPreparedBytes, !inHelper};
    prepared->stage = kQueued;
    prepared->owners = 2;
    AcquireSRWLockExclusive(&g_lock);
    if (g_last)
        g_last->next = prepared;
    else
        g_first = prepared;
    g_last = prepared;
    g_pending++;
    ReleaseSRWLockExclusive(&g_lock);
    SubmitThreadpoolWork(g_worker->work);
    state->prepared = prepared;
}

// Whether this thread holds the loader lock (inside some module's DllMain):
// a decode on another thread may need it to load a codec, and waiting for
// that decode here would never end. The lock is the process block's, at the
// offset both Windows and Wine keep it.
static bool HoldsLoaderLock()
{
    const BYTE* process;
#ifdef _WIN64
    asm("movq %%gs:0x60, %0" : "=r"(process));
    const CRITICAL_SECTION* lock = *reinterpret_cast<CRITICAL_SECTION* const*>(process + 0x110);
#else
    asm("movl %%fs:0x30, %0" : "=r"(process));
    const CRITICAL_SECTION* lock = *reinterpret_cast<CRITICAL_SECTION* const*>(process + 0xA0);
#endif
    return lock && reinterpret_cast<DWORD_PTR>(lock->OwningThread) == GetCurrentThreadId();
}

static bool SameFile(const Prepared* prepared)
{
    WIN32_FILE_ATTRIBUTE_DATA now;
    return prepared->fileKnown && GetFileAttributesExA(prepared->path, GetFileExInfoStandard, &now)
        && now.nFileSizeHigh == prepared->file.nFileSizeHigh && now.nFileSizeLow == prepared->file.nFileSizeLow
        && CompareFileTime(&now.ftLastWriteTime, &prepared->file.ftLastWriteTime) == 0;
}

// Whether the prepared copy holds what the chip shows now: the client may
// have grown since it was made.
static bool HoldsEnough(const ChipState* state, HWND window, HBITMAP picture, DisplaySize image)
{
    BITMAP held;
    if (GetObjectA(picture, sizeof(held), &held) != sizeof(held))
        return false;
    RECT client = ChipClientRect(window);
    DisplaySize shown = ShownSize(state->viewMode, client.right - client.left, client.bottom - client.top,
                                  image.width, image.height);
    return HeldCopySuffices(state->viewMode, held.bmWidth, held.bmHeight < 0 ? -held.bmHeight : held.bmHeight, shown,
                            image.width, image.height);
}

bool TakePreparedPicture(ChipState* state, HWND window, const char* text)
{
    Prepared* prepared = static_cast<Prepared*>(state->prepared);
    if (!prepared || !text)
        return false;
    char path[kPathBufferSize];
    GetPathLine(text, state->imageIndex, path);
    HBITMAP picture = nullptr;
    if (MadeFor(prepared, state->imageIndex, path, state)) {
        // A decode under way is waited for, not started again here; one
        // still queued is not: this thread decodes at once, and the queued
        // one is skipped.
        bool mayWait = !HoldsLoaderLock();
        AcquireSRWLockExclusive(&g_lock);
        while (prepared->stage == kRunning && mayWait)
            SleepConditionVariableSRW(&g_moved, &g_lock, INFINITE, 0);
        if (prepared->stage == kDone) {
            picture = prepared->picture;
            prepared->picture = nullptr;
        }
        ReleaseSRWLockExclusive(&g_lock);
    }
    DisplaySize image = prepared->image;
    bool taken = picture && SameFile(prepared) && HoldsEnough(state, window, picture, image);
    DropPreparedPicture(state);
    if (!taken) {
        if (picture)
            DeleteObject(picture);
        return false;
    }
    ReplacePicture(state, picture, image.width, image.height);
    return true;
}

void WaitForReadAheadIdle()
{
    AcquireSRWLockExclusive(&g_lock);
    while (g_pending > 0)
        SleepConditionVariableSRW(&g_moved, &g_lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&g_lock);
}
