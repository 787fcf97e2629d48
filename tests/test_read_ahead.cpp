// A slideshow's next picture, read ahead off the host's thread: which
// plug-ins may be called there, steps that find it ready, early or out of
// date, chips that end under it, and faults there.
#include <doctest.h>

#include <initializer_list>

#include "pictures/read_ahead.h"
#include "test_support.h"

static const COLORREF kColours[3] = {RGB(200, 0, 0), RGB(0, 200, 0), RGB(0, 0, 200)};

// The plug-in variants in the order given, each from a folder of its own.
static LoaderList InstallInOrder(std::initializer_list<const char*> variants)
{
    LoaderList list = nullptr;
    for (const char* variant : variants) {
        std::string folder = ScratchFolder((std::string("read-ahead-") + variant).c_str());
        InstallPlugin(variant, folder, (std::string(variant) + ".spi").c_str());
        list = list ? Joined({folder}, list) : LoadersFrom(folder);
    }
    return list;
}

// Three pictures told apart by colour, plug-in variants in the order given,
// and their counters, watching this thread.
struct ReadAheadScene {
    explicit ReadAheadScene(std::initializer_list<const char*> variants)
        : images("read-ahead-images"), loaders(InstallInOrder(variants))
    {
        for (LoaderEntry* entry = g_module.loaders->next; entry; entry = entry->next) {
            counters.push_back(PluginCounters(entry->module));
            counters.back()->hostThread = GetCurrentThreadId();
        }
        for (int i = 0; i < 3; i++) {
            std::string path = images.Path(("p" + std::to_string(i) + ".tpc").c_str());
            WriteSolidTpic(path, 40, 30, kColours[i]);
            text += (i ? "\r\n" : "") + path;
        }
    }
    ~ReadAheadScene()
    {
        WaitForReadAheadIdle();
        for (TestPluginCounters* c : counters)
            c->entered = c->gate = nullptr;
    }
    DiscoverySettings settings;
    ImageFolder images;
    ActiveLoaders loaders;
    std::vector<TestPluginCounters*> counters;
    std::string text;
};

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
    ReadAheadScene scene({"never", "anythread"});
    TestPluginCounters* never = scene.counters[0];
    TestPluginCounters* any = scene.counters[1];
    TestChip chip(scene.text, 80, 60, &kRunningInOrder);
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
    ReadAheadScene scene({"tpic", "anythread"});
    TestChip chip(scene.text, 80, 60, &kRunningInOrder);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());
    WaitForReadAheadIdle();
    LONG decodedHere = scene.counters[0]->hostThreadPictures;
    Step(chip, &surface);
    CHECK(scene.counters[0]->hostThreadPictures == decodedHere + 1);
    CHECK(scene.counters[0]->otherThreadCalls == 0);
    CHECK(scene.counters[1]->otherThreadCalls == 0);
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
    ReadAheadScene scene({"anythread"});
    TestPluginCounters* any = scene.counters[0];
    TestChip chip(scene.text, 80, 60, &kRunningInOrder);  // its first picture read before the gate is set
    HANDLE stepping = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    any->entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    any->gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE events[2] = {stepping, any->gate};
    HANDLE opener = CreateThread(nullptr, 0, OpenGateWhenStepping, events, 0, nullptr);
    REQUIRE(opener);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));

    // The decode is held inside the plug-in until the step has begun.
    DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());
    REQUIRE(WaitForSingleObject(any->entered, 10000) == WAIT_OBJECT_0);
    LONG decodedHere = any->hostThreadPictures;
    SetEvent(stepping);
    int next = (Index(chip) + 1) % 3;
    CHECK(Step(chip, &surface) == kColours[next]);
    CHECK(any->hostThreadPictures == decodedHere);
    WaitForSingleObject(opener, INFINITE);

    // The file replaced after it was read ahead: read again at the step.
    WaitForReadAheadIdle();
    next = (Index(chip) + 1) % 3;
    REQUIRE(WriteSolidTpic(scene.images.Path(("p" + std::to_string(next) + ".tpc").c_str()), 41, 30, RGB(90, 90, 90)));
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

    CloseHandle(opener);
    CloseHandle(stepping);
    CloseHandle(any->entered);
    CloseHandle(any->gate);
    DestroySurface(&surface);
}

TEST_CASE("read ahead: a chip ended while its next picture is decoded does not wait, and the picture is let go when the decode ends")
{
    ReadAheadScene scene({"anythread"});
    TestPluginCounters* any = scene.counters[0];
    HWND window = CreateChipWindow(80, 60);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    long long objects = CountGdiObjects();
    SavedBlock running = kRunningInOrder;
    UpdateRecord record = MakeUpdateRecord(scene.text.c_str(), RGB(0, 0, 255), 1, &running);
    HLOCAL chip = nullptr;
    InitializeChip(&chip, window, record.bytes);
    any->entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    any->gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DrawChip(chip, window, surface.dc, scene.text.c_str());
    REQUIRE(WaitForSingleObject(any->entered, 10000) == WAIT_OBJECT_0);
    UnInitializeChip(chip);  // with the decode still held in the plug-in
    CHECK(LocalSize(chip) == 0);
    SetEvent(any->gate);
    WaitForReadAheadIdle();
    CHECK(CountGdiObjects() == objects);
    CloseHandle(any->entered);
    CloseHandle(any->gate);
    DestroySurface(&surface);
    DestroyWindow(window);
}

TEST_CASE("read ahead: a plug-in that faults off the host's thread is disabled there and here")
{
    ReadAheadScene scene({"anythreadsecond"});
    TestPluginCounters* any = scene.counters[0];
    TestChip chip(scene.text, 80, 60, &kRunningInOrder);
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

TEST_CASE("read ahead: a step under the loader lock does not wait for a decode that may need that lock, and decodes itself")
{
    ReadAheadScene scene({"anythread"});
    TestPluginCounters* any = scene.counters[0];
    TestChip chip(scene.text, 80, 60, &kRunningInOrder);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    any->entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    any->gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
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
    CloseHandle(any->entered);
    CloseHandle(any->gate);
    DestroySurface(&surface);
}
