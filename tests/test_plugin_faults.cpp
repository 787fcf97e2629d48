// Plug-ins that fault: the host process lives on, the faulty plug-in is
// never called again, and every other loader still serves its formats.
#include <doctest.h>

#include "sources/plugin_guard.h"
#include "test_support.h"

static COLORREF Teal(int, int)
{
    return RGB(0, 128, 128);
}

// The faulty plug-in first, then the good one: two folders' lists joined, so
// the order does not depend on how a directory happens to list its files.
static LoaderList FaultyThenGood(const std::string& faulty, const std::string& good)
{
    LoaderList list = LoadersFrom(faulty);
    LoaderList second = LoadersFrom(good);
    LoaderEntry* tail = list;
    while (tail->next)
        tail = tail->next;
    tail->next = second->next;
    second->next = nullptr;
    FreeLoaderList(second);
    return list;
}

struct FaultScene {
    explicit FaultScene(const char* variant)
        : faulty(ScratchFolder(variant)), good(ScratchFolder("good")), images(ScratchFolder("fault-images"))
    {
        // A folder and file of its own per variant: a faulted plug-in stays
        // loaded, and loading the same path again would find it.
        InstallPlugin(variant, faulty, (std::string(variant) + ".spi").c_str());
        InstallPlugin("tpic", good, "tpic.spi");
        WriteTpic(images + "\\p.tpc", 7, 5, Teal);
        WriteSolidBmp(images + "\\p.bmp", 4, 3, RGB(200, 0, 0));
    }
    ~FaultScene()
    {
        RemoveTree(good);
        RemoveTree(images);
        // The faulty plug-in stays loaded; its folder goes with the prefix.
    }
    HBITMAP Load(const char* file) const
    {
        return LoadImageFile((images + "\\" + file).c_str(), g_loaders);
    }
    DiscoverySettings settings;
    std::string faulty, good, images;
};

static bool Shows(HBITMAP bitmap)
{
    if (!bitmap)
        return false;
    DeleteObject(bitmap);
    return true;
}

TEST_CASE("plug-in faults: one inside GetPluginInfo drops that plug-in at attach and keeps it loaded")
{
    FaultScene scene("faultinfo");
    ActiveLoaders loaders(FaultyThenGood(scene.faulty, scene.good));
    REQUIRE(CountEntries(g_loaders) == 2);
    CHECK(ModulePath(g_loaders->next->module).find("tpic.spi") != std::string::npos);
    CHECK(GetModuleHandleA((scene.faulty + "\\faultinfo.spi").c_str()) != nullptr);
    CHECK(Shows(scene.Load("p.tpc")));
}

TEST_CASE("plug-in faults: GetPicture faulting ends the load, disables the plug-in, and the others serve on")
{
    const struct {
        const char* variant;
        const char* fault;
        int goodLoadsBeforeFault;
    } cases[] = {
        {"faultbefore", "illegal instruction before allocating", 0},
        {"faultafter", "access violation after handing out its blocks", 0},
        {"faultdeep", "stack overflow", 0},
        {"faultsecond", "access violation on the second call", 1},
    };
    for (const auto& c : cases) {
        std::string fault = c.fault;
        CAPTURE(fault);
        FaultScene scene(c.variant);
        ActiveLoaders loaders(FaultyThenGood(scene.faulty, scene.good));
        REQUIRE(CountEntries(g_loaders) == 3);
        LoaderEntry* faultyEntry = g_loaders->next;
        TestPluginCounters* faulty = PluginCounters(faultyEntry->module);
        TestPluginCounters* good = PluginCounters(faultyEntry->next->module);
        REQUIRE(faulty);
        REQUIRE(good);

        for (int i = 0; i < c.goodLoadsBeforeFault; i++)
            CHECK(Shows(scene.Load("p.tpc")));
        CHECK_FALSE(faultyEntry->faulted);
        CHECK(scene.Load("p.tpc") == nullptr);  // the faulting call: "load error"
        CHECK(faultyEntry->faulted);
        int probes = faulty->isSupportedCalls;
        int pictures = faulty->getPictureCalls;

        CHECK(Shows(scene.Load("p.tpc")));  // now the good plug-in's
        CHECK(good->getPictureCalls == 1);
        CHECK(Shows(scene.Load("p.bmp")));
        CHECK(faulty->isSupportedCalls == probes);
        CHECK(faulty->getPictureCalls == pictures);
        // A second stack overflow must find its guard page again.
        CHECK(Shows(scene.Load("p.tpc")));
    }
}

TEST_CASE("plug-in faults: IsSupported faulting on one header only is a no, and never asked again")
{
    FaultScene scene("faultprobe");
    const char crash[16] = "CRSH and more";
    REQUIRE(WriteFileBytes(scene.images + "\\c.tpc", crash, sizeof(crash)));
    ActiveLoaders loaders(FaultyThenGood(scene.faulty, scene.good));
    LoaderEntry* faultyEntry = g_loaders->next;
    TestPluginCounters* faulty = PluginCounters(faultyEntry->module);

    CHECK(Shows(scene.Load("p.tpc")));  // its own format, before the fault
    CHECK(faulty->getPictureCalls == 1);
    CHECK(scene.Load("c.tpc") == nullptr);
    CHECK(faultyEntry->faulted);
    int probes = faulty->isSupportedCalls;
    CHECK(Shows(scene.Load("p.tpc")));
    CHECK(faulty->isSupportedCalls == probes);
    CHECK(faulty->getPictureCalls == 1);
}

TEST_CASE("plug-in faults: the library's own faults are not hidden")
{
    // In a child process of this program (see main): a fault raised in the
    // library's own code under the guard must reach the top level.
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --fault-in-own-code";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    REQUIRE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    // A child that never ends (a fault the system could not deliver, say)
    // is a failure, and is not left running after the suite.
    bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    CHECK(ended);
    if (!ended)
        TerminateProcess(process.hProcess, 1);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // A null read: an access violation on a real processor. Under the i386
    // emulator Wine cannot always tell which fault it was, and the same read
    // arrives as an illegal instruction; either way it is a processor's
    // fault that reached the top level, where a contained one would end 0.
    CHECK(IsHardwareFault(code));
}

static int FaultHere(void*)
{
    return *static_cast<volatile int*>(nullptr);
}

static LONG WINAPI ExitWithCode(EXCEPTION_POINTERS* pointers)
{
    ExitProcess(pointers->ExceptionRecord->ExceptionCode);
}

int RunOwnFaultChild()
{
    SetUnhandledExceptionFilter(ExitWithCode);
    DWORD faulted = 0;
    GuardedPluginCall(FaultHere, nullptr, -1, &faulted);
    return 0;  // contained: the test sees exit code 0 and fails
}
