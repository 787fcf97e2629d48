// Soak: thousands of chip lifecycles, picture changes and slideshow steps through the built
// library, as the host makes them, with the process's object, handle and
// memory counters read before and after.
//
//   soak.exe [CYCLES]      both runs; exits 1 if the library's own counters grow
//   soak.exe --calibrate   leaks on purpose, to show which counters Wine reports
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostkit.h"

struct Counters {
    long long gdi, user, handles, privateBytes;
};

// Wine reports none of GetGuiResources, GetProcessHandleCount and
// PrivateUsage (all stay put while objects, handles and memory are leaked on
// purpose; see --calibrate). Where a system call answers 0 the count is made
// by hand instead: Wine takes a GDI or USER handle's low word alone (kernel
// handles are counted by the host kit).
static long long CountUser()
{
    long long count = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    if (count)
        return count;
    for (ULONG_PTR h = 0x20; h < 0x10000; h += 2)
        count += IsWindow(reinterpret_cast<HWND>(h)) || IsMenu(reinterpret_cast<HMENU>(h));
    return count;
}

static Counters Read()
{
    return {CountGdiObjects(), CountUser(), CountKernelHandles(), CommittedPrivateBytes()};
}

static void Calibrate()
{
    Counters before = Read();
    for (int i = 0; i < 100; i++) {
        CreateSolidBrush(RGB(i, 0, 0));
        CreateMenu();
        CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HeapAlloc(GetProcessHeap(), 0, 10000);
    }
    Counters after = Read();
    printf("calibration, 100 of each leaked (brush, menu, event, 10000-byte block):\n");
    printf("  GDI objects %+lld, USER objects %+lld, handles %+lld, private bytes %+lld\n",
           after.gdi - before.gdi, after.user - before.user, after.handles - before.handles,
           after.privateBytes - before.privateBytes);
}

static COLORREF Stripes(int x, int y)
{
    return (x + y) % 6 < 3 ? RGB(250, 120, 0) : RGB(0, 60, 200);
}

struct Run {
    Dxl dxl;
    HWND window;
    Surface surface;
    std::string text;
};

static void Paint(Run* run, HLOCAL chip)
{
    run->dxl.DrawChip(chip, run->window, run->surface.dc, run->text.c_str());
}

static void Lifecycle(Run* run)
{
    SavedBlock none = {0, 0, 0, 0, 0, 0, 0};
    UpdateRecord record = MakeUpdateRecord(run->text.c_str(), RGB(0, 0, 255), 1, &none);
    HLOCAL chip = nullptr;
    run->dxl.InitializeChip(&chip, run->window, record.bytes);
    Paint(run, chip);
    run->dxl.DoDrawExMenu(chip, run->window, 10007);
    Paint(run, chip);
    for (int mode = 10000; mode <= 10006; mode++) {
        run->dxl.DoDrawExMenu(chip, run->window, mode);
        Paint(run, chip);
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 4);
    run->dxl.GetSaveData(chip, nullptr, &block);
    GlobalFree(block);
    run->dxl.UnInitializeChip(chip);
}

// Runs `cycles` steps after a warm-up of a tenth of them, and prints the
// growth of each counter per step. Returns whether the library's own counters
// did not grow (objects exactly; handles never above the first count, as
// Wine's x86_64 build closed five of its own once in a few runs of the
// helper restarts; memory within heap rounding).
static bool Measure(const char* what, Run* run, int cycles, void (*step)(Run*, HLOCAL), HLOCAL chip)
{
    for (int i = 0; i < cycles / 10 + 1; i++)
        step(run, chip);
    Counters before = Read();
    for (int i = 0; i < cycles; i++)
        step(run, chip);
    Counters after = Read();
    double n = cycles;
    printf("%-22s %6d cycles: per cycle GDI %+.3f, USER %+.3f, handles %+.3f, private bytes %+.1f\n", what, cycles,
           (after.gdi - before.gdi) / n, (after.user - before.user) / n, (after.handles - before.handles) / n,
           (after.privateBytes - before.privateBytes) / n);
    // The heap grows in whole pages as it fragments; a leak of even a few
    // bytes per cycle passes 64 KB over the runs made here.
    return after.gdi == before.gdi && after.user == before.user && after.handles <= before.handles
        && after.privateBytes - before.privateBytes < 64 * 1024;
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--calibrate") == 0) {
        Calibrate();
        return 0;
    }
    int cycles = argc == 2 ? atoi(argv[1]) : 10000;
    if (cycles < 10)
        cycles = 10;

    PluginSearchSettings settings;
    PluginFolder plugins("soak-plugins", {{"tpic", nullptr}});
    ScratchDir picturesDir("soak-pictures");
    const std::string& pictures = picturesDir.folder;
    SetSusieFolder(plugins.Folder().c_str());
    WriteTpic(pictures + "\\a.tpc", 120, 80, Stripes);
    WriteTpic(pictures + "\\b.tpc", 33, 97, Stripes);
    WriteBmp(pictures + "\\c.bmp", 90, 60, Stripes);
    WriteBmp(pictures + "\\d.bmp", 7, 200, Stripes);

    Run run;
    if (!LoadDxl(&run.dxl, nullptr)) {
        printf("soak: the library did not load\n");
        return 1;
    }
    run.text = pictures + "\\a.tpc\r\n" + pictures + "\\b.tpc\r\n" + pictures + "\\c.bmp\r\n" + pictures + "\\d.bmp";
    run.window = CreateChipWindow(160, 120);
    CreateSurface(&run.surface, 160, 120);

    bool flat = Measure("chip lifecycles", &run, cycles, [](Run* r, HLOCAL) { Lifecycle(r); }, nullptr);

    SavedBlock fit = {20, 10006, 3, 1, 0, 0, 0};
    UpdateRecord record = MakeUpdateRecord(run.text.c_str(), RGB(0, 0, 255), 1, &fit);
    HLOCAL chip = nullptr;
    run.dxl.InitializeChip(&chip, run.window, record.bytes);
    flat = Measure("picture changes", &run, cycles, [](Run* r, HLOCAL c) {
        r->dxl.DoDrawExMenu(c, r->window, 10007);
        Paint(r, c);
    }, chip) && flat;
    run.dxl.UnInitializeChip(chip);

    // A slideshow in list order, its bitmaps read ahead off this thread. A
    // cycle ends when the step's size is asked, which takes (or waits for)
    // the picture read ahead: no decode of ours is under way between two
    // cycles, so the counts are not caught in the middle of one. Bitmaps
    // only: a plug-in's picture would be read ahead by a helper of its own,
    // which starts with the first read-ahead that is not overtaken by its
    // step, a moment no count can be sure to come after.
    run.text = pictures + "\\c.bmp\r\n" + pictures + "\\d.bmp";
    SavedBlock inOrder = {20, 10006, 1, 1, 1, 0, 0};
    record = MakeUpdateRecord(run.text.c_str(), RGB(0, 0, 255), 1, &inOrder);
    chip = nullptr;
    run.dxl.InitializeChip(&chip, run.window, record.bytes);
    flat = Measure("slideshow steps", &run, cycles, [](Run* r, HLOCAL c) {
        Paint(r, c);
        while (r->dxl.DoTimer(c) != 3) {
        }
        int size[2];
        r->dxl.CalcDefaultRect(c, r->window, size, r->text.c_str());
    }, chip) && flat;
    run.dxl.UnInitializeChip(chip);

    // The plug-in helper ended from outside before each picture change, a
    // tenth as many times: every change starts a new one, which must leave
    // nothing behind in the host. Two TPIC pictures: a change always goes to
    // the other, which a plug-in decodes.
    run.text = pictures + "\\a.tpc\r\n" + pictures + "\\b.tpc";
    record = MakeUpdateRecord(run.text.c_str(), RGB(0, 0, 255), 1, &fit);
    chip = nullptr;
    run.dxl.InitializeChip(&chip, run.window, record.bytes);
    DebugLines failures;  // every change is to show its picture
    flat = Measure("helper restarts", &run, cycles / 10, [](Run* r, HLOCAL c) {
        DWORD id = PluginHelperOf(GetCurrentProcessId());
        HANDLE helper = id ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id) : nullptr;
        if (helper) {
            TerminateProcess(helper, 1);
            WaitForSingleObject(helper, INFINITE);
            CloseHandle(helper);
        }
        r->dxl.DoDrawExMenu(c, r->window, 10007);
        Paint(r, c);
    }, chip) && flat;
    std::vector<std::string> failed = failures.Take();
    if (!failed.empty())
        printf("helper restarts: %u loads failed, the first: %s", static_cast<unsigned>(failed.size()),
               failed[0].c_str());
    flat = flat && failed.empty();
    run.dxl.UnInitializeChip(chip);

    DestroySurface(&run.surface);
    DestroyWindow(run.window);
    UnloadDxl(&run.dxl);
    printf("%s\n", flat ? "no growth" : "GROWTH: the library leaks");
    return flat ? 0 : 1;
}
