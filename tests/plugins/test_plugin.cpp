// A Susie import filter for the tests, built in several variants from this
// one source (see tests/CMakeLists.txt). It decodes "TPIC" files: the magic,
// then width and height as 32-bit little-endian numbers, then width x height
// pixels of 4 bytes (blue, green, red, unused), top row first.
//
// Variants (compile definitions):
//   FORMATS=n           number of formats it lists (default 1)
//   VERSION_TEXT="00AM" another kind of plug-in
//   NEVER_ACCEPT        IsSupported always says no
//   FAIL_GET_PICTURE    GetPicture reports a broken file
//   NO_IS_SUPPORTED / NO_GET_PICTURE   the export is missing
//   INFO_FULL           pattern and description fill the whole buffer,
//                       unterminated, and report its full length
//   INFO_SHORT          the reported lengths are shorter than the texts
//   NO_DESCRIPTION      patterns come without descriptions
//   SHORT_BITS          the bits block is smaller than the header says
//   NO_PLUGIN_INFO      not a plug-in at all: GetPluginInfo is missing
//   FAULT=kind          faults as a broken plug-in does: 1 access violation,
//                       2 illegal instruction, 3 division by zero, 4 stack
//                       overflow (FAULT_FRAME bytes a level, 1024 unless
//                       given; from 4 KB up each level probes its pages one
//                       by one); where, by one of:
//   FAULT_IN_INFO       GetPluginInfo, when asked for its formats
//   FAULT_ON_CRASH_HEADER  IsSupported, on data starting "CRSH" only
//   FAULT_BEFORE_ALLOC / FAULT_AFTER_ALLOC   GetPicture, before allocating
//                       its blocks or after handing them out
//   FAULT_SECOND_CALL   GetPicture, from its second call on
//   STOP=kind           GetPicture stops as old decoders do on a file they
//                       choke on, which no handler can contain: 1 never
//                       returns, 2 ExitProcess, 3 __fastfail (int 0x29, a
//                       compiler's stack-cookie check), 4 writes 64 KB past
//                       a 256-byte heap block, then decodes as usual; and
//                       as old decoders do that take their time: 5 shows a
//                       message box ("tpic asks") first, 6 reports progress
//                       every 100 ms for 3 s first
//                       (those last two then decode as usual)
//   ANY_THREAD          says its decoding may run on any thread
//   SEH_CASES           TPIC files whose magic names what GetPicture does
//                       first, as plug-ins with handlers of their own do:
//     MEND  faults on a page of its own under its own frame handler, which
//           makes the page readable and continues; the picture follows
//     PROB  asks IsBadReadPtr about an unreadable address; picture follows
//     DECL  faults under its own handler, which declines
//     FPUS  sets the direction flag, fills the x87 stack, unmasks every x87
//           and SSE exception, then faults; FPUX the same but the flag
//     FDIV  unmasks the x87 division by zero and divides by zero
//     OVER  overflows its stack
//     SEND  sends WM_APP to the counters' window; picture follows
//     SNDF  sends WM_APP, then faults
#include <windows.h>

#include <cstring>

#include "common/susie.h"
#include "test_plugin_state.h"

#ifndef FORMATS
#define FORMATS 1
#endif
#ifndef VERSION_TEXT
#define VERSION_TEXT "00IN"
#endif
#ifndef FAULT_FRAME
#define FAULT_FRAME 1024
#endif

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

static TestPluginCounters g_counters;

PLUGIN_EXPORT TestPluginCounters* WINAPI TestPluginState()
{
    return &g_counters;
}

#ifdef ANY_THREAD
PLUGIN_EXPORT int WINAPI DecodesOnAnyThread()
{
    return 1;
}
#endif

// Counts the call by the thread it came on; true on the host's thread.
static bool CountThread()
{
    bool host = !g_counters.hostThread || GetCurrentThreadId() == g_counters.hostThread;
    if (!host)
        InterlockedIncrement(&g_counters.otherThreadCalls);
    return host;
}

#if defined(FAULT) || defined(SEH_CASES)
static volatile int g_zero;

// Deep enough to meet the end of any stack; the condition keeps the
// recursion from being provably infinite.
[[maybe_unused]] static int Descend(int depth)
{
    volatile char frame[FAULT_FRAME];
    frame[0] = static_cast<char>(depth);
    if (g_zero == 1)
        return 0;
    return Descend(depth + 1) + frame[0];
}
#endif

#ifdef FAULT

static void Fault()
{
#if FAULT == 1
    *static_cast<volatile int*>(nullptr) = 1;
#elif FAULT == 2
    __builtin_trap();
#elif FAULT == 3
    // Both operands unknown to the compiler, or it folds the division away.
    volatile unsigned dividend = 1;
    g_counters.lastFlag = dividend / static_cast<unsigned>(g_zero);
#else
    Descend(0);
#endif
}
#endif

#ifdef SEH_CASES
static void* volatile g_mendable;
// Null, but not to the compiler, which would treat a store through a known
// null pointer as unreachable and drop the code around it.
static int* volatile g_null;

// The plug-in's own handler, registered as its compiler's __try would:
// it mends a fault on its own page, declines everything else.
extern "C" EXCEPTION_DISPOSITION NTAPI OwnHandler(EXCEPTION_RECORD* record, void*, CONTEXT*, void*)
{
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
        g_counters.unwindCalls++;
        return ExceptionContinueSearch;
    }
    g_counters.ownHandlerCalls++;
    // The page, not the fault's code or address: an emulator may report
    // either differently.
    MEMORY_BASIC_INFORMATION page;
    if (g_mendable && VirtualQuery(g_mendable, &page, sizeof(page)) && page.Protect == PAGE_NOACCESS) {
        DWORD old;
        VirtualProtect(g_mendable, 4096, PAGE_READWRITE, &old);
        return ExceptionContinueExecution;
    }
    return ExceptionContinueSearch;
}

#ifdef _WIN64
extern "C" void CallWithOwnHandler(void (*body)());
asm(R"(
    .text
    .def CallWithOwnHandler; .scl 2; .type 32; .endef
    .seh_proc CallWithOwnHandler
CallWithOwnHandler:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler OwnHandler, @except, @unwind
    callq *%rcx
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");
#else
static void CallWithOwnHandler(void (*body)())
{
    EXCEPTION_REGISTRATION_RECORD record;
    record.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(__readfsdword(0));
    record.Handler = OwnHandler;
    __writefsdword(0, reinterpret_cast<DWORD>(&record));
    body();
    __writefsdword(0, reinterpret_cast<DWORD>(record.Next));
}
#endif

static void WriteMendable()
{
    *static_cast<volatile int*>(g_mendable) = 1;
}

static void WriteNull()
{
    *g_null = 1;
}

static void LeaveStateAndFault(bool direction)
{
    static const WORD unmasked = 0x0340;  // 64-bit precision, every exception unmasked
    static const DWORD mxcsrUnmasked = 0;
    int* null = g_null;
    asm volatile("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\t"
                 "fldcw %0\n\tldmxcsr %1" : : "m"(unmasked), "m"(mxcsrUnmasked));
    if (direction)
        asm volatile("std\n\tmovl $1, (%0)" : : "r"(null) : "memory");
    else
        asm volatile("movl $1, (%0)" : : "r"(null) : "memory");
}

static void DivideByZero()
{
    static const WORD zeroUnmasked = 0x037B;
    static const float zero = 0.0f;
    asm volatile("fldcw %0\n\tfld1\n\tfdivs %1\n\tfwait\n\tfstp %%st(0)" : : "m"(zeroUnmasked), "m"(zero));
}

// What the file's magic asks for before its picture; false when the call
// has no picture to give.
[[maybe_unused]] static bool Behave(const BYTE* magic)
{
    if (memcmp(magic, "MEND", 4) == 0) {
        g_mendable = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
        CallWithOwnHandler(WriteMendable);
        VirtualFree(g_mendable, 0, MEM_RELEASE);
        g_mendable = nullptr;
    } else if (memcmp(magic, "PROB", 4) == 0) {
        void* unreadable = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
        g_counters.probeSaidBad = IsBadReadPtr(unreadable, 4);
        VirtualFree(unreadable, 0, MEM_RELEASE);
    } else if (memcmp(magic, "DECL", 4) == 0) {
        CallWithOwnHandler(WriteNull);
    } else if (memcmp(magic, "FPUS", 4) == 0 || memcmp(magic, "FPUX", 4) == 0) {
        LeaveStateAndFault(magic[3] == 'S');
    } else if (memcmp(magic, "FDIV", 4) == 0) {
        DivideByZero();
    } else if (memcmp(magic, "OVER", 4) == 0) {
        Descend(0);
    } else if (memcmp(magic, "SEND", 4) == 0 || memcmp(magic, "SNDF", 4) == 0) {
        SendMessageA(g_counters.window, WM_APP, 0, 0);
        if (magic[1] == 'N')
            WriteNull();
    } else {
        return memcmp(magic, "TPIC", 4) == 0;
    }
    return true;
}

static bool Accepted(const BYTE* magic)
{
    static const char kinds[][5] = {"TPIC", "MEND", "PROB", "DECL", "FPUS", "FPUX", "FDIV", "OVER", "SEND", "SNDF"};
    for (const char* kind : kinds)
        if (memcmp(magic, kind, 4) == 0)
            return true;
    return false;
}
#else
static bool Accepted(const BYTE* magic)
{
    return memcmp(magic, "TPIC", 4) == 0;
}

[[maybe_unused]] static bool Behave(const BYTE* magic)
{
    return Accepted(magic);
}
#endif

[[maybe_unused]] static int Put(LPSTR buffer, int length, const char* text, int reported)
{
    int size = lstrlenA(text);
    if (size >= length)
        size = length - 1;
    if (size < 0)
        return 0;
    memcpy(buffer, text, size);
    buffer[size] = '\0';
    return reported < size ? reported : size;
}

#ifndef NO_PLUGIN_INFO
PLUGIN_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buffer, int length)
{
    if (!buffer || length <= 0)
        return 0;
    if (infono == 0)
        return Put(buffer, length, VERSION_TEXT, 1 << 30);
    if (infono == 1)
        return Put(buffer, length, "Ovilune test plug-in", 1 << 30);
    int format = (infono - 2) / 2;
    if (format >= FORMATS)
        return 0;
#ifdef FAULT_IN_INFO
    Fault();
#endif
    bool description = infono % 2 == 1;
#if defined(INFO_FULL)
    memset(buffer, description ? 'd' : 'p', length);
    return length;
#elif defined(INFO_SHORT)
    return Put(buffer, length, description ? "Test pictures, long" : "*.tpc;*.tpx", description ? 4 : 5);
#else
#if defined(NO_DESCRIPTION)
    if (description)
        return 0;
#endif
    char text[64];
    if (description)
        wsprintfA(text, "Test picture %d", format + 1);
    else
        wsprintfA(text, format == 0 ? "*.tpc" : "*.tp%d", format + 1);
    return Put(buffer, length, text, 1 << 30);
#endif
}
#endif

#ifndef NO_IS_SUPPORTED
PLUGIN_EXPORT int WINAPI IsSupported(LPCSTR /*name*/, void* probe)
{
    g_counters.isSupportedCalls++;
    CountThread();
    const BYTE* bytes = static_cast<const BYTE*>(probe);
    memcpy(g_counters.lastProbe, bytes, sizeof(g_counters.lastProbe));
    g_counters.probeTailZero = bytes[kSusieProbeSize - 1] == 0;
#ifdef FAULT_ON_CRASH_HEADER
    if (memcmp(bytes, "CRSH", 4) == 0)
        Fault();
#endif
#ifdef NEVER_ACCEPT
    return 0;
#else
    return Accepted(bytes);
#endif
}
#endif

[[maybe_unused]] static bool ReadExact(HANDLE file, void* buffer, DWORD size)
{
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, nullptr) && read == size;
}

#ifndef NO_GET_PICTURE
static void HoldAtGate(const char* path)
{
    char name[40];
    GateName(path, 'e', name);
    HANDLE entered = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    GateName(path, 'g', name);
    HANDLE gate = OpenEventA(SYNCHRONIZE, FALSE, name);
    if (entered) {
        SetEvent(entered);
        CloseHandle(entered);
    }
    if (gate) {
        WaitForSingleObject(gate, INFINITE);
        CloseHandle(gate);
    }
}

PLUGIN_EXPORT int WINAPI GetPicture([[maybe_unused]] LPCSTR name, LONG_PTR offset, unsigned flag,
                                    [[maybe_unused]] HLOCAL* info, [[maybe_unused]] HLOCAL* bits,
                                    [[maybe_unused]] SusieProgress progress, [[maybe_unused]] LONG_PTR data)
{
    g_counters.getPictureCalls++;
    g_counters.lastOffset = offset;
    g_counters.lastFlag = flag;
    if (CountThread()) {
        InterlockedIncrement(&g_counters.hostThreadPictures);
    } else {
        if (g_counters.entered)
            SetEvent(g_counters.entered);
        if (g_counters.gate)
            WaitForSingleObject(g_counters.gate, INFINITE);
    }
    if ((flag & 7) == SPI_INPUT_FILE && strstr(name, "gated"))
        HoldAtGate(name);
#ifdef FAULT_BEFORE_ALLOC
    Fault();
#endif
#if STOP == 1
    for (;;)
        Sleep(INFINITE);
#elif STOP == 2
    ExitProcess(3);
#elif STOP == 3
    asm volatile("int $0x29" : : "c"(7));
#elif STOP == 4
    {
        BYTE* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, 256));
        volatile BYTE* past = block;
        for (int i = 0; block && i < 256 + 65536; i++)
            past[i] = 0xCD;
    }
#elif STOP == 5
    MessageBoxA(nullptr, "A question only a user can answer", "tpic asks", MB_OK);
#elif STOP == 6
    for (int i = 0; i < 30; i++) {
        if (progress)
            progress(i, 30, data);
        Sleep(100);
    }
#endif
#ifdef FAULT_SECOND_CALL
    if (g_counters.getPictureCalls >= 2)
        Fault();
#endif
#ifdef FAIL_GET_PICTURE
    return SPI_BROKEN_DATA;
#else
    if ((flag & 7) != SPI_INPUT_FILE)
        return SPI_NOT_IMPLEMENTED;
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return SPI_FILE_READ_ERROR;
    int result = SPI_BROKEN_DATA;
    BYTE header[12];
    SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN);
    if (ReadExact(file, header, sizeof(header)) && Behave(header)) {
        LONG width, height;
        memcpy(&width, header + 4, 4);
        memcpy(&height, header + 8, 4);
        if (width > 0 && height > 0 && width <= 8192 && height <= 8192) {
            DWORD rowBytes = static_cast<DWORD>(width) * 4;
            HLOCAL infoBlock = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
#ifdef SHORT_BITS
            DWORD bitsSize = rowBytes * static_cast<DWORD>(height) / 2;
#else
            DWORD bitsSize = rowBytes * static_cast<DWORD>(height);
#endif
            HLOCAL bitsBlock = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, bitsSize);
            BITMAPINFOHEADER* bih = infoBlock ? static_cast<BITMAPINFOHEADER*>(LocalLock(infoBlock)) : nullptr;
            BYTE* pixels = bitsBlock ? static_cast<BYTE*>(LocalLock(bitsBlock)) : nullptr;
            if (bih && pixels) {
                bih->biSize = sizeof(BITMAPINFOHEADER);
                bih->biWidth = width;
                bih->biHeight = height;  // bottom-up, as plug-ins deliver
                bih->biPlanes = 1;
                bih->biBitCount = 32;
                bih->biCompression = BI_RGB;
                result = SPI_SUCCESS;
                for (LONG row = 0; row < height && result == SPI_SUCCESS; row++) {
                    DWORD target = static_cast<DWORD>(height - 1 - row) * rowBytes;
                    BYTE scratch[8192 * 4];
                    if (!ReadExact(file, scratch, rowBytes))
                        result = SPI_BROKEN_DATA;
                    else if (target + rowBytes <= bitsSize)
                        memcpy(pixels + target, scratch, rowBytes);
                }
            } else {
                result = SPI_NO_MEMORY;
            }
            if (bih)
                LocalUnlock(infoBlock);
            if (pixels)
                LocalUnlock(bitsBlock);
            if (result == SPI_SUCCESS) {
                *info = infoBlock;  // the caller's from here
                *bits = bitsBlock;
#ifdef FAULT_AFTER_ALLOC
                Fault();
#endif
            } else {
                if (infoBlock)
                    LocalFree(infoBlock);
                if (bitsBlock)
                    LocalFree(bitsBlock);
            }
        }
    }
    CloseHandle(file);
    return result;
#endif
}
#endif
