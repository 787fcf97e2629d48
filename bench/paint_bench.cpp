// Painting costs as ratios to the physical floor: one 1:1 BitBlt of the
// chip's whole client area from a compatible memory bitmap into the same DC.
// Runs under Wine in a real window; prints one line per case.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "resource.h"
#include "hostkit.h"
#include "sources/loaders.h"
#include "surface/exports.h"


static COLORREF Photo(int x, int y)
{
    return RGB((x * 255) / 1920, (y * 255) / 1080, ((x + y) * 7) & 0xFF);
}

static HWND ShowChipWindow(int width, int height)
{
    HWND window = CreateChipWindow(width, height);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    FlushEvents();
    return window;
}

static double Floor(HDC dc, int width, int height)
{
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, bitmap);
    double t = Median([&] { BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY); });
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    return t;
}

static const char* ModeName(int mode)
{
    static const char* names[] = {"25%", "50%", "100%", "200%", "400%", "fit", "fit-aspect"};
    return names[mode - IDM_ZOOM25];
}

int main()
{
    g_hInstance = GetModuleHandleA(nullptr);
    g_loaders = BuildLoaderList();
    std::string folder = ScratchFolder("bench");
    std::string a = folder + "\\a.bmp";
    std::string b = folder + "\\b.bmp";
    WriteBmp(a, 1920, 1080, Photo);
    WriteBmp(b, 1920, 1080, Photo);
    std::string text = a + "\r\n" + b;

    const int sizes[][2] = {{800, 600}, {1920, 1080}};
    for (const auto& size : sizes) {
        HWND window = ShowChipWindow(size[0], size[1]);
        RECT client;
        GetClientRect(window, &client);
        HDC dc = GetDC(window);
        double floor = Floor(dc, client.right, client.bottom);
        HLOCAL chip = nullptr;
        UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(40, 40, 40), 1, nullptr);
        InitializeChip(&chip, window, record.bytes);
        printf("chip %dx%d, picture 1920x1080, floor (1:1 BitBlt) before any paint %.3f ms\n",
               static_cast<int>(client.right), static_cast<int>(client.bottom), floor);
        for (int mode = IDM_ZOOM25; mode <= IDM_FIT_ASPECT; mode++) {
            // Each first paint follows a paint in another mode, so it scales.
            std::vector<double> firsts;
            for (int i = 0; i < 9; i++) {
                DoDrawExMenu(chip, window, mode == IDM_ZOOM25 ? IDM_ZOOM50 : IDM_ZOOM25);
                DrawChip(chip, window, dc, text.c_str());
                GdiFlush();
                double start = Now();
                DoDrawExMenu(chip, window, mode);
                DrawChip(chip, window, dc, text.c_str());
                GdiFlush();
                firsts.push_back(Now() - start);
            }
            std::sort(firsts.begin(), firsts.end());
            double first = firsts[firsts.size() / 2];
            DrawChip(chip, window, dc, text.c_str());
            double repaint = Median([&] { DrawChip(chip, window, dc, text.c_str()); });
            // The floor moves once the window has been drawn into, so it is
            // taken again beside each case.
            floor = Floor(dc, client.right, client.bottom);
            printf("  repaint %-10s %6.3f ms / floor %6.3f ms  ratio %5.2f (target <= 1.10)   first paint after mode change %7.3f ms  ratio %6.2f\n",
                   ModeName(mode), repaint, floor, repaint / floor, first, first / floor);
        }

        // A picture change against what it cannot avoid: the decode, the
        // bitmap, and one scale of it into the client.
        DoDrawExMenu(chip, window, IDM_FIT);
        double change = Median([&] {
            DoDrawExMenu(chip, window, IDM_CHANGE_IMAGE);
            DrawChip(chip, window, dc, text.c_str());
        }, 15);
        HBITMAP target = CreateCompatibleBitmap(dc, client.right, client.bottom);
        double raw = Median([&] {
            HBITMAP picture = LoadImageFile(a.c_str(), g_loaders);
            HDC source = CreateCompatibleDC(dc);
            HDC dest = CreateCompatibleDC(dc);
            HGDIOBJ oldSource = SelectObject(source, picture);
            HGDIOBJ oldDest = SelectObject(dest, target);
            SetStretchBltMode(dest, HALFTONE);
            StretchBlt(dest, 0, 0, client.right, client.bottom, source, 0, 0, 1920, 1080, SRCCOPY);
            SelectObject(source, oldSource);
            SelectObject(dest, oldDest);
            DeleteDC(source);
            DeleteDC(dest);
            DeleteObject(picture);
        }, 15);
        DeleteObject(target);
        printf("  picture change (fit)  %7.3f ms against decode + bitmap + one scale %7.3f ms  ratio %5.2f (target <= 1.10)\n",
               change, raw, change / raw);
        UnInitializeChip(chip);
        ReleaseDC(window, dc);
        DestroyWindow(window);
    }
    FreeLoaderList(g_loaders);
    RemoveTree(folder);
    return 0;
}
