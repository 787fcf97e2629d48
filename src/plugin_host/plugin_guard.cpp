#include "plugin_host/plugin_guard.h"

#include <cstring>

// The guard behaves as an __except around the plug-in call would. Its handler
// is frame-based, registered at the call site: the system offers it a fault
// only after every handler registered deeper (the plug-in's own, its
// runtime's, a system call's that probes memory) has declined. It takes only
// hardware faults raised outside this library, unwinds the frames between
// the fault and the call site, so their termination handlers run, and
// resumes at the call site, which reports the failure.
//
// i386 (what ships): an exception registration record pushed on FS:[0] for
// the length of the call. The handler unwinds with RtlUnwind, points the
// fault's context at a resume point taken with __builtin_setjmp before the
// call (frame, label, stack: what __builtin_longjmp itself restores) and
// returns ExceptionContinueExecution, so the thread leaves the dispatcher
// through the system's own NtContinue.
//
// x86_64: frame-based handlers are found through unwind data, which GCC does
// not let C++ attach a handler of its own to. A small thunk written in
// assembly carries that data and names the handler; RtlUnwindEx unwinds to
// the thunk's frame and lands on its resume label. The thunk saves every
// non-volatile register itself, so nothing depends on how well the plug-in's
// own frames describe what they saved.
//
// Guards nest: each call has its own frame and record, so a plug-in that
// pumps messages while the host paints another chip through another plug-in
// leaves each fault to the guard nearest to it.

bool IsHardwareFault(DWORD code)
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
    // Raised by the FPU when a plug-in's runtime unmasked them; under an
    // emulator an integer division by zero can arrive as one of these too.
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
        return true;
    }
    return false;
}

static bool InOwnImage(const void* address)
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&InOwnImage), &self))
        return false;
    const BYTE* base = reinterpret_cast<const BYTE*>(self);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const BYTE* at = static_cast<const BYTE*>(address);
    return at >= base && at < base + nt->OptionalHeader.SizeOfImage;
}

// Whether the guard takes this fault: a first-pass hardware fault raised
// outside the library. An unwind passing through is never ours to stop.
static bool Contains(const EXCEPTION_RECORD* record)
{
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return false;
    return IsHardwareFault(record->ExceptionCode) && !InOwnImage(record->ExceptionAddress);
}

#ifdef _WIN64

// The thunk's frame, as laid out by its prologue below.
static const size_t kFrameGuardSlot = 192;

extern "C" {
int GuardedThunk(int (*body)(void* args), void* args, volatile DWORD* code);
extern char GuardedThunkResume[];
EXCEPTION_DISPOSITION ContainPluginFault(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                         DISPATCHER_CONTEXT* dispatch);
}

// rcx body, rdx args, r8 where the fault's code goes. Frame after the
// prologue: 0-31 the callee's home area, 32-191 xmm6-xmm15, 192 the code's
// address, 200 MXCSR, 204 the x87 control word.
asm(R"(
    .text
    .globl GuardedThunk
    .def GuardedThunk; .scl 2; .type 32; .endef
    .seh_proc GuardedThunk
GuardedThunk:
    pushq %rbp
    .seh_pushreg %rbp
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rsi
    .seh_pushreg %rsi
    pushq %rdi
    .seh_pushreg %rdi
    pushq %r12
    .seh_pushreg %r12
    pushq %r13
    .seh_pushreg %r13
    pushq %r14
    .seh_pushreg %r14
    pushq %r15
    .seh_pushreg %r15
    subq $216, %rsp
    .seh_stackalloc 216
    movdqa %xmm6, 32(%rsp)
    .seh_savexmm %xmm6, 32
    movdqa %xmm7, 48(%rsp)
    .seh_savexmm %xmm7, 48
    movdqa %xmm8, 64(%rsp)
    .seh_savexmm %xmm8, 64
    movdqa %xmm9, 80(%rsp)
    .seh_savexmm %xmm9, 80
    movdqa %xmm10, 96(%rsp)
    .seh_savexmm %xmm10, 96
    movdqa %xmm11, 112(%rsp)
    .seh_savexmm %xmm11, 112
    movdqa %xmm12, 128(%rsp)
    .seh_savexmm %xmm12, 128
    movdqa %xmm13, 144(%rsp)
    .seh_savexmm %xmm13, 144
    movdqa %xmm14, 160(%rsp)
    .seh_savexmm %xmm14, 160
    movdqa %xmm15, 176(%rsp)
    .seh_savexmm %xmm15, 176
    .seh_endprologue
    .seh_handler ContainPluginFault, @except
    movq %r8, 192(%rsp)
    stmxcsr 200(%rsp)
    fnstcw 204(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    jmp 1f
    .globl GuardedThunkResume
GuardedThunkResume:
    cld
    fninit
    fldcw 204(%rsp)
    ldmxcsr 200(%rsp)
    xorl %eax, %eax
1:
    movdqa 32(%rsp), %xmm6
    movdqa 48(%rsp), %xmm7
    movdqa 64(%rsp), %xmm8
    movdqa 80(%rsp), %xmm9
    movdqa 96(%rsp), %xmm10
    movdqa 112(%rsp), %xmm11
    movdqa 128(%rsp), %xmm12
    movdqa 144(%rsp), %xmm13
    movdqa 160(%rsp), %xmm14
    movdqa 176(%rsp), %xmm15
    addq $216, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rdi
    popq %rsi
    popq %rbx
    popq %rbp
    ret
    .seh_endproc
)");

EXCEPTION_DISPOSITION ContainPluginFault(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                         DISPATCHER_CONTEXT* dispatch)
{
    if (!Contains(record))
        return ExceptionContinueSearch;
    volatile DWORD* code;
    memcpy(&code, static_cast<BYTE*>(frame) + kFrameGuardSlot, sizeof(code));
    *code = record->ExceptionCode;
    // Does not return: lands on the resume label with the thunk's frame.
    RtlUnwindEx(frame, GuardedThunkResume, record, nullptr, context, dispatch->HistoryTable);
    return ExceptionContinueSearch;
}

static int CallGuarded(int (*body)(void* args), void* args, volatile DWORD* code)
{
    return GuardedThunk(body, args, code);
}

#else  // i386

struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD record;  // first: the handler is given its address
    void* resume[5];                       // __builtin_setjmp's buffer: frame, label, stack
    volatile DWORD* code;
};

static EXCEPTION_DISPOSITION NTAPI ContainPluginFault(EXCEPTION_RECORD* record, void* establisher,
                                                      CONTEXT* context, void*)
{
    if (!Contains(record))
        return ExceptionContinueSearch;
    GuardFrame* guard = static_cast<GuardFrame*>(establisher);
    *guard->code = record->ExceptionCode;
    // The frames registered above ours see the unwind (their finally blocks
    // run); afterwards our record is the innermost one.
    RtlUnwind(establisher, nullptr, record, nullptr);
    context->Ebp = reinterpret_cast<DWORD>(guard->resume[0]);
    context->Eip = reinterpret_cast<DWORD>(guard->resume[1]);
    context->Esp = reinterpret_cast<DWORD>(guard->resume[2]);
    context->EFlags &= ~0x400u;  // the direction flag
    return ExceptionContinueExecution;
}

// The floating-point state the call started with: what the plug-in may have
// left changed when it faulted.
struct FpuState {
    WORD control;
    DWORD mxcsr;
    bool sse;
};

static void SaveFpu(FpuState* fpu)
{
    asm volatile("fnstcw %0" : "=m"(fpu->control));
    fpu->sse = IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE);
    if (fpu->sse)
        asm volatile("stmxcsr %0" : "=m"(fpu->mxcsr));
}

static void RestoreFpu(const FpuState* fpu)
{
    asm volatile("cld\n\tfninit\n\tfldcw %0" : : "m"(fpu->control));
    if (fpu->sse)
        asm volatile("ldmxcsr %0" : : "m"(fpu->mxcsr));
}

__attribute__((noinline)) static int CallGuarded(int (*body)(void* args), void* args, volatile DWORD* code)
{
    GuardFrame frame;
    frame.code = code;
    frame.record.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(__readfsdword(0));
    frame.record.Handler = ContainPluginFault;
    FpuState fpu;
    SaveFpu(&fpu);
    volatile int result = 0;
    __writefsdword(0, reinterpret_cast<DWORD>(&frame.record));
    if (__builtin_setjmp(frame.resume) == 0) {
        result = body(args);
        __writefsdword(0, reinterpret_cast<DWORD>(frame.record.Next));
    } else {
        // Resumed by the handler: the chain is the call site's again before
        // anything else runs, then the state the plug-in may have left.
        __writefsdword(0, reinterpret_cast<DWORD>(frame.record.Next));
        RestoreFpu(&fpu);
    }
    return result;
}

#endif

// The thread's information block, read through the segment register as
// NtCurrentTeb does (whose header form trips GCC's bounds checking).
static NT_TIB* ThreadTib()
{
    NT_TIB* tib;
#ifdef _WIN64
    asm("movq %%gs:0x30, %0" : "=r"(tib));
#else
    asm("movl %%fs:0x18, %0" : "=r"(tib));
#endif
    return tib;
}

// The system raises a stack overflow where the guard page is touched, and
// dispatches it on what lies below: the frame it builds, our handler, and
// the unwind the handler starts (3.7 KB to reach the handler on x86_64
// under Wine, the unwind more). A guard with too little below it ends the
// process without any handler, so before every call into a plug-in the
// thread's stack is given at least kStackReserve below its guard:
// - Windows keeps its guard at the top of the committed part of the stack,
//   moving it down as the stack grows, and raises the overflow when the
//   guard reaches the thread's guarantee; the guarantee is raised to
//   kStackReserve (SetThreadStackGuarantee, honoured by Wine too), and must
//   be before the guard is reached: the system reads it then.
// - Wine commits the main thread's whole stack and keeps its guard on the
//   lowest page, one page above a page without access: a recursion of small
//   frames, its stack pointer right at the guard, faulted with its frame on
//   that last page and the process ended (frames of 4 KB and more probe a
//   page ahead of the stack pointer, which left just enough). Such a guard
//   gets a second one kStackReserve above the lowest page, which the
//   system moves down as it would its own, then raises the overflow there.
// - After an overflow was contained the guard is used up; the same rule
//   puts one back, as the C runtime's _resetstkoflw does, but not on the
//   lowest page.
// The stack limit goes just above the guard, where the system keeps it
// while the stack grows, so that a probing routine that trusts it (an
// MSVC-built plug-in's __chkstk) still touches the guard. A thread already
// deeper than that keeps its stack as the system left it.
static const SIZE_T kStackReserve = 16 << 10;

static void PlaceStackGuard()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    SIZE_T page = system.dwPageSize;
    MEMORY_BASIC_INFORMATION stack;
    if (!VirtualQuery(&system, &stack, sizeof(stack)))
        return;
    BYTE* inUse = reinterpret_cast<BYTE*>(reinterpret_cast<ULONG_PTR>(&system) & ~(ULONG_PTR)(page - 1));
    BYTE* lowest = nullptr;  // the lowest page the thread may use
    BYTE* guard = nullptr;   // the highest guard page below the one in use
    MEMORY_BASIC_INFORMATION region;
    for (BYTE* at = static_cast<BYTE*>(stack.AllocationBase); at < inUse && VirtualQuery(at, &region, sizeof(region));
         at = static_cast<BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_RESERVE && !lowest)
            lowest = static_cast<BYTE*>(region.BaseAddress);  // Windows: grows into it
        if (region.State != MEM_COMMIT || (region.Protect & PAGE_NOACCESS))
            continue;
        if (!lowest)
            lowest = static_cast<BYTE*>(region.BaseAddress);
        if (region.Protect & PAGE_GUARD)
            guard = static_cast<BYTE*>(region.BaseAddress);  // the highest one counts
    }
    ULONG guarantee = 0;
    if (SetThreadStackGuarantee(&guarantee) && guarantee < kStackReserve) {
        guarantee = kStackReserve;
        SetThreadStackGuarantee(&guarantee);
    }
    if (!lowest)
        return;
    BYTE* wanted = lowest + (kStackReserve + page - 1) / page * page;
    if (guard && guard >= wanted)
        return;  // room enough below the system's own guard
    if (wanted + page >= inUse)
        return;
    DWORD old;
    if (VirtualAlloc(wanted, page, MEM_COMMIT, PAGE_READWRITE)
        && VirtualProtect(wanted, page, PAGE_READWRITE | PAGE_GUARD, &old))
        ThreadTib()->StackLimit = wanted + page;
}

int GuardedPluginCall(int (*body)(void* args), void* args, int failure, DWORD* faulted)
{
    PlaceStackGuard();
    volatile DWORD code = 0;
    int result = CallGuarded(body, args, &code);
    *faulted = code;
    if (!code)
        return result;
    PlaceStackGuard();
    return failure;
}
