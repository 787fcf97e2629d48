// A slideshow's next picture, read ahead off the host's thread: which
// plug-ins may be called there, steps that find it ready, early or out of
// date, chips that end under it, and faults there.
#include <doctest.h>

#include <initializer_list>

#include "common/owners.h"
#include "showing/read_ahead.h"
#include "test_support.h"

static const COLORREF kColours[3] = {RGB(200, 0, 0), RGB(0, 200, 0), RGB(0, 0, 200)};

// Three pictures told apart by colour in the scene's folder, as a chip's
// text; the plug-ins' counters are told that this thread is the host's.
static std::string ThreeColours(const PluginScene& scene)
{
    for (size_t i = 0; scene.Entry(i); i++)
        scene.Counters(i)->hostThread = GetCurrentThreadId();
    std::string text;
    for (int i = 0; i < 3; i++) {
        std::string path = scene.Path("p" + std::to_string(i) + ".tpc");
        REQUIRE(WriteSolidTpic(path, 40, 30, kColours[i]));
        text += (i ? "\r\n" : "") + path;
    }
    return text;
}

// 100 %, the slideshow running in list order, a step every tick.
static const SavedBlock kRunningInOrder = {20, IDM_ZOOM100, 1, 1, 1, 0, 0};

static int Index(const TestChip& chip)
{
    return StateView(chip.handle).state->imageIndex;
}

// A slideshow step as the host makes it: the tick, the size, the paint.
static COLORREF Step(TestChip& chip, Surface* surface)
{
    CHECK(DoTimer(chip.handle) == 3);
    int size[2] = {0, 0};
    CalcDefaultRect(chip.handle, chip.window, size, chip.text.c_str());
    DrawChip(chip.handle, chip.window, surface->dc, chip.text.c_str());
    return PixelAt(*surface, 5, 5);
}

TEST_CASE("read ahead: the next picture is decoded off the host's thread and a step only shows it; other plug-ins are asked on the host's thread alone")
{
    PluginScene scene({"never", "anythread"});
    std::string text = ThreeColours(scene);
    TestPluginCounters* never = scene.Counters(0);
    TestPluginCounters* any = scene.Counters(1);
    TestChip chip(text, 80, 60, &kRunningInOrder);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());
    LONG decodedHere = any->hostThreadPictures;
    for (int step = 0; step < 4; step++) {
        WaitForReadAheadIdle();
        int next = (Index(chip) + 1) % 3;
        CHECK(Step(chip, &surface) == kColours[next]);
    }
    CHECK(any->hostThreadPictures == decodedHere);
    CHECK(any->otherThreadCalls >= 8);  // a probe and a decode a step
    CHECK(never->otherThreadCalls == 0);
    DestroySurface(&surface);
}

TEST_CASE("read ahead: a plug-in that takes the file but does not say it may run elsewhere decodes every step on the host's thread")
{
    PluginScene scene({"tpic", "anythread"});
    std::string text = ThreeColours(scene);
    TestChip chip(text, 80, 60, &kRunningInOrder);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());
    WaitForReadAheadIdle();
    LONG decodedHere = scene.Counters(0)->hostThreadPictures;
    Step(chip, &surface);
    CHECK(scene.Counters(0)->hostThreadPictures == decodedHere + 1);
    CHECK(scene.Counters(0)->otherThreadCalls == 0);
    CHECK(scene.Counters(1)->otherThreadCalls == 0);
    DestroySurface(&surface);
}

static DWORD WINAPI OpenGateWhenStepping(void* argument)
{
    HANDLE* events = static_cast<HANDLE*>(argument);
    WaitForSingleObject(events[0], INFINITE);
    SetEvent(events[1]);
    return 0;
}

TEST_CASE("read ahead: an early step waits for that decode; a file replaced, another mode or another text is loaded anew")
{
    PluginScene scene({"anythread"});
    std::string text = ThreeColours(scene);
    TestPluginCounters* any = scene.Counters(0);
    TestChip chip(text, 80, 60, &kRunningInOrder);  // its first picture read before the gate is set
    Handle stepping(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    scene.Gate(0);
    HANDLE events[2] = {stepping.handle, any->gate};
    Handle opener(CreateThread(nullptr, 0, OpenGateWhenStepping, events, 0, nullptr));
    REQUIRE(opener.Valid());
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));

    // The decode is held inside the plug-in until the step has begun.
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());
    REQUIRE(WaitForSingleObject(any->entered, 10000) == WAIT_OBJECT_0);
    LONG decodedHere = any->hostThreadPictures;
    SetEvent(stepping.handle);
    int next = (Index(chip) + 1) % 3;
    CHECK(Step(chip, &surface) == kColours[next]);
    CHECK(any->hostThreadPictures == decodedHere);
    WaitForSingleObject(opener.handle, INFINITE);

    // The file replaced after it was read ahead: read again at the step.
    WaitForReadAheadIdle();
    next = (Index(chip) + 1) % 3;
    REQUIRE(WriteSolidTpic(scene.Path("p" + std::to_string(next) + ".tpc"), 41, 30, RGB(90, 90, 90)));
    CHECK(Step(chip, &surface) == RGB(90, 90, 90));
    CHECK(any->hostThreadPictures == decodedHere + 1);

    // Another mode after it was read ahead: read again.
    WaitForReadAheadIdle();
    DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM50);
    Step(chip, &surface);
    CHECK(any->hostThreadPictures == decodedHere + 2);

    // Another text: let go at once, as the Update reads its own picture.
    WaitForReadAheadIdle();
    CHECK(StateView(chip.handle).state->prepared != nullptr);
    chip.text = scene.images.Path("p2.tpc") + "\r\n" + scene.images.Path("p0.tpc");
    chip.Reconfigure(&kRunningInOrder);
    CHECK(StateView(chip.handle).state->prepared == nullptr);
    DestroySurface(&surface);
}

TEST_CASE("read ahead: a chip ended while its next picture is decoded does not wait, and the picture is let go when the decode ends")
{
    PluginScene scene({"anythread"});
    std::string text = ThreeColours(scene);
    TestPluginCounters* any = scene.Counters(0);
    HWND window = CreateChipWindow(80, 60);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    long long objects = CountGdiObjects();
    SavedBlock running = kRunningInOrder;
    UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 1, &running);
    HLOCAL chip = nullptr;
    InitializeChip(&chip, window, record.bytes);
    scene.Gate(0);
    DrawChip(chip, window, surface.dc, text.c_str());
    REQUIRE(WaitForSingleObject(any->entered, 10000) == WAIT_OBJECT_0);
    UnInitializeChip(chip);  // with the decode still held in the plug-in
    CHECK(LocalSize(chip) == 0);
    SetEvent(any->gate);
    WaitForReadAheadIdle();
    CHECK(CountGdiObjects() == objects);
    DestroySurface(&surface);
    DestroyWindow(window);
}

TEST_CASE("read ahead: a plug-in that faults off the host's thread is disabled there and here")
{
    PluginScene scene({"anythreadsecond"});
    std::string text = ThreeColours(scene);
    TestPluginCounters* any = scene.Counters(0);
    TestChip chip(text, 80, 60, &kRunningInOrder);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());  // its second decode faults, off this thread
    WaitForReadAheadIdle();
    CHECK(g_module.loaders->next->faulted);
    CHECK(any->otherThreadCalls >= 1);
    Step(chip, &surface);
    CHECK(StateView(chip.handle).state->loadFailed == 1);
    CHECK(any->hostThreadPictures == 1);  // the first picture's, before the fault
    DestroySurface(&surface);
}

// In a child process (see main): a plug-in whose second decode recurses
// 256 bytes a level overflows the read-ahead worker's stack. The overflow is
// contained there and the plug-in disabled; the step shows its picture
// through the next plug-in, and the same worker reads the one after ahead.
// Exits with the number of the step that went wrong, 0 when none did.
int RunWorkerOverflowChild()
{
    PluginScene scene({"anythreaddeep", "anythread"});
    std::string text = ThreeColours(scene);
    TestChip chip(text, 80, 60, &kRunningInOrder);
    Surface surface;
    if (!CreateSurface(&surface, 80, 60))
        return 1;
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());  // its second decode overflows, off this thread
    WaitForReadAheadIdle();
    if (!scene.Entry(0)->faulted || scene.Counters(0)->otherThreadCalls < 1)
        return 2;
    if (Step(chip, &surface) != kColours[Index(chip)])
        return 3;
    WaitForReadAheadIdle();
    TestPluginCounters* good = scene.Counters(1);
    LONG decodedHere = good->hostThreadPictures;
    if (Step(chip, &surface) != kColours[Index(chip)] || good->hostThreadPictures != decodedHere)
        return 4;
    return 0;
}

TEST_CASE("read ahead: a step under the loader lock does not wait for a decode that may need that lock, and decodes itself")
{
    PluginScene scene({"anythread"});
    std::string text = ThreeColours(scene);
    TestPluginCounters* any = scene.Counters(0);
    TestChip chip(text, 80, 60, &kRunningInOrder);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    scene.Gate(0);
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());
    REQUIRE(WaitForSingleObject(any->entered, 10000) == WAIT_OBJECT_0);
    LONG decodedHere = any->hostThreadPictures;
    int next = (Index(chip) + 1) % 3;
    COLORREF shown;
    {
        LoaderLockHeld lock;
        REQUIRE(lock.held);
        shown = Step(chip, &surface);
    }
    CHECK(shown == kColours[next]);
    CHECK(any->hostThreadPictures == decodedHere + 1);
    SetEvent(any->gate);
    WaitForReadAheadIdle();
    DestroySurface(&surface);
}
