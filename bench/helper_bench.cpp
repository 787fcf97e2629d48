// The plug-in helper against decoding in the host's process: picture changes
// to 24 MP JPEG, PNG and TPIC (the tests' plug-in, a third party's format
// that may not run off the host's thread) pictures in a 480x320 fit-aspect
// chip, each path timed pair by pair beside the other; a helper's start to
// its first answer; a plug-in that never returns; and a slideshow step to a
// TPIC picture, which only the helper can read ahead. Every line states its
// target; "m" is the median, "[a..b]" the middle half of the runs.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_chips.h"
#include "bench_module.h"
#include "bench_timing.h"
#include "common/image_io.h"
#include "hostkit.h"
#include "jpeg_files.h"
#include "pictures/helper_load.h"
#include "pictures/image_file.h"
#include "resource.h"
#include "showing/read_ahead.h"
#include "surface/exports.h"
#include "surface/module_state.h"

static const int kRuns = 7;

// A file of this width's build tree, where the library is.
static std::string BuildFile(const std::string& name)
{
    std::string dxl = DxlPath();
    return dxl.substr(0, dxl.find_last_of('\\')) + "\\" + name;
}

// The tests' plug-in of that variant.
static std::string TestPlugin(const char* variant)
{
    return BuildFile(std::string("tests\\testspi\\") + variant + ".spi");
}

static void InHelper(bool yes)
{
    SetEnvironmentVariableA("OVILUNE_PLUGIN_HELPER", yes ? nullptr : "0");
}

static COLORREF Grain(int x, int y)
{
    unsigned h = static_cast<unsigned>(x) * 73856093u ^ static_cast<unsigned>(y) * 19349663u;
    return RGB((x / 7 + (h & 15)) & 255, (y / 5 + (h >> 4 & 15)) & 255, ((x + y) / 9 + (h >> 8 & 15)) & 255);
}

// A picture change in a 480x320 fit-aspect chip, through the helper against
// in this process, the two timed in turn.
static void Changes(const std::string& path, const char* kind, const char* target)
{
    HWND window = CreateChipWindow(480, 320);
    HDC dc = GetDC(window);
    std::string text = path + "\r\n" + path;  // every change decodes it again
    SavedBlock saved = {4, IDM_FIT_ASPECT, 0, 0, 0, 0, 0};
    HLOCAL chip = nullptr;
    UpdateRecord record = MakeUpdateRecord(text.c_str(), 0, 1, &saved);
    InitializeChip(&chip, window, record.bytes);
    DrawChip(chip, window, dc, text.c_str());
    auto change = [&](bool helper) {
        InHelper(helper);
        DoDrawExMenu(chip, window, IDM_CHANGE_IMAGE);
        DrawChip(chip, window, dc, text.c_str());
    };
    change(true);  // the helper started, and its plug-ins loaded
    Paired paired = MeasurePaired([] {}, [&] { change(false); }, [&] { change(true); }, kRuns);
    InHelper(true);
    UnInitializeChip(chip);
    ReleaseDC(window, dc);
    DestroyWindow(window);
    printf("24 MP %s, change in a 480x320 fit-aspect chip: through the helper m %.1f ms, in-process m %.1f ms, "
           "ratio m %.2f [%.2f..%.2f] (target <= %s)\n",
           kind, paired.value.median, paired.floor.median, paired.ratio.median, paired.ratio.low, paired.ratio.high,
           target);
}

// The helper's program started with nothing to do, to its end: what a
// process costs here before any plug-in is loaded.
static double BareStart()
{
    std::string command = "\"" + BuildFile("OviluneHelper.exe") + "\"";
    std::vector<double> times;
    for (int i = 0; i < kRuns; i++) {
        times.push_back(TimeOnce([&] {
            STARTUPINFOA startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process)) {
                WaitForSingleObject(process.hProcess, INFINITE);
                CloseHandle(process.hThread);
                CloseHandle(process.hProcess);
            }
        }));
    }
    return SpreadOf(times).median;
}

// From no helper to the first picture it gives, a small one.
static void Start(const std::string& small)
{
    std::vector<double> times;
    HeldRule rule = {IDM_FIT_ASPECT, 480, 320, 0};
    for (int i = 0; i < kRuns; i++) {
        ReleasePluginHelper();
        times.push_back(TimeOnce([&] {
            HBITMAP picture = LoadImageFile(small.c_str(), g_module.loaders, nullptr, &rule);
            if (picture)
                DeleteObject(picture);
        }));
    }
    Spread spread = SpreadOf(times);
    printf("the helper's start, to its first answer (a 40x30 TPIC): m %.1f ms [%.1f..%.1f] (target <= 150 ms); "
           "its program started with nothing to do, to its end, m %.1f ms\n",
           spread.median, spread.low, spread.high, BareStart());
}

// The host's call with a plug-in that never returns from GetPicture.
static void NeverReturns(const std::string& folder, const std::string& small)
{
    std::string hangs = folder + "\\hangs.spi";
    char paths[1][260] = {};
    if (!CopyFileA(TestPlugin("hangs").c_str(), hangs.c_str(), FALSE) || hangs.size() >= 260) {
        printf("never-returning plug-in: cannot install it\n");
        return;
    }
    memcpy(paths[0], hangs.c_str(), hangs.size());
    LoaderList loaders = LoadersFromFiles(paths, 1);
    ReleasePluginHelper();
    HBITMAP picture = nullptr;
    double took = TimeOnce([&] { picture = LoadImageFile(small.c_str(), loaders, nullptr, nullptr); });
    ReleasePluginHelper();  // its list goes
    FreeLoaderList(loaders);
    printf("a plug-in that never returns: the host's call returned %s after %.0f ms (target <= the limit, 10000 ms, "
           "+ 1000)\n",
           picture ? "a picture" : "no picture", took);
    if (picture)
        DeleteObject(picture);
}

// A slideshow step in list order to a 24 MP TPIC picture: read ahead
// through the helper, against in-process, where the plug-in may not run
// off the host's thread and the step decodes it.
static void SlideshowStep(const std::string& a, const std::string& b)
{
    HWND window = CreateChipWindow(480, 320);
    HDC dc = GetDC(window);
    std::string text = a + "\r\n" + b;
    double medians[2];
    for (int helper = 1; helper >= 0; helper--) {
        InHelper(helper != 0);
        Spread spread = ReadAheadSteps(window, dc, text, kRuns);
        medians[helper] = spread.median;
        if (helper)
            printf("slideshow step to a 24 MP TPIC, 480x320 fit-aspect, read ahead through the helper: m %.2f ms "
                   "[%.2f..%.2f] (target <= 3 ms)",
                   spread.median, spread.low, spread.high);
    }
    InHelper(true);
    printf("; in-process, where only the step can decode it, m %.0f ms\n", medians[0]);
    ReleaseDC(window, dc);
    DestroyWindow(window);
}

int main()
{
    std::string folder = ScratchFolder("helper-bench");
    // ifsyscodec.spi, and the tests' TPIC plug-in after it, in one folder,
    // as a third party's plug-in sits beside it.
    std::string plugins = folder + "\\plugins";
    CreateDirectoryA(plugins.c_str(), nullptr);
    if (!CopyFileA(BuildFile("plugins\\ifsyscodec.spi").c_str(),
                   (plugins + "\\ifsyscodec.spi").c_str(), FALSE)
        || !CopyFileA(TestPlugin("tpic").c_str(), (plugins + "\\tpic.spi").c_str(), FALSE)) {
        printf("helper bench: the plug-ins are missing\n");
        return 1;
    }
    AttachLibraryWithItsPlugins();
    FreeLoaderList(g_module.loaders);
    SetEnvironmentVariableA("PATH", plugins.c_str());
    g_module.loaders = BuildLoaderList();
    std::string jpeg = folder + "\\photo.jpg", png = folder + "\\photo.png", tpic = folder + "\\photo.tpc",
                next = folder + "\\next.tpc", small = folder + "\\small.tpc", error;
    if (!WriteSampleJpeg(jpeg, 6000, 4000, 90) || !WriteSamplePicture(png, 6000, 4000, 4, &error)
        || !WriteTpic(tpic, 6000, 4000, Grain) || !CopyFileA(tpic.c_str(), next.c_str(), FALSE)
        || !WriteSolidTpic(small, 40, 30, RGB(0, 160, 80))) {
        printf("helper bench: cannot write its pictures %s\n", error.c_str());
        return 1;
    }
    Changes(jpeg, "JPEG", "1.10");
    Changes(png, "PNG", "1.10");
    Changes(tpic, "TPIC through a third party's plug-in", "1.15");
    Start(small);
    SlideshowStep(tpic, next);
    NeverReturns(folder, small);
    ReleasePluginHelper();
    FreeLoaderList(g_module.loaders);
    RemoveTree(folder);
    CoUninitialize();
    printf("helper bench: done\n");
    return 0;
}
