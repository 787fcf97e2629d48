// Calls into Susie plug-ins with their faults contained: third-party code
// running in the host's process must not take the user's notes down with it.
#pragma once

#include <windows.h>

#include <tuple>

// Runs body(args), in which a plug-in is called, as inside an __except: a
// processor fault (access violation, illegal or privileged instruction,
// integer or floating-point fault, misaligned access, in-page error, stack
// overflow) raised outside this library's own code, and left unhandled by
// the plug-in's own handlers, ends the call: the frames in between are
// unwound, the result is `failure` and *faulted is set to the exception code.
// A fault in the library's own code is not contained: it still crashes where
// a debugger or the host's report sees it. Calls nest.
int GuardedPluginCall(int (*body)(void* args), void* args, int failure, DWORD* faulted);

// The exception codes the guard contains: those the processor raises.
bool IsHardwareFault(DWORD code);

// The typed form: calls function(args...) under the guard and returns its
// result, or `failure` with *faulted set. The arguments are copied into the
// call's record on this stack, so a plug-in function of any signature that
// returns int (each __stdcall on i386) is called as itself.
template <typename Function, typename... Args>
struct BoundPluginCall {
    Function function;
    std::tuple<Args...> args;
    static int Run(void* self)
    {
        BoundPluginCall* call = static_cast<BoundPluginCall*>(self);
        return std::apply(call->function, call->args);
    }
};

template <typename Function, typename... Args>
int GuardedCall(int failure, DWORD* faulted, Function function, Args... args)
{
    BoundPluginCall<Function, Args...> call = {function, std::tuple<Args...>(args...)};
    return GuardedPluginCall(&BoundPluginCall<Function, Args...>::Run, &call, failure, faulted);
}
