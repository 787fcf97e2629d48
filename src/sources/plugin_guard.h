// Calls into Susie plug-ins with their faults contained: third-party code
// running in the host's process must not take the user's notes down with it.
#pragma once

#include <windows.h>

// Runs body(args), in which a plug-in is called. An access violation, illegal
// or privileged instruction, division by zero, misaligned access or stack
// overflow raised outside this library's own code ends the call: the result
// is `failure` and *faulted is set (to the exception code). A fault in the
// library's own code is not contained: it still crashes where a debugger or
// the host's report sees it.
int GuardedPluginCall(int (*body)(void* args), void* args, int failure, DWORD* faulted);
