#include "sources/plugin_guard.h"

// The mechanism, the same on both widths: a vectored exception handler
// registered for the length of the call. On a contained fault it points the
// faulting thread's context at a resume point taken with __builtin_setjmp
// before the call (frame pointer, stack pointer, label: what
// __builtin_longjmp itself restores) and returns EXCEPTION_CONTINUE_EXECUTION,
// so the thread leaves through the system's own NtContinue and no lock or
// state of the exception dispatcher is abandoned, as a longjmp out of the
// handler would. GCC has no __try; frame-based handlers would need hand-made
// unwind data on x86_64 and an FS:[0] record on i386, two mechanisms where
// one serves. RtlCaptureContext cannot give the resume point: on i386 it
// captures the caller's frame, not the point of the call.
//
// The cost of going first: a vectored handler sees a fault before the
// plug-in's own handlers do. Only hardware faults are taken (software
// exceptions such as C++ or Delphi throws pass on to the plug-in), and a
// plug-in that faults on purpose to catch it itself is treated as faulty.

struct FaultGuard {
    void* resume[5];       // __builtin_setjmp's buffer: frame, label, stack
    DWORD thread;
    const BYTE* ownBegin;  // this library's image: faults there are not ours to hide
    const BYTE* ownEnd;
    volatile DWORD code;   // the contained fault, 0 while none
};

// The library is called on the host's thread and plug-in calls do not nest;
// the thread check keeps other threads' faults out.
static FaultGuard* volatile g_guard;

static bool IsHardwareFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_STACK_OVERFLOW:
        return true;
    }
    return false;
}

static LONG CALLBACK ContainPluginFault(EXCEPTION_POINTERS* pointers)
{
    FaultGuard* guard = g_guard;
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (!guard || guard->code || guard->thread != GetCurrentThreadId()
        || !IsHardwareFault(record->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
    const BYTE* at = static_cast<const BYTE*>(record->ExceptionAddress);
    if (at >= guard->ownBegin && at < guard->ownEnd)
        return EXCEPTION_CONTINUE_SEARCH;
    guard->code = record->ExceptionCode;
    CONTEXT* context = pointers->ContextRecord;
#ifdef _WIN64
    context->Rbp = reinterpret_cast<DWORD64>(guard->resume[0]);
    context->Rip = reinterpret_cast<DWORD64>(guard->resume[1]);
    context->Rsp = reinterpret_cast<DWORD64>(guard->resume[2]);
#else
    context->Ebp = reinterpret_cast<DWORD>(guard->resume[0]);
    context->Eip = reinterpret_cast<DWORD>(guard->resume[1]);
    context->Esp = reinterpret_cast<DWORD>(guard->resume[2]);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

static void OwnImage(const BYTE** begin, const BYTE** end)
{
    HMODULE self = nullptr;
    *begin = *end = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ContainPluginFault), &self))
        return;
    const BYTE* base = reinterpret_cast<const BYTE*>(self);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    *begin = base;
    *end = base + nt->OptionalHeader.SizeOfImage;
}

// After a stack overflow the guard page is gone, and the next overflow would
// end the process without any handler: make the lowest committed page of the
// stack the guard page again, as the C runtime's _resetstkoflw does.
static void RearmStackGuard()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    MEMORY_BASIC_INFORMATION committed;
    if (!VirtualQuery(&system, &committed, sizeof(committed)))
        return;
    DWORD old;
    VirtualProtect(committed.BaseAddress, system.dwPageSize, PAGE_READWRITE | PAGE_GUARD, &old);
}

__attribute__((noinline)) int GuardedPluginCall(int (*body)(void* args), void* args, int failure, DWORD* faulted)
{
    *faulted = 0;
    FaultGuard frame = {};
    FaultGuard* volatile guard = &frame;
    guard->thread = GetCurrentThreadId();
    OwnImage(&guard->ownBegin, &guard->ownEnd);
    PVOID handler = AddVectoredExceptionHandler(1, ContainPluginFault);
    if (!handler)
        return failure;  // unguarded, the call is better not made
#ifndef _WIN64
    // The plug-in's frame-based handlers are registered on stack that a
    // contained fault abandons: the chain must end where it ended here.
    DWORD chain = __readfsdword(0);
#endif
    volatile int result = failure;
    g_guard = guard;
    if (__builtin_setjmp(guard->resume) == 0)
        result = body(args);
    g_guard = nullptr;
    RemoveVectoredExceptionHandler(handler);
    DWORD code = guard->code;
    if (code) {
#ifndef _WIN64
        __writefsdword(0, chain);
#endif
        if (code == EXCEPTION_STACK_OVERFLOW)
            RearmStackGuard();
        *faulted = code;
        return failure;
    }
    return result;
}
