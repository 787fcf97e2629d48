#include "pictures/helper_load.h"

#include <cstdlib>
#include <cstring>

#include "common/helper_protocol.h"
#include "common/owners.h"
#include "pictures/picture_form.h"

// How long a load may take in the helper before the helper is ended. A
// 24-megapixel photo decodes in well under a second; ten seconds is a
// decoder caught in a loop. OVILUNE_HELPER_LIMIT_MS shortens it for tests.
static const DWORD kDefaultLimitMs = 10000;
// A helper that ended with no plug-in to blame (one that kills it as it is
// loaded) is not started again within this long: loads in between fail.
static const DWORD kRestartPauseMs = 5000;

// What a plug-in that hung or ended the helper is disabled with, beside the
// fault codes of plug-ins disabled by a fault.
static const DWORD kHelperTimedOut = 0xE0480001;
static const DWORD kHelperEnded = 0xE0480002;

// The processes and the channel of one helper.
struct Helper {
    HANDLE process;
    HANDLE job;
    HANDLE blockSection;
    HelperBlock* block;
    HANDLE request;
    HANDLE reply;
    HMODULE modules[kHelperMostPlugins];  // the plug-ins in the block, by place
    int moduleCount;
};

// Two helpers, each used from one thread only: the host's own loads, and
// the read-ahead's, so that a load of the host's never waits behind a
// picture prepared in advance.
struct HelperSlot {
    Helper helper;
    bool running;
    DWORD pausedUntil;  // tick count before which no helper starts
};

static HelperSlot g_slots[2];
static volatile LONG g_unavailable;  // no helper file, or processes cannot be made

static HelperSlot* SlotFor(const OffThreadLoad* offThread)
{
    return &g_slots[offThread ? 1 : 0];
}

static void CloseParts(Helper* helper)
{
    if (helper->process) {
        // Ended before this returns: no helper of ours outlives the call.
        TerminateProcess(helper->process, 1);
        WaitForSingleObject(helper->process, 5000);
        CloseHandle(helper->process);
    }
    if (helper->job)
        CloseHandle(helper->job);  // ends it too, wherever it is
    if (helper->block)
        UnmapViewOfFile(helper->block);
    if (helper->blockSection)
        CloseHandle(helper->blockSection);
    if (helper->request)
        CloseHandle(helper->request);
    if (helper->reply)
        CloseHandle(helper->reply);
    memset(helper, 0, sizeof(*helper));
}

static void StopHelper(HelperSlot* slot)
{
    if (!slot->running)
        return;
    CloseParts(&slot->helper);
    slot->running = false;
}

// No load is under way in either helper then: the read-ahead's work holds
// the library loaded while it runs.
void ReleasePluginHelper()
{
    for (HelperSlot& slot : g_slots)
        StopHelper(&slot);
}

static DWORD LimitMs()
{
    char text[16];
    DWORD length = GetEnvironmentVariableA("OVILUNE_HELPER_LIMIT_MS", text, sizeof(text));
    if (length == 0 || length >= sizeof(text))
        return kDefaultLimitMs;
    long ms = strtol(text, nullptr, 10);
    return ms > 0 && ms <= 600000 ? static_cast<DWORD>(ms) : kDefaultLimitMs;
}

static bool HelperWanted()
{
    char text[4];
    DWORD length = GetEnvironmentVariableA("OVILUNE_PLUGIN_HELPER", text, sizeof(text));
    return !(length == 1 && text[0] == '0');
}

// The helper's file beside the library's own.
static bool HelperPath(wchar_t (&path)[MAX_PATH])
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&HelperPath), &self))
        return false;
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash || (slash - path) + 1 + sizeof(kHelperFileName) >= MAX_PATH)
        return false;
    for (size_t i = 0; i < sizeof(kHelperFileName); i++)
        slash[1 + i] = static_cast<wchar_t>(kHelperFileName[i]);
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// The plug-in modules of the list, in order, with their files in the block.
static bool ListPlugins(LoaderList loaders, Helper* helper)
{
    helper->moduleCount = 0;
    for (const LoaderEntry* entry = loaders ? loaders->next : nullptr; entry; entry = entry->next) {
        if (helper->moduleCount && helper->modules[helper->moduleCount - 1] == entry->module)
            continue;
        if (helper->moduleCount == kHelperMostPlugins)
            return false;
        char* path = helper->block->plugins[helper->moduleCount];
        DWORD length = GetModuleFileNameA(entry->module, path, kHelperPathSize);
        if (length == 0 || length >= static_cast<DWORD>(kHelperPathSize))
            return false;
        helper->modules[helper->moduleCount++] = entry->module;
    }
    helper->block->pluginCount = helper->moduleCount;
    return true;
}

static HANDLE InheritableEvent()
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateEventW(&inherit, FALSE, FALSE, nullptr);
}

// Starts the process with exactly these handles inherited, in a job that
// ends it when the library's last handle to the job goes.
static bool StartProcess(const wchar_t* file, HANDLE* handles, int count, Helper* helper)
{
    wchar_t command[MAX_PATH + 128];
    size_t at = 0;
    command[at++] = L'"';
    for (const wchar_t* c = file; *c; c++)
        command[at++] = *c;
    command[at++] = L'"';
    for (int i = 0; i < count; i++) {
        command[at++] = L' ';
        ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handles[i]);
        for (int shift = static_cast<int>(sizeof(value)) * 8 - 4; shift >= 0; shift -= 4)
            command[at++] = L"0123456789abcdef"[(value >> shift) & 15];
    }
    command[at] = L'\0';
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    HeapArray<BYTE> attributes;
    if (!attributes.Allocate(size))
        return false;
    LPPROC_THREAD_ATTRIBUTE_LIST list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.items);
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
        return false;
    bool started = false;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                  nullptr, nullptr)) {
        STARTUPINFOEXW startup = {};
        startup.StartupInfo.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        helper->job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (helper->job)
            SetInformationJobObject(helper->job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        if (CreateProcessW(nullptr, command, nullptr, nullptr, TRUE,
                           CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                           &startup.StartupInfo, &process)) {
            // Wine's jobs are partial: the helper also watches this process.
            if (helper->job)
                AssignProcessToJobObject(helper->job, process.hProcess);
            ResumeThread(process.hThread);
            CloseHandle(process.hThread);
            helper->process = process.hProcess;
            started = true;
        } else if (helper->job) {
            CloseHandle(helper->job);
            helper->job = nullptr;
        }
    }
    DeleteProcThreadAttributeList(list);
    return started;
}

struct WindowSearch {
    DWORD process;
    bool found;
};

static BOOL CALLBACK FindVisibleWindow(HWND window, LPARAM context)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == search->process && IsWindowVisible(window)) {
        search->found = true;
        return FALSE;
    }
    return TRUE;
}

// Whether a plug-in in the helper shows a window of its own (a message box
// waiting for the user): its time does not run meanwhile.
static bool ShowsWindow(const Helper& helper)
{
    WindowSearch search = {GetProcessId(helper.process), false};
    EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

static const DWORD kSliceMs = 100;

// Waits for the helper's answer within the limit; false when it did not
// come (the helper ended, or was ended for its time).
static bool AwaitReply(const Helper& helper, DWORD* exitCode, bool* timedOut)
{
    HANDLE waits[2] = {helper.reply, helper.process};
    DWORD limit = LimitMs(), used = 0;
    LONG progress = helper.block->progress;
    DWORD waited;
    for (;;) {
        DWORD slice = limit - used < kSliceMs ? limit - used : kSliceMs;
        DWORD before = GetTickCount();
        waited = WaitForMultipleObjects(2, waits, FALSE, slice);
        if (waited != WAIT_TIMEOUT)
            break;
        LONG now = helper.block->progress;
        if (now != progress || ShowsWindow(helper)) {
            progress = now;
            used = 0;  // working, or waiting for the user: the time starts again
            continue;
        }
        used += GetTickCount() - before;
        if (used >= limit)
            break;
    }
    if (waited == WAIT_OBJECT_0)
        return true;
    *timedOut = waited == WAIT_TIMEOUT;
    if (*timedOut)
        TerminateProcess(helper.process, 1);
    WaitForSingleObject(helper.process, 5000);
    GetExitCodeProcess(helper.process, exitCode);
    return false;
}

static bool Unavailable()
{
    InterlockedExchange(&g_unavailable, 1);
    return false;
}

static bool StartHelper(HelperSlot* slot, LoaderList loaders)
{
    wchar_t file[MAX_PATH];
    if (!HelperWanted() || !HelperPath(file))
        return Unavailable();
    Helper helper = {};
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    helper.blockSection =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, sizeof(HelperBlock), nullptr);
    if (helper.blockSection)
        helper.block = static_cast<HelperBlock*>(
            MapViewOfFile(helper.blockSection, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HelperBlock)));
    helper.request = InheritableEvent();
    helper.reply = InheritableEvent();
    HANDLE host = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &host, SYNCHRONIZE, TRUE, 0);
    Handle ownedHost(host);
    if (!helper.block || !helper.request || !helper.reply || !host || !ListPlugins(loaders, &helper)) {
        CloseParts(&helper);
        return Unavailable();  // more plug-ins than the block names, or no handles: here, then
    }
    helper.block->magic = kHelperMagic;
    helper.block->version = kHelperVersion;
    helper.block->running = -1;
    HANDLE handles[4] = {helper.blockSection, helper.request, helper.reply, host};
    if (!StartProcess(file, handles, 4, &helper)) {
        CloseParts(&helper);
        return Unavailable();
    }
    slot->helper = helper;
    slot->running = true;
    DWORD code = 0;
    bool timedOut = false;
    if (AwaitReply(slot->helper, &code, &timedOut))
        return true;
    // Ended as it loaded the plug-ins, or never ready: not started again
    // for a while, so that a plug-in that ends every helper at once does not
    // have the host start processes in a loop.
    slot->pausedUntil = GetTickCount() + kRestartPauseMs;
    StopHelper(slot);
    return false;
}

static int PlaceOf(const Helper& helper, HMODULE module)
{
    for (int i = 0; i < helper.moduleCount; i++)
        if (helper.modules[i] == module)
            return i;
    return -1;
}

// The held copy from the helper's section, checked against what the library
// itself makes of the rule and the size the helper says the picture has.
static HBITMAP PictureFromHelper(const Helper& helper, const HelperReply& reply, HBITMAP spare, const HeldRule* rule,
                                 unsigned long long mostBytes, DisplaySize* imageSize)
{
    if (reply.wholeWidth <= 0 || reply.wholeHeight <= 0
        || static_cast<unsigned long long>(reply.wholeWidth) * reply.wholeHeight > (1ULL << 28))
        return nullptr;
    DisplaySize whole = {reply.wholeWidth, reply.wholeHeight};
    DisplaySize held = rule ? HeldSize(rule->mode, rule->clientWidth, rule->clientHeight, whole.width, whole.height)
                            : whole;
    bool reduced = held.width < whole.width || held.height < whole.height;
    int bitCount = reduced ? 24 : 32;
    if (reply.width != held.width || reply.height != held.height || reply.bitCount != bitCount)
        return nullptr;
    unsigned long long stride = (static_cast<unsigned long long>(held.width) * (bitCount / 8) + 3) & ~3ULL;
    unsigned long long bytes = stride * held.height;
    if (bytes > 0x7FFFFFFFULL || (mostBytes && static_cast<unsigned long long>(held.width) * held.height * (bitCount / 8) > mostBytes))
        return nullptr;
    HANDLE section = nullptr;
    if (!DuplicateHandle(helper.process, reinterpret_cast<HANDLE>(reply.section), GetCurrentProcess(), &section,
                         FILE_MAP_READ, FALSE, 0))
        return nullptr;
    Handle owned(section);
    const BYTE* rows = static_cast<const BYTE*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
    if (!rows)
        return nullptr;
    HBITMAP picture = nullptr;
    MEMORY_BASIC_INFORMATION view;
    if (VirtualQuery(rows, &view, sizeof(view)) && view.RegionSize >= bytes) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = held.width;
        info.bmiHeader.biHeight = -held.height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
        info.bmiHeader.biCompression = BI_RGB;
        picture = reduced ? PictureFromReducedDib(&info, rows, spare) : PictureFromDib(&info, rows, spare, held);
    }
    UnmapViewOfFile(rows);
    if (picture)
        *imageSize = whole;
    return picture;
}

// Sends the request in the block and waits for its answer; false, with the
// helper stopped and *report saying why, when it gave none.
static bool Ask(HelperSlot* slot, LoaderList loaders, LoadReport* report, bool* blamedNone)
{
    Helper& helper = slot->helper;
    helper.block->running = -1;
    SetEvent(helper.request);
    DWORD exitCode = 0;
    bool timedOut = false;
    if (AwaitReply(helper, &exitCode, &timedOut))
        return true;
    // Whatever plug-in it was in is not called again, here or there.
    LONG running = helper.block->running;
    HMODULE blamed = running >= 0 && running < helper.moduleCount ? helper.modules[running] : nullptr;
    if (blamed)
        DisablePlugin(loaders, blamed, timedOut ? kHelperTimedOut : kHelperEnded);
    *blamedNone = !blamed;
    report->failure = timedOut ? kLoadPluginHung : kLoadHelperEnded;
    report->plugin = blamed;
    report->code = timedOut ? LimitMs() : exitCode;
    StopHelper(slot);
    return false;
}

static bool HasPlugins(LoaderList loaders)
{
    return loaders && loaders->next;
}

bool PluginHelperMayRun(LoaderList loaders)
{
    return !g_unavailable && HasPlugins(loaders) && HelperWanted();
}

static void FillRequest(const Helper& helper, const char* path, size_t length, LoaderList loaders,
                        const HeldRule* rule, const OffThreadLoad* offThread)
{
    HelperRequest& request = helper.block->request;
    memset(&request, 0, sizeof(request));
    memcpy(request.path, path, length);
    if (rule) {
        request.mode = rule->mode;
        request.clientWidth = rule->clientWidth;
        request.clientHeight = rule->clientHeight;
        request.background = rule->background;
    }
    request.mostBytes = offThread ? offThread->mostBytes : 0;
    // Disabled here, on either side: not called there either.
    for (const LoaderEntry* entry = loaders->next; entry; entry = entry->next) {
        int place = PlaceOf(helper, entry->module);
        if (entry->faulted && place >= 0)
            request.skip |= 1ULL << place;
    }
}

bool LoadThroughHelper(const char* path, LoaderList loaders, HBITMAP spare, const HeldRule* rule,
                       const OffThreadLoad* offThread, DisplaySize* imageSize, LoadReport* report, HBITMAP* picture)
{
    *picture = nullptr;
    *report = {kLoadShown, nullptr, 0, offThread != nullptr};
    size_t length = strnlen(path, kHelperPathSize);
    if (!PluginHelperMayRun(loaders) || length == 0 || length >= static_cast<size_t>(kHelperPathSize))
        return false;
    HelperSlot* slot = SlotFor(offThread);
    // A helper ended from outside since the last load is simply replaced.
    if (slot->running && WaitForSingleObject(slot->helper.process, 0) == WAIT_OBJECT_0)
        StopHelper(slot);
    for (int attempt = 0;; attempt++) {
        if (!slot->running) {
            if (slot->pausedUntil && static_cast<LONG>(GetTickCount() - slot->pausedUntil) < 0) {
                report->failure = kLoadHelperEnded;
                return true;
            }
            if (!StartHelper(slot, loaders)) {
                if (g_unavailable)
                    return false;
                report->failure = kLoadHelperEnded;
                return true;
            }
        }
        FillRequest(slot->helper, path, length, loaders, rule, offThread);
        bool blamedNone = false;
        if (Ask(slot, loaders, report, &blamedNone))
            break;
        // Ended with no plug-in running (from outside, say): once more with
        // a new helper; a second time, not again for a while.
        if (!blamedNone)
            return true;
        if (attempt > 0) {
            slot->pausedUntil = GetTickCount() + kRestartPauseMs;
            return true;
        }
    }
    const Helper& helper = slot->helper;
    HelperReply reply = helper.block->reply;  // read once: the helper is not to be trusted
    if (reply.failure < kLoadShown || reply.failure > kLoadNotOffThread)
        reply.failure = kLoadPluginBlocks;
    HMODULE concerned =
        reply.plugin >= 0 && reply.plugin < helper.moduleCount ? helper.modules[reply.plugin] : nullptr;
    if (reply.failure == kLoadShown) {
        *picture = PictureFromHelper(helper, reply, spare, rule, offThread ? offThread->mostBytes : 0, imageSize);
        if (!*picture) {
            report->failure = kLoadPluginBlocks;
            report->plugin = concerned;
        }
        return true;
    }
    report->failure = static_cast<LoadFailure>(reply.failure);
    report->plugin = concerned;
    report->code = reply.code;
    if (reply.failure == kLoadPluginFault && concerned)
        DisablePlugin(loaders, concerned, reply.code);
    return true;
}
