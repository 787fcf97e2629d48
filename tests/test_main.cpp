#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include <cstring>

#ifdef OVILUNE_WHITE_BOX
#include "plugin_host/loader_registry.h"
#include "surface/module_state.h"
#include "test_support.h"

int RunOwnFaultChild();
int RunOverflowChild(const char* frames);
int RunWorkerOverflowChild();

// What a child run says when all went well: not 0, which a process whose
// main thread the system ended can also report, as Wine does when another
// thread of it outlives that one.
static int ChildResult(int failedStep)
{
    return failedStep ? failedStep : kChildPassed;
}
#endif

int main(int argc, char** argv)
{
    // The host registers the common controls; the settings dialog needs the
    // up-down class.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    doctest::Context context(argc, argv);
    // The child runs below use the tests' fixtures, whose checks then end the
    // child (abort) instead of reading a test case that is not there.
    context.setAsDefaultForAssertsOutOfTestCases();
#ifdef OVILUNE_WHITE_BOX
    if (argc == 2 && strcmp(argv[1], "--fault-in-own-code") == 0)
        return RunOwnFaultChild();
    if (argc == 3 && strcmp(argv[1], "--overflows") == 0)
        return ChildResult(RunOverflowChild(argv[2]));
    if (argc == 2 && strcmp(argv[1], "--worker-overflow") == 0)
        return ChildResult(RunWorkerOverflowChild());
    // Linked in directly, the library's dialog templates are the executable's.
    g_module.instance = GetModuleHandleA(nullptr);
#endif
    if (GetACP() != 932) {
        fprintf(stderr, "the ANSI code page is %u, not 932: run with LANG=ja_JP.UTF-8\n", GetACP());
        return 1;
    }
    return context.run();
}
