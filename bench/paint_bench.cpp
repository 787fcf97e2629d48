// What users of a chip wait for, as ratios to what cannot be avoided. Runs
// under Wine in real windows, on photo-like pictures written at run time and
// decoded through ifsyscodec.spi, as the everyday path is; every line states
// its target. Floors and cases are timed pair by pair (see bench_timing.h);
// "m" is the median, "[a..b]" the middle half of the runs.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "bench_timing.h"
#include "bench_module.h"
#include "hostkit.h"
#include "common/image_io.h"
#include "resource.h"
#include "plugin_host/loader_registry.h"
#include "surface/module_state.h"
#include "surface/exports.h"

static HWND ShowChipWindow(int width, int height)
{
    HWND window = CreateChipWindow(width, height);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    FlushEvents();
    return window;
}

static const char* ModeName(int mode)
{
    static const char* names[] = {"25%", "50%", "100%", "200%", "400%", "fit", "fit-aspect"};
    return names[mode - IDM_ZOOM25];
}

static void SetClient(HWND window, int width, int height)
{
    RECT frame = {0, 0, width, height};
    AdjustWindowRectEx(&frame, GetWindowLongA(window, GWL_STYLE), FALSE, GetWindowLongA(window, GWL_EXSTYLE));
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// A 32-bit BMP of the same picture as a 24-bit one: the file in the
// display's own depth, to compare against.
static bool WriteBmp32Like(const std::string& from, const std::string& to)
{
    HBITMAP picture = static_cast<HBITMAP>(
        LoadImageA(nullptr, from.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    BITMAP size = {};
    if (!picture || GetObjectA(picture, sizeof(size), &size) != sizeof(size))
        return false;
    BITMAPINFOHEADER header = {sizeof(header), size.bmWidth, size.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::string pixels(static_cast<size_t>(size.bmWidth) * size.bmHeight * 4, '\0');
    HDC dc = CreateCompatibleDC(nullptr);
    GetDIBits(dc, picture, 0, size.bmHeight, &pixels[0], reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    DeleteDC(dc);
    DeleteObject(picture);
    BITMAPFILEHEADER file = {0x4D42, static_cast<DWORD>(14 + sizeof(header) + pixels.size()), 0, 0,
                             static_cast<DWORD>(14 + sizeof(header))};
    std::string bytes(reinterpret_cast<const char*>(&file), 14);
    bytes.append(reinterpret_cast<const char*>(&header), sizeof(header));
    bytes += pixels;
    return WriteFileBytes(to, bytes.data(), bytes.size());
}

static void Chip(HLOCAL* chip, HWND window, const std::string& text)
{
    UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(40, 40, 40), 1, nullptr);
    InitializeChip(chip, window, record.bytes);
}

// The first paint in `mode` after a paint in `other`, so that it scales.
static Spread FirstPaint(HLOCAL chip, HWND window, HDC dc, const std::string& text, int other, int mode, int runs)
{
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        DoDrawExMenu(chip, window, other);
        DrawChip(chip, window, dc, text.c_str());
        times.push_back(TimeOnce([&] {
            DoDrawExMenu(chip, window, mode);
            DrawChip(chip, window, dc, text.c_str());
        }));
    }
    return SpreadOf(times);
}

// Repaint, first paint after a mode change and one resize step, per mode.
static void PaintCases(const std::string& text, int width, int height)
{
    HWND window = ShowChipWindow(width, height);
    HDC dc = GetDC(window);
    HBITMAP floorBitmap = CreateCompatibleBitmap(dc, width, height);
    HDC floorDc = CreateCompatibleDC(dc);
    HGDIOBJ oldFloor = SelectObject(floorDc, floorBitmap);
    auto floor = [&] { BitBlt(dc, 0, 0, width, height, floorDc, 0, 0, SRCCOPY); };
    HLOCAL chip = nullptr;
    Chip(&chip, window, text);
    printf("chip %dx%d, floor m %.3f ms\n", width, height, Measure(floor).median);
    for (int mode = IDM_ZOOM25; mode <= IDM_FIT_ASPECT; mode++) {
        DoDrawExMenu(chip, window, mode);
        DrawChip(chip, window, dc, text.c_str());
        Paired repaint = MeasurePaired([] {}, floor, [&] { DrawChip(chip, window, dc, text.c_str()); }, 41);
        Spread first = FirstPaint(chip, window, dc, text, mode == IDM_ZOOM25 ? IDM_ZOOM50 : IDM_ZOOM25, mode, 7);
        // Alternately 8 pixels wider and taller, and back: one drag step.
        // The window's own first blit after its resize is timed first, so
        // that what the window system does for a new size is not counted
        // as the chip's.
        std::vector<double> grows, shrinks;
        for (int i = 0; i < 18; i++) {
            bool grow = i % 2 == 0;
            SetClient(window, grow ? width + 8 : width, grow ? height + 8 : height);
            Resize(chip, window);
            // The window system's own work for the new size settles first.
            FlushEvents();
            TimeOnce(floor);
            (grow ? grows : shrinks).push_back(TimeOnce([&] { DrawChip(chip, window, dc, text.c_str()); }));
        }
        Spread grow = SpreadOf(grows), shrink = SpreadOf(shrinks);
        bool zoom = mode <= IDM_ZOOM400;
        printf("  %-10s repaint m %.2f [%.2f..%.2f] x floor (target <= 1.10)   resize +8 px m %6.2f ms "
               "[%.2f..%.2f], -8 px m %6.2f ms%s   first paint after a mode change %6.2f ms (reported)\n",
               ModeName(mode), repaint.ratio.median, repaint.ratio.low, repaint.ratio.high, grow.median, grow.low,
               grow.high, shrink.median,
               width < 1920 ? " (reported)" : zoom ? " (target <= 3 ms)" : " (from the held copy: target <= 5 ms)",
               first.median);
        SetClient(window, width, height);
    }
    UnInitializeChip(chip);
    SelectObject(floorDc, oldFloor);
    DeleteDC(floorDc);
    DeleteObject(floorBitmap);
    ReleaseDC(window, dc);
    DestroyWindow(window);
}

// The first paint in the fit mode after another mode, for one picture.
static double FirstFitPaint(const std::string& file, int width, int height)
{
    HWND window = ShowChipWindow(width, height);
    HDC dc = GetDC(window);
    HLOCAL chip = nullptr;
    Chip(&chip, window, file);
    DrawChip(chip, window, dc, file.c_str());
    double first = FirstPaint(chip, window, dc, file, IDM_ZOOM25, IDM_FIT, 9).median;
    UnInitializeChip(chip);
    ReleaseDC(window, dc);
    DestroyWindow(window);
    return first;
}

int main()
{
    AttachLibraryWithItsPlugins();
    std::string folder = ScratchFolder("paint-bench");
    std::string jpeg = folder + "\\photo.jpg", bmp24 = folder + "\\photo24.bmp", bmp32 = folder + "\\photo32.bmp";
    std::string error;
    if (!WriteSamplePicture(jpeg, 6000, 4000, 4, &error) || !WriteSamplePicture(bmp24, 6000, 4000, 4, &error)
        || !WriteBmp32Like(bmp24, bmp32)) {
        printf("paint bench: cannot write its pictures: %s\n", error.c_str());
        return 1;
    }
    printf("paint bench: a 6000x4000 photo-like JPEG through ifsyscodec.spi; floor: a 1:1 BitBlt of the client\n");
    const int sizes[][2] = {{320, 240}, {800, 600}, {1920, 1080}};
    for (const auto& size : sizes)
        PaintCases(jpeg, size[0], size[1]);

    for (const auto& size : sizes) {
        double from24 = FirstFitPaint(bmp24, size[0], size[1]);
        double from32 = FirstFitPaint(bmp32, size[0], size[1]);
        printf("first fit paint %dx%d: 24-bit BMP %.2f ms, 32-bit BMP %.2f ms, ratio %.2f (target <= 1.20)\n",
               size[0], size[1], from24, from32, from24 / from32);
    }
    FreeLoaderList(g_module.loaders);
    RemoveTree(folder);
    CoUninitialize();
    printf("paint bench: done\n");
    return 0;
}
