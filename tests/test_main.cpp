#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include "test_main.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>

// Constant-initialised, so a hook set from another file's static object
// before main is never overwritten.
static BeforeTests g_beforeTests = nullptr;

BeforeTestsHook::BeforeTestsHook(BeforeTests hook)
{
    g_beforeTests = hook;
}

int main(int argc, char** argv)
{
    // The host registers the common controls; the settings dialog needs the
    // up-down class.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    doctest::Context context(argc, argv);
    // Child runs use the tests' fixtures, whose checks then end the child
    // (abort) instead of reading a test case that is not there.
    context.setAsDefaultForAssertsOutOfTestCases();
    if (g_beforeTests) {
        int code = g_beforeTests(argc, argv);
        if (code != kRunTests)
            return code;
    }
    if (GetACP() != 932) {
        fprintf(stderr, "the ANSI code page is %u, not 932: run with LANG=ja_JP.UTF-8\n", GetACP());
        return 1;
    }
    return context.run();
}
