// How many photo chips one 32-bit host holds: 480x320 fit-aspect chips, each
// with a photo of its own (one JPEG written at run time, copied under 60
// names), created one after another as a host restores its notes, until one
// cannot show its picture. Ends with what each chip holds, the host's
// committed memory and the largest free block of its address space, the
// hole the next large allocation needs, and how long the host waited in the
// InitializeChip calls, where each chip decodes its photo. Each chip runs a
// slideshow in list order over its photo and the next chip's, so it also
// holds its next photo read ahead; then each takes one step, which must show
// that photo. capacity_bench [12|24|48] [--in-process]: the photo's
// megapixels, 48 unless given; each size is a process of its own, so that
// one size's leftovers cannot crowd the next. The photos are decoded by the
// plug-in helper, as the library does, or with --in-process in this process.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chip/chip_state.h"
#include "bench_module.h"
#include "bench_timing.h"
#include "hostkit.h"
#include "common/image_io.h"
#include "resource.h"
#include "plugin_host/loader_registry.h"
#include "showing/read_ahead.h"
#include "surface/module_state.h"
#include "surface/exports.h"

static const int kChips = 60;

static SIZE_T LargestFreeBlock()
{
    SIZE_T largest = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_FREE && region.RegionSize > largest)
            largest = region.RegionSize;
        if (static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize < at)
            break;
    }
    return largest;
}

static ChipState StateOf(HLOCAL chip)
{
    ChipState copy = {};
    const ChipState* state = static_cast<const ChipState*>(LocalLock(chip));
    if (state) {
        copy = *state;
        LocalUnlock(chip);
    }
    return copy;
}

static bool Showing(HLOCAL chip)
{
    const ChipState* state = static_cast<const ChipState*>(LocalLock(chip));
    bool showing = state && state->bitmap && !state->loadFailed;
    if (state)
        LocalUnlock(chip);
    return showing;
}

int main(int argc, char** argv)
{
    int megapixels = argc > 1 ? atoi(argv[1]) : 48;
    bool inProcess = argc > 2 && strcmp(argv[2], "--in-process") == 0;
    if (inProcess)
        SetEnvironmentVariableA("OVILUNE_PLUGIN_HELPER", "0");
    const char* path = inProcess ? "in-process" : "through the helper";
    const int sizes[][3] = {{12, 4000, 3000}, {24, 6000, 4000}, {48, 8000, 6000}};
    const int* size = nullptr;
    for (const auto& known : sizes)
        if (known[0] == megapixels)
            size = known;
    if (!size) {
        printf("capacity bench: photos of 12, 24 or 48 megapixels\n");
        return 1;
    }
    AttachLibraryWithItsPlugins();
    std::string folder = ScratchFolder("capacity-bench");
    std::string first = folder + "\\photo0.jpg", error;
    if (!WriteSamplePicture(first, size[1], size[2], 4, &error)) {
        printf("capacity bench: cannot write its picture: %s\n", error.c_str());
        return 1;
    }
    for (int i = 1; i < kChips; i++)
        CopyFileA(first.c_str(), (folder + "\\photo" + std::to_string(i) + ".jpg").c_str(), FALSE);

    SavedBlock fit = {20, IDM_FIT_ASPECT, 1, 1, 1, 0, 0};  // a step a tick, in list order
    std::vector<HLOCAL> chips;
    std::vector<HWND> windows;
    std::vector<std::string> texts;
    int showing = 0;
    double initializing = 0;
    double before = CommittedPrivateBytes();
    for (int i = 0; i < kChips; i++) {
        texts.push_back(folder + "\\photo" + std::to_string(i) + ".jpg\r\n" + folder + "\\photo"
                        + std::to_string((i + 1) % kChips) + ".jpg");
        HWND window = CreateChipWindow(480, 320);
        HLOCAL chip = nullptr;
        UpdateRecord record = MakeUpdateRecord(texts.back().c_str(), RGB(40, 40, 40), 1, &fit);
        initializing += TimeOnce([&] { InitializeChip(&chip, window, record.bytes); });
        HDC dc = GetDC(window);
        DrawChip(chip, window, dc, texts.back().c_str());
        ReleaseDC(window, dc);
        chips.push_back(chip);
        windows.push_back(window);
        if (!Showing(chip))
            break;
        showing++;
    }
    WaitForReadAheadIdle();
    double committed = CommittedPrivateBytes();
    int bits = static_cast<int>(sizeof(void*) * 8);
    printf("%d-bit host, %s: %d of %d chips of 480x320 with a %d MP photo each showing (target: all %d); "
           "%.2f MB committed per chip with its next photo read ahead, committed %.0f MB, largest free block "
           "%.0f MB; the %d InitializeChip calls took %.0f ms\n",
           bits, path, showing, kChips, megapixels, kChips, showing ? (committed - before) / showing / 1048576.0 : 0.0,
           committed / 1048576.0, LargestFreeBlock() / 1048576.0, static_cast<int>(chips.size()), initializing);
    int stepped = 0;
    for (size_t i = 0; i < chips.size(); i++) {
        int index = StateOf(chips[i]).imageIndex;
        int size[2];
        while (DoTimer(chips[i]) != 3) {
        }
        CalcDefaultRect(chips[i], windows[i], size, texts[i].c_str());
        HDC dc = GetDC(windows[i]);
        DrawChip(chips[i], windows[i], dc, texts[i].c_str());
        ReleaseDC(windows[i], dc);
        stepped += Showing(chips[i]) && StateOf(chips[i]).imageIndex != index;
    }
    WaitForReadAheadIdle();
    printf("%d-bit host, %s: %d of %d running slideshows showed their next photo after a step each (target: all "
           "%d); committed %.0f MB, largest free block %.0f MB\n",
           bits, path, stepped, kChips, kChips, CommittedPrivateBytes() / 1048576.0, LargestFreeBlock() / 1048576.0);
    for (size_t i = 0; i < chips.size(); i++) {
        UnInitializeChip(chips[i]);
        DestroyWindow(windows[i]);
    }
    FreeLoaderList(g_module.loaders);
    RemoveTree(folder);
    CoUninitialize();
    return showing == kChips && stepped == kChips ? 0 : 1;
}
