#include <doctest.h>
#include <algorithm>
#include <cstdlib>

#include "test_support.h"
#include "view/paint.h"

static const COLORREF kBackground = RGB(0, 0, 255);
static const COLORREF kSentinel = RGB(255, 0, 255);

static COLORREF Stripes(int x, int y)
{
    return (x / 10 + y / 10) % 2 ? RGB(250, 200, 20) : RGB(20, 120, 240);
}

static RECT Rect(int left, int top, int right, int bottom)
{
    RECT r = {left, top, right, bottom};
    return r;
}

static void Paint(const TestChip& chip, Surface* surface)
{
    FillSurface(surface, kSentinel);
    CHECK(DrawChip(chip.handle, chip.window, surface->dc, chip.text.c_str()) == 1);
}

TEST_CASE("paint: at 100 % the picture sits top-left with the background right and below")
{
    TestChip chip(TestPictures().p100x50, 200, 100, nullptr, kBackground);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 200, 100));
    Paint(chip, &surface);
    CHECK(PixelAt(surface, 0, 0) == Stripes(0, 0));
    CHECK(PixelAt(surface, 15, 5) == Stripes(15, 5));
    CHECK(PixelAt(surface, 99, 49) == Stripes(99, 49));
    CHECK(CountOtherPixels(surface, Rect(100, 0, 200, 100), kBackground) == 0);
    CHECK(CountOtherPixels(surface, Rect(0, 50, 200, 100), kBackground) == 0);
    CHECK(CountOtherPixels(surface, Rect(0, 0, 100, 50), kBackground) == 100 * 50);
    DestroySurface(&surface);
}

TEST_CASE("paint: a picture shrunk to exactly the client leaves no background")
{
    SavedBlock half = {4, IDM_ZOOM50, 0, 0, 0, 0, 0};
    TestChip chip(TestPictures().p400x300, 200, 150, &half, kBackground);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 200, 150));
    Paint(chip, &surface);
    RECT all = Rect(0, 0, 200, 150);
    CHECK(CountOtherPixels(surface, all, kSentinel) == 200 * 150);
    CHECK(CountOtherPixels(surface, all, kBackground) == 200 * 150);
    CHECK(GetStretchBltMode(surface.dc) == HALFTONE);  // left set on the host's DC

    DoDrawExMenu(chip.handle, chip.window, IDM_FIT);
    Paint(chip, &surface);
    CHECK(CountOtherPixels(surface, all, kSentinel) == 200 * 150);
    CHECK(CountOtherPixels(surface, all, kBackground) == 200 * 150);
    DestroySurface(&surface);
}

// The bounding box of the pixels that are not `colour`.
static RECT InkBox(const Surface& surface, COLORREF colour)
{
    RECT box = {surface.width, surface.height, -1, -1};
    for (int y = 0; y < surface.height; y++)
        for (int x = 0; x < surface.width; x++)
            if (PixelAt(surface, x, y) != colour) {
                box.left = std::min<LONG>(box.left, x);
                box.top = std::min<LONG>(box.top, y);
                box.right = std::max<LONG>(box.right, x + 1);
                box.bottom = std::max<LONG>(box.bottom, y + 1);
            }
    return box;
}

static void CheckLoadError(const TestChip& chip, COLORREF background)
{
    Surface surface;
    REQUIRE(CreateSurface(&surface, 240, 120));
    FillSurface(&surface, kSentinel);
    SetTextColor(surface.dc, RGB(255, 255, 255));
    SetBkMode(surface.dc, TRANSPARENT);
    CHECK(DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str()) == 1);
    RECT ink = InkBox(surface, background);
    CHECK(CountOtherPixels(surface, Rect(0, 0, 240, 120), kSentinel) == 240 * 120);
    REQUIRE(ink.right > ink.left);
    // Only the words are ink, and they sit in the middle.
    CHECK(ink.right - ink.left < 200);
    CHECK(ink.bottom - ink.top < 40);
    CHECK(std::abs((ink.left + ink.right) / 2 - 120) <= 4);
    CHECK(std::abs((ink.top + ink.bottom) / 2 - 60) <= 4);
    DestroySurface(&surface);
}

TEST_CASE("paint: \"load error\" on the background when there is no picture")
{
    TestChip missing("C:\\nowhere\\gone.jpg", 240, 120, nullptr, kBackground);
    CheckLoadError(missing, kBackground);

    // Never given a text: the background was never set, so it is black.
    HLOCAL chip = nullptr;
    HWND window = CreateChipWindow(240, 120);
    InitializeChip(&chip, window, nullptr);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 240, 120));
    SetTextColor(surface.dc, RGB(255, 255, 255));
    SetBkMode(surface.dc, TRANSPARENT);
    FillSurface(&surface, kSentinel);
    CHECK(DrawChip(chip, window, surface.dc, nullptr) == 1);
    RECT ink = InkBox(surface, RGB(0, 0, 0));
    CHECK(ink.right > ink.left);
    CHECK(PixelAt(surface, 0, 0) == RGB(0, 0, 0));
    CHECK(PixelAt(surface, 239, 119) == RGB(0, 0, 0));
    DestroySurface(&surface);
    UnInitializeChip(chip);
    DestroyWindow(window);
}

// Paints through the library and directly (the layout without the cache),
// each into a fresh surface, and compares every pixel.
static void CheckMatchesDirect(const TestChip& chip, int width, int height)
{
    Surface painted, direct;
    REQUIRE(CreateSurface(&painted, width, height));
    REQUIRE(CreateSurface(&direct, width, height));
    FillSurface(&painted, kSentinel);
    FillSurface(&direct, kSentinel);
    DrawChip(chip.handle, chip.window, painted.dc, chip.text.c_str());
    {
        StateView state(chip.handle);
        REQUIRE(state->bitmap);
        PaintPictureDirect(state.state, direct.dc, width, height);
    }
    GdiFlush();
    int differing = 0;
    for (int i = 0; i < width * height; i++)
        differing += painted.bits[i] != direct.bits[i];
    CHECK(differing == 0);
    DestroySurface(&painted);
    DestroySurface(&direct);
}

TEST_CASE("paint: the cached painting equals direct stretching in every mode")
{
    TestChip chip(TestPictures().p400x300, 333, 211, nullptr, RGB(10, 200, 30));
    for (int mode = IDM_ZOOM25; mode <= IDM_FIT_ASPECT; mode++) {
        CAPTURE(mode);
        DoDrawExMenu(chip.handle, chip.window, mode);
        CheckMatchesDirect(chip, 333, 211);
    }
}

TEST_CASE("paint: the cache is reused while nothing changes, and follows every change")
{
    const Pictures& p = TestPictures();
    TestChip chip(p.p400x300 + "\r\n" + p.p640x480, 300, 200, nullptr, RGB(10, 200, 30));
    DoDrawExMenu(chip.handle, chip.window, IDM_FIT_ASPECT);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 300, 200));
    Paint(chip, &surface);
    HBITMAP cached = StateView(chip.handle)->render.bitmap;
    REQUIRE(cached);
    Paint(chip, &surface);
    CHECK(StateView(chip.handle)->render.bitmap == cached);

    // View mode.
    DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM25);
    CheckMatchesDirect(chip, 300, 200);
    // Client size.
    SetWindowPos(chip.window, nullptr, 0, 0, 250, 150, SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(chip.window, &client);
    DoDrawExMenu(chip.handle, chip.window, IDM_FIT);
    Resize(chip.handle, chip.window);
    CheckMatchesDirect(chip, client.right, client.bottom);
    // Background.
    chip.background = RGB(200, 0, 0);
    SavedBlock quarter = {4, IDM_ZOOM25, 0, 0, 0, 0, 0};
    chip.Reconfigure(&quarter);
    CheckMatchesDirect(chip, client.right, client.bottom);
    // Picture.
    DoDrawExMenu(chip.handle, chip.window, IDM_CHANGE_IMAGE);
    int size[2];
    CalcDefaultRect(chip.handle, chip.window, size, chip.text.c_str());
    CheckMatchesDirect(chip, client.right, client.bottom);

    // DC format: a 16-bit surface gets its own copy.
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 16;
    void* bits;
    HBITMAP dib16 = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc16 = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc16, dib16);
    HBITMAP before = StateView(chip.handle)->render.bitmap;
    DrawChip(chip.handle, chip.window, dc16, chip.text.c_str());
    CHECK(StateView(chip.handle)->render.key.dcFormat != 0);
    BITMAP made = {};
    GetObjectA(StateView(chip.handle)->render.bitmap, sizeof(made), &made);
    CHECK(made.bmBitsPixel == 16);
    CHECK(GetObjectType(before) == 0);  // the old copy was deleted, not leaked
    SelectObject(dc16, old);
    DeleteDC(dc16);
    DeleteObject(dib16);
    DestroySurface(&surface);
}

TEST_CASE("paint: one decode per picture change, none per repaint")
{
    DiscoverySettings settings;
    std::string plugins = ScratchFolder("paint-plugins");
    std::string images = ScratchFolder("paint-images");
    REQUIRE(InstallPlugin("tpic", plugins, "tpic.spi"));
    ActiveLoaders loaders(LoadersFrom(plugins));
    TestPluginCounters* counters = PluginCounters(g_loaders->next->module);
    REQUIRE(counters);
    REQUIRE(WriteTpic(images + "\\a.tpc", 40, 30, Stripes));
    REQUIRE(WriteTpic(images + "\\b.tpc", 30, 40, Stripes));
    counters->getPictureCalls = 0;

    {
        TestChip chip(images + "\\a.tpc\r\n" + images + "\\b.tpc", 100, 100);
        CHECK(counters->getPictureCalls == 1);
        Surface surface;
        REQUIRE(CreateSurface(&surface, 100, 100));
        for (int i = 0; i < 5; i++)
            Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 1);

        DoDrawExMenu(chip.handle, nullptr, IDM_CHANGE_IMAGE);
        Paint(chip, &surface);
        Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 2);

        // Released by Zoom: the next paint loads it again, once.
        Zoom(chip.handle, nullptr, 0);
        Paint(chip, &surface);
        Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 3);

        // Released and moved on: the pending reload is the only load.
        Zoom(chip.handle, nullptr, 0);
        DoDrawExMenu(chip.handle, nullptr, IDM_CHANGE_IMAGE);
        Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 4);
        DestroySurface(&surface);
    }
    RemoveTree(plugins);
    RemoveTree(images);
}
