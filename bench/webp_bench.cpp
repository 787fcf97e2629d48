// WebP through ifsyscodec.spi, on 6000x4000 photos written by Debian's cwebp
// (bench/webp_photos.py, which `make bench` runs first): a picture change in a
// 480x320 fit-aspect chip against the plug-in's whole decode, how far the
// change lifts the host's memory with the decode in the plug-in helper, the
// whole decode against dwebp's own of the same file, and a slideshow step
// read ahead. Every line states its target; "m" is the median, "[a..b]"
// the middle half of the runs.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_module.h"
#include "bench_chips.h"
#include "bench_timing.h"
#include "common/susie.h"
#include "hostkit.h"
#include "pictures/helper_load.h"
#include "resource.h"
#include "showing/read_ahead.h"
#include "surface/exports.h"
#include "surface/module_state.h"

static const int kRuns = 7;

static std::string PhotoFile(const char* name)
{
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string folder(exe);
    // build\<width>\bench\ -> build\webp-photos\, made once for both widths.
    return folder.substr(0, folder.find_last_of('\\')) + "\\..\\..\\webp-photos\\" + name;
}

// The whole picture as GetPicture gives it: its 24-bit bottom-up rows.
static bool WholeDecode(SusieGetPicture getPicture, const std::string& path, std::vector<BYTE>* rows, int* width,
                        int* height)
{
    HLOCAL info = nullptr, bits = nullptr;
    if (getPicture(path.c_str(), 0, SPI_INPUT_FILE, &info, &bits, nullptr, 0) != SPI_SUCCESS)
        return false;
    if (rows) {
        const BITMAPINFOHEADER* header = static_cast<const BITMAPINFOHEADER*>(LocalLock(info));
        *width = header->biWidth;
        *height = header->biHeight;
        const BYTE* b = static_cast<const BYTE*>(LocalLock(bits));
        rows->assign(b, b + static_cast<size_t>((*width * 3 + 3) & ~3) * *height);
        LocalUnlock(bits);
        LocalUnlock(info);
    }
    LocalFree(info);
    LocalFree(bits);
    return true;
}

// PSNR of the plug-in's whole decode against dwebp's decode of the same
// file (a binary PPM, top row first).
static double AgainstDwebp(SusieGetPicture getPicture, const char* kind)
{
    std::string ppm = ReadFileBytes(PhotoFile((std::string("photo-") + kind + ".ppm").c_str()));
    std::vector<BYTE> rows;
    int width = 0, height = 0;
    if (ppm.size() < 20 || !WholeDecode(getPicture, PhotoFile((std::string("photo-") + kind + ".webp").c_str()),
                                        &rows, &width, &height))
        return -1;
    size_t header = ppm.size() - static_cast<size_t>(width) * height * 3;
    int stride = (width * 3 + 3) & ~3;
    double squares = 0;
    for (int y = 0; y < height; y++) {
        const BYTE* ours = &rows[static_cast<size_t>(height - 1 - y) * stride];
        const BYTE* theirs = reinterpret_cast<const BYTE*>(ppm.data()) + header + static_cast<size_t>(y) * width * 3;
        for (int x = 0; x < width; x++)
            for (int c = 0; c < 3; c++) {
                double d = static_cast<double>(ours[x * 3 + c]) - theirs[x * 3 + 2 - c];
                squares += d * d;
            }
    }
    double mean = squares / (static_cast<double>(width) * height * 3);
    return mean == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mean);
}

int main()
{
    AttachLibraryWithItsPlugins();
    HMODULE plugin = g_module.loaders && g_module.loaders->next ? g_module.loaders->next->module : nullptr;
    SusieGetPicture getPicture = plugin ? reinterpret_cast<SusieGetPicture>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "GetPicture"))) : nullptr;
    std::string lossy = PhotoFile("photo-lossy.webp"), copy = PhotoFile("photo-lossy-copy.webp");
    if (!getPicture || !CopyFileA(lossy.c_str(), copy.c_str(), FALSE)) {
        printf("webp bench: ifsyscodec.spi or the photos (bench/webp_photos.py) are missing\n");
        return 1;
    }
    for (const char* kind : {"lossy", "lossless"})
        printf("24 MP %s WebP, the plug-in's whole decode against dwebp's of the same file: PSNR %.1f dB "
               "(target >= 45 dB)\n", kind, AgainstDwebp(getPicture, kind));

    HWND window = CreateChipWindow(480, 320);
    HDC dc = GetDC(window);
    std::string text = lossy + "\r\n" + copy;
    SavedBlock fit = {4, IDM_FIT_ASPECT, 0, 0, 0, 0, 0};
    HLOCAL chip = nullptr;
    UpdateRecord record = MakeUpdateRecord(text.c_str(), 0, 1, &fit);
    InitializeChip(&chip, window, record.bytes);
    DrawChip(chip, window, dc, text.c_str());
    Paired change = MeasurePaired([] {}, [&] { WholeDecode(getPicture, lossy, nullptr, nullptr, nullptr); }, [&] {
        DoDrawExMenu(chip, window, IDM_CHANGE_IMAGE);
        DrawChip(chip, window, dc, text.c_str());
    }, kRuns);
    printf("24 MP lossy WebP (%.1f MB), change in a 480x320 fit-aspect chip m %.1f ms, the plug-in's whole decode "
           "m %.1f ms, ratio m %.2f [%.2f..%.2f] (target <= 0.85)\n",
           ReadFileBytes(lossy).size() / 1048576.0, change.value.median, change.floor.median, change.ratio.median,
           change.ratio.low, change.ratio.high);
    printf("peak of that change over the settled state, the decode in the plug-in helper: %.1f MB "
           "(target <= 12 MB)\n", ChangePeak(chip, window, dc, text));
    UnInitializeChip(chip);

    Spread step = ReadAheadSteps(window, dc, text, kRuns);
    printf("slideshow step to a 24 MP lossy WebP, 480x320 fit-aspect, read ahead: m %.2f ms [%.2f..%.2f] "
           "(target <= 3 ms)\n", step.median, step.low, step.high);
    ReleaseDC(window, dc);
    DestroyWindow(window);
    DeleteFileA(copy.c_str());
    ReleasePluginHelper();
    FreeLoaderList(g_module.loaders);
    CoUninitialize();
    printf("webp bench: done\n");
    return 0;
}
