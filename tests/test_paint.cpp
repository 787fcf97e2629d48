#include <doctest.h>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "test_support.h"
#include "view/render_cache.h"

static const COLORREF kBackground = RGB(0, 0, 255);
static const COLORREF kSentinel = RGB(255, 0, 255);

static COLORREF Stripes(int x, int y)
{
    return (x / 10 + y / 10) % 2 ? RGB(250, 200, 20) : RGB(20, 120, 240);
}

static bool Near(COLORREF a, COLORREF b, int tolerance)
{
    return std::abs(GetRValue(a) - GetRValue(b)) <= tolerance && std::abs(GetGValue(a) - GetGValue(b)) <= tolerance
        && std::abs(GetBValue(a) - GetBValue(b)) <= tolerance;
}

static RECT Rect(int left, int top, int right, int bottom)
{
    RECT r = {left, top, right, bottom};
    return r;
}

static void Paint(const TestChip& chip, Surface* surface, int line = __builtin_LINE())
{
    INFO("painted from line " << line);
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

static void CheckLoadError(const TestChip& chip, COLORREF background, int line = __builtin_LINE())
{
    INFO("checked from line " << line);
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

// What the chip must show, made without the library's painting: the
// background, then the picture file as the platform loads it, halftone
// stretched whole to width x height (copied when unscaled) into a bitmap of
// that size, which cuts nothing, and of that the part the surface holds.
// The picture at width x height over the background: a halftone stretch
// where it is enlarged, the exact area average where it is reduced. Returns
// how many levels a painting may differ by: none from the stretch, one from
// the average (rounding).
static int PaintReference(Surface* reference, const std::string& file, int width, int height, COLORREF background)
{
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, reference->width, reference->height};
    FillRect(reference->dc, &all, brush);
    DeleteObject(brush);
    HBITMAP picture = static_cast<HBITMAP>(
        LoadImageA(nullptr, file.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    BITMAP size = {};
    GetObjectA(picture, sizeof(size), &size);
    Surface whole;
    REQUIRE(CreateSurface(&whole, width, height));
    HDC source = CreateCompatibleDC(reference->dc);
    HGDIOBJ previous = SelectObject(source, picture);
    bool reduced = width <= size.bmWidth && height <= size.bmHeight
        && (width < size.bmWidth || height < size.bmHeight);
    if (reduced) {
        Surface full;
        REQUIRE(CreateSurface(&full, size.bmWidth, size.bmHeight));
        BitBlt(full.dc, 0, 0, size.bmWidth, size.bmHeight, source, 0, 0, SRCCOPY);
        GdiFlush();
        std::vector<DWORD> average = AreaAverage(full.bits, size.bmWidth, size.bmHeight, size.bmWidth, width, height);
        memcpy(whole.bits, average.data(), average.size() * sizeof(DWORD));
        DestroySurface(&full);
    } else {
        SetStretchBltMode(whole.dc, HALFTONE);
        StretchBlt(whole.dc, 0, 0, width, height, source, 0, 0, size.bmWidth, size.bmHeight, SRCCOPY);
    }
    BitBlt(reference->dc, 0, 0, width, height, whole.dc, 0, 0, SRCCOPY);
    SelectObject(source, previous);
    DeleteDC(source);
    DeleteObject(picture);
    DestroySurface(&whole);
    GdiFlush();
    return reduced ? 1 : 0;
}

TEST_CASE("paint: every mode shows the picture at its own size: enlarged as a reference stretch, reduced as the area average")
{
    const COLORREF background = RGB(10, 200, 30);
    const std::string& file = TestPictures().p400x300;
    TestChip chip(file, 333, 211, nullptr, background);
    // The sizes a 400 x 300 picture is shown at in a 333 x 211 chip.
    const struct {
        int mode, width, height;
    } modes[] = {
        {IDM_ZOOM25, 100, 75}, {IDM_ZOOM50, 200, 150}, {IDM_ZOOM100, 400, 300}, {IDM_ZOOM200, 800, 600},
        {IDM_ZOOM400, 1600, 1200}, {IDM_FIT, 333, 211}, {IDM_FIT_ASPECT, 282, 211},
    };
    Surface painted, reference;
    REQUIRE(CreateSurface(&painted, 333, 211));
    REQUIRE(CreateSurface(&reference, 333, 211));
    for (const auto& m : modes) {
        CAPTURE(m.mode);
        DoDrawExMenu(chip.handle, chip.window, m.mode);
        for (int paint = 0; paint < 2; paint++) {  // built, then from the cache
            FillSurface(&painted, kSentinel);
            DrawChip(chip.handle, chip.window, painted.dc, chip.text.c_str());
            GdiFlush();
            int levels = PaintReference(&reference, file, m.width, m.height, background);
            CHECK(CountFarPixels(painted.bits, reference.bits, 333 * 211, levels) == 0);
        }
    }
    DestroySurface(&painted);
    DestroySurface(&reference);
}

// Paints the chip into a client-sized surface and compares every pixel with
// the reference painting of `file` at width x height.
static void CheckShows(const TestChip& chip, const std::string& file, int width, int height,
                       int line = __builtin_LINE())
{
    INFO("checked from line " << line);
    RECT client;
    GetClientRect(chip.window, &client);
    Surface painted, reference;
    REQUIRE(CreateSurface(&painted, client.right, client.bottom));
    REQUIRE(CreateSurface(&reference, client.right, client.bottom));
    FillSurface(&painted, kSentinel);
    DrawChip(chip.handle, chip.window, painted.dc, chip.text.c_str());
    GdiFlush();
    int levels = PaintReference(&reference, file, width, height, chip.background);
    CHECK(CountFarPixels(painted.bits, reference.bits, client.right * client.bottom, levels) == 0);
    DestroySurface(&painted);
    DestroySurface(&reference);
}

TEST_CASE("paint: the cache is reused while nothing changes, and follows every change")
{
    const Pictures& p = TestPictures();
    // The chip starts on either picture; a quarter of each is known.
    auto current = [&p](const TestChip& c) { return StateView(c.handle)->imageIndex == 0 ? p.p400x300 : p.p640x480; };
    auto quarterWidth = [&p](const std::string& file) { return file == p.p400x300 ? 100 : 160; };
    auto quarterHeight = [&p](const std::string& file) { return file == p.p400x300 ? 75 : 120; };
    TestChip chip(p.p400x300 + "\r\n" + p.p640x480, 300, 200, nullptr, RGB(10, 200, 30));
    DoDrawExMenu(chip.handle, chip.window, IDM_FIT_ASPECT);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 300, 200));
    Paint(chip, &surface);
    HBITMAP cached = ExistingRenderCache(StateView(chip.handle).state)->bitmap;
    REQUIRE(cached);
    Paint(chip, &surface);
    CHECK(ExistingRenderCache(StateView(chip.handle).state)->bitmap == cached);

    // View mode.
    DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM25);
    CheckShows(chip, current(chip), quarterWidth(current(chip)), quarterHeight(current(chip)));
    // Client size.
    SetWindowPos(chip.window, nullptr, 0, 0, 250, 150, SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(chip.window, &client);
    DoDrawExMenu(chip.handle, chip.window, IDM_FIT);
    Resize(chip.handle, chip.window);
    CheckShows(chip, current(chip), client.right, client.bottom);
    // Background.
    chip.background = RGB(200, 0, 0);
    SavedBlock quarter = {4, IDM_ZOOM25, 0, 0, 0, 0, 0};
    chip.Reconfigure(&quarter);
    CheckShows(chip, current(chip), quarterWidth(current(chip)), quarterHeight(current(chip)));
    // Picture.
    std::string before = current(chip);
    DoDrawExMenu(chip.handle, chip.window, IDM_CHANGE_IMAGE);
    int size[2];
    CalcDefaultRect(chip.handle, chip.window, size, chip.text.c_str());
    CHECK(current(chip) != before);
    CheckShows(chip, current(chip), quarterWidth(current(chip)), quarterHeight(current(chip)));

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
    HBITMAP previousCopy = ExistingRenderCache(StateView(chip.handle).state)->bitmap;
    DrawChip(chip.handle, chip.window, dc16, chip.text.c_str());
    CHECK(ExistingRenderCache(StateView(chip.handle).state)->key.dcFormat != 0);
    BITMAP made = {};
    GetObjectA(ExistingRenderCache(StateView(chip.handle).state)->bitmap, sizeof(made), &made);
    CHECK(made.bmBitsPixel == 16);
    CHECK(GetObjectType(previousCopy) == 0);  // the old copy was deleted, not leaked
    SelectObject(dc16, old);
    DeleteDC(dc16);
    DeleteObject(dib16);
    DestroySurface(&surface);
}

TEST_CASE("paint: one decode per picture change, none per repaint")
{
    PluginScene plugin({"tpic"}, "paint-images");
    const std::string& images = plugin.images.folder;
    TestPluginCounters* counters = plugin.Counters(0);
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
    RemoveTree(images);
}

static void SetClientSize(HWND window, int width, int height)
{
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
}

TEST_CASE("paint: a fit chip holds twice what it shows, reads again only to grow past it, and shows a vanished file's error")
{
    PluginScene plugin({"tpic"}, "held-images");
    const std::string& images = plugin.images.folder;
    TestPluginCounters* counters = plugin.Counters(0);
    REQUIRE(counters);
    std::string file = images + "\\big.tpc";
    REQUIRE(WriteTpic(file, 800, 600, Stripes));
    counters->getPictureCalls = 0;
    {
        SavedBlock fit = {4, IDM_FIT_ASPECT, 0, 0, 0, 0, 0};
        TestChip chip(file, 100, 75, &fit);
        Surface surface;
        REQUIRE(CreateSurface(&surface, 400, 300));
        // The window resized as the host resizes it, then painted.
        auto resizeAndPaint = [&](int width, int height) {
            SetClientSize(chip.window, width, height);
            Resize(chip.handle, chip.window);
            Paint(chip, &surface);
        };
        Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 1);
        CHECK(StateView(chip.handle)->heldWidth == 200);
        CHECK(StateView(chip.handle)->heldHeight == 150);
        CHECK(StateView(chip.handle)->imageWidth == 800);

        // Within the held copy: no reading.
        resizeAndPaint(180, 135);
        CHECK(counters->getPictureCalls == 1);
        // Past it: read once, to twice the new size.
        resizeAndPaint(300, 225);
        Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 2);
        CHECK(StateView(chip.handle)->heldWidth == 600);
        // Shrinking keeps detail and never reads; a copy grown far larger
        // than the mode holds is reduced in place.
        resizeAndPaint(100, 75);
        CHECK(counters->getPictureCalls == 2);
        CHECK(StateView(chip.handle)->heldWidth == 200);
        // A client that shrinks without the host's Resize keeps what is
        // shown, and what is held for it: no read, now or at the next paint.
        resizeAndPaint(300, 225);
        CHECK(counters->getPictureCalls == 3);
        SetClientSize(chip.window, 60, 45);
        Paint(chip, &surface);
        Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 3);
        CHECK(StateView(chip.handle)->heldWidth == 600);
        resizeAndPaint(100, 75);

        // 100 % needs the whole picture: one more read.
        DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM100);
        Paint(chip, &surface);
        CHECK(counters->getPictureCalls == 4);
        CHECK(StateView(chip.handle)->heldWidth == 800);

        // Gone meanwhile: "load error", as after a restart.
        DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM25);
        Paint(chip, &surface);
        DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM50);
        REQUIRE(DeleteFileA(file.c_str()));
        Paint(chip, &surface);
        CHECK(StateView(chip.handle)->bitmap == nullptr);
        CHECK(StateView(chip.handle)->loadFailed == 1);
        RECT client = {0, 0, 100, 75};
        CHECK(CountOtherPixels(surface, client, chip.background) > 0);  // the text
        DestroySurface(&surface);
    }
    RemoveTree(images);
}

// Takes all but `holes` free blocks of `size` bytes of the address space for
// as long as it lives, so that a test runs as in a host whose 2 GB are
// nearly used up.
struct CrowdedAddressSpace {
    CrowdedAddressSpace(SIZE_T size, int holes)
    {
        for (;;) {
            void* block = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
            if (!block)
                break;
            taken.push_back(block);
        }
        // Freed from the middle of the blocks of `size`, so the holes lie
        // apart; what is left between them is taken in smaller pieces.
        std::vector<void*> holesLeft;
        for (int i = 0; i < holes && !taken.empty(); i++) {
            size_t middle = taken.size() / 2;
            holesLeft.push_back(taken[middle]);
            taken.erase(taken.begin() + middle);
        }
        for (SIZE_T piece = 1 << 20; piece >= 64 << 10; piece /= 4)
            for (void* block; (block = VirtualAlloc(nullptr, piece, MEM_RESERVE, PAGE_NOACCESS)) != nullptr;)
                taken.push_back(block);
        for (void* hole : holesLeft)
            VirtualFree(hole, 0, MEM_RELEASE);
    }
    ~CrowdedAddressSpace()
    {
        for (void* block : taken)
            VirtualFree(block, 0, MEM_RELEASE);
    }
    std::vector<void*> taken;
};

TEST_CASE("paint: a 32-bit host with little address space left shows many large pictures")
{
    if (sizeof(void*) != 4) {
        MESSAGE("a 64-bit process cannot be crowded in seconds: the 32-bit build runs this");
        return;
    }
    PluginScene plugin({"tpic"}, "crowd-images");
    const std::string& images = plugin.images.folder;
    std::string file = images + "\\large.tpc";
    REQUIRE(WriteTpic(file, 1600, 1200, Stripes));  // 7.3 MB decoded
    SavedBlock fit = {4, IDM_FIT_ASPECT, 0, 0, 0, 0, 0};
    // The windows first: what the window system needs is not the test's.
    std::vector<HWND> windows;
    for (int i = 0; i < 16; i++)
        windows.push_back(CreateChipWindow(160, 120));
    std::vector<HLOCAL> chips;
    int showing = 0;
    {
        // Three holes of 16 MB: room for one decoded picture at a time,
        // not for sixteen of them (117 MB) held whole.
        CrowdedAddressSpace crowded(16 << 20, 3);
        for (HWND window : windows) {
            UpdateRecord record = MakeUpdateRecord(file.c_str(), RGB(0, 0, 255), 1, &fit);
            HLOCAL chip = nullptr;
            InitializeChip(&chip, window, record.bytes);
            DrawChip(chip, window, nullptr, file.c_str());
            chips.push_back(chip);
            showing += StateView(chip)->bitmap != nullptr;
        }
    }
    CHECK(showing == 16);
    for (size_t i = 0; i < chips.size(); i++) {
        UnInitializeChip(chips[i]);
        DestroyWindow(windows[i]);
    }
    RemoveTree(images);
}

// A memory DC holding a top-down DIB section of the given depth (16 is 5-5-5).
struct DepthSurface {
    DepthSurface(int width, int height, int depth) : dc(CreateCompatibleDC(nullptr)), dib(nullptr), previous(nullptr)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = static_cast<WORD>(depth);
        void* bits = nullptr;
        dib = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (dib)
            previous = SelectObject(dc, dib);
    }
    ~DepthSurface()
    {
        if (previous)
            SelectObject(dc, previous);
        if (dib)
            DeleteObject(dib);
        DeleteDC(dc);
    }
    HDC dc;
    HBITMAP dib;
    HGDIOBJ previous;
};


TEST_CASE("paint: memory DCs of other depths and a metafile DC get the picture, and leave no object behind")
{
    TestChip chip(TestPictures().p100x50, 200, 100, nullptr, kBackground);
    // The cache is first made for the window's DC, as the host paints.
    HDC windowDc = GetDC(chip.window);
    DrawChip(chip.handle, chip.window, windowDc, chip.text.c_str());
    long long objects = CountGdiObjects();

    for (int depth : {16, 32, 16}) {
        CAPTURE(depth);
        DepthSurface target(200, 100, depth);
        REQUIRE(target.previous);
        for (int paint = 0; paint < 2; paint++) {  // built, then from the cache
            PatBlt(target.dc, 0, 0, 200, 100, WHITENESS);
            DrawChip(chip.handle, chip.window, target.dc, chip.text.c_str());
            GdiFlush();
            int tolerance = depth == 16 ? 8 : 0;
            CHECK(Near(GetPixel(target.dc, 5, 5), Stripes(5, 5), tolerance));
            CHECK(Near(GetPixel(target.dc, 15, 3), Stripes(15, 3), tolerance));
            CHECK(Near(GetPixel(target.dc, 99, 49), Stripes(99, 49), tolerance));
            CHECK(Near(GetPixel(target.dc, 150, 70), kBackground, tolerance));
        }
    }

    // What an enhanced metafile records plays back as the chip, unscaled and
    // enlarged.
    RECT frame = {0, 0, 200, 100};
    int mmX = GetDeviceCaps(windowDc, HORZSIZE) * 100, pxX = GetDeviceCaps(windowDc, HORZRES);
    int mmY = GetDeviceCaps(windowDc, VERTSIZE) * 100, pxY = GetDeviceCaps(windowDc, VERTRES);
    RECT hundredths = {0, 0, 200 * mmX / pxX, 100 * mmY / pxY};
    for (int scale : {1, 2}) {
        CAPTURE(scale);
        DoDrawExMenu(chip.handle, chip.window, scale == 1 ? IDM_ZOOM100 : IDM_ZOOM200);
        HDC recorder = CreateEnhMetaFileA(nullptr, nullptr, &hundredths, nullptr);
        REQUIRE(recorder);
        DrawChip(chip.handle, chip.window, recorder, chip.text.c_str());
        HENHMETAFILE metafile = CloseEnhMetaFile(recorder);
        REQUIRE(metafile);
        Surface played;
        REQUIRE(CreateSurface(&played, 200, 100));
        FillSurface(&played, kSentinel);
        CHECK(PlayEnhMetaFile(played.dc, metafile, &frame));
        GdiFlush();
        CHECK(Near(PixelAt(played, 5, 5), Stripes(5 / scale, 5 / scale), 8));
        CHECK(Near(PixelAt(played, 50, 25), Stripes(50 / scale, 25 / scale), 8));
        CHECK(Near(PixelAt(played, 190, 90), scale == 1 ? kBackground : Stripes(95, 45), 8));
        DeleteEnhMetaFile(metafile);
        DestroySurface(&played);
    }
    // A reduced picture recorded into a metafile is painted straight into it
    // and leaves the screen's copy as it was: neither shared nor replaced.
    // (A printer's DC, which reports a window's formats, takes the same path
    // by its technology; Wine here has no printer to make one for.)
    DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM50);
    DrawChip(chip.handle, chip.window, windowDc, chip.text.c_str());
    HBITMAP screenCopy = ExistingRenderCache(StateView(chip.handle).state)->bitmap;
    int screenFormat = ExistingRenderCache(StateView(chip.handle).state)->key.dcFormat;
    REQUIRE(screenCopy);
    HDC recorder = CreateEnhMetaFileA(nullptr, nullptr, &hundredths, nullptr);
    REQUIRE(recorder);
    DrawChip(chip.handle, chip.window, recorder, chip.text.c_str());
    HENHMETAFILE metafile = CloseEnhMetaFile(recorder);
    CHECK(ExistingRenderCache(StateView(chip.handle).state)->bitmap == screenCopy);
    CHECK(ExistingRenderCache(StateView(chip.handle).state)->key.dcFormat == screenFormat);
    CHECK(ExistingRenderCache(StateView(chip.handle).state)->valid);
    Surface played, direct;
    REQUIRE(CreateSurface(&played, 200, 100));
    REQUIRE(CreateSurface(&direct, 200, 100));
    CHECK(PlayEnhMetaFile(played.dc, metafile, &frame));
    DrawChip(chip.handle, chip.window, direct.dc, chip.text.c_str());
    GdiFlush();
    CHECK(CountFarPixels(played.bits, direct.bits, 200 * 100, 0) == 0);
    DeleteEnhMetaFile(metafile);
    DestroySurface(&played);
    DestroySurface(&direct);
    DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM100);

    // Back to the window: the cache is the window's again, and every object
    // made for the other DCs is gone.
    DrawChip(chip.handle, chip.window, windowDc, chip.text.c_str());
    ReleaseDC(chip.window, windowDc);
    CHECK(CountGdiObjects() == objects);
}

// Every pixel unlike its neighbours, so that any stretch that blends them
// differently shows.
static COLORREF Grain(int x, int y)
{
    unsigned h = static_cast<unsigned>(x) * 2654435761u ^ static_cast<unsigned>(y) * 2246822519u;
    h ^= h >> 15;
    return RGB(h & 0xFF, (h >> 8) & 0xFF, (h >> 16) & 0xFF);
}

TEST_CASE("paint: resizing in a zoom mode keeps what is still visible and paints as a full rebuild does")
{
    // Growth and shrinking in both directions, odd sizes, past the picture;
    // a picture whose sides divide by every reduction, and one whose 10
    // pixels do not divide by 4.
    std::string folder = ScratchFolder("grain");
    std::string grain = folder + "\\grain.bmp";
    REQUIRE(WriteBmp(grain, 400, 300, Grain));
    const SIZE steps[] = {{201, 133}, {257, 190}, {150, 171}, {613, 333}, {613, 334}, {97, 64}, {1799, 1301}};
    for (const std::string& file : {grain, TestPictures().p20x10})
    for (int mode : {IDM_ZOOM25, IDM_ZOOM50, IDM_ZOOM100, IDM_ZOOM200, IDM_ZOOM400}) {
        CAPTURE(file);
        CAPTURE(mode);
        SavedBlock saved = {4, mode, 0, 0, 0, 0, 0};
        TestChip chip(file, steps[0].cx, steps[0].cy, &saved, RGB(90, 40, 160));
        for (const SIZE& step : steps) {
            CAPTURE(step.cx);
            CAPTURE(step.cy);
            SetWindowPos(chip.window, nullptr, 0, 0, 10, 10, SWP_NOMOVE | SWP_NOZORDER);
            RECT frame = {0, 0, step.cx, step.cy};
            AdjustWindowRectEx(&frame, GetWindowLongA(chip.window, GWL_STYLE), FALSE,
                               GetWindowLongA(chip.window, GWL_EXSTYLE));
            SetWindowPos(chip.window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                         SWP_NOMOVE | SWP_NOZORDER);
            Resize(chip.handle, chip.window);
            // The resized copy against a chip that never had another size.
            TestChip fresh(file, step.cx, step.cy, &saved, RGB(90, 40, 160));
            Surface resized, rebuilt;
            REQUIRE(CreateSurface(&resized, step.cx, step.cy));
            REQUIRE(CreateSurface(&rebuilt, step.cx, step.cy));
            FillSurface(&resized, kSentinel);
            FillSurface(&rebuilt, kSentinel);
            DrawChip(chip.handle, chip.window, resized.dc, chip.text.c_str());
            DrawChip(fresh.handle, fresh.window, rebuilt.dc, fresh.text.c_str());
            GdiFlush();
            int differing = 0;
            for (int i = 0; i < step.cx * step.cy; i++)
                differing += resized.bits[i] != rebuilt.bits[i];
            CHECK(differing == 0);
            DestroySurface(&resized);
            DestroySurface(&rebuilt);
        }
    }
    RemoveTree(folder);
}

// Alpha in the fourth byte, as plug-ins hand it (a COLORREF's top byte
// here): a third clear over magenta, a third half-covering red, a third
// opaque green.
static COLORREF Veiled(int x, int)
{
    return x < 20 ? RGB(255, 0, 255) : x < 40 ? RGB(255, 0, 0) | 0x80000000u : RGB(0, 160, 0) | 0xFF000000u;
}

static COLORREF OpaqueAlpha(int x, int y)
{
    return Stripes(x, y) | 0xFF000000u;
}

TEST_CASE("paint: a plug-in's transparency shows the chip's colour through it, blended, in every mode, and follows the colour an Update brings")
{
    PluginScene images({"tpic"}, "alpha-images");
    REQUIRE(images.Counters(0));
    REQUIRE(WriteTpic(images.Path("veiled.tpc"), 60, 30, Veiled));
    REQUIRE(WriteTpic(images.Path("opaque.tpc"), 60, 30, OpaqueAlpha));
    const COLORREF half = RGB(128, 0, 127);  // 128/255 red over the blue
    const struct {
        int mode, clientWidth, clientHeight, scale;
    } modes[] = {{IDM_ZOOM100, 120, 60, 1}, {IDM_ZOOM25, 120, 60, 4}, {IDM_FIT, 30, 15, 2}, {IDM_FIT_ASPECT, 30, 20, 2}};
    for (const auto& m : modes) {
        CAPTURE(m.mode);
        SavedBlock saved = {4, m.mode, 0, 0, 0, 0, 0};
        TestChip chip(images.Path("veiled.tpc"), m.clientWidth, m.clientHeight, &saved, kBackground);
        Surface surface;
        REQUIRE(CreateSurface(&surface, m.clientWidth, m.clientHeight));
        Paint(chip, &surface);
        int y = 10 / m.scale;
        CHECK(PixelAt(surface, 10 / m.scale, y) == kBackground);
        CHECK(Near(PixelAt(surface, 30 / m.scale, y), half, 1));
        CHECK(PixelAt(surface, 50 / m.scale, y) == RGB(0, 160, 0));
        DestroySurface(&surface);
    }

    // Another colour from the host: composed over it in the one read the
    // Update makes anyway.
    SavedBlock actual = {4, IDM_ZOOM100, 0, 0, 0, 0, 0};
    TestChip chip(images.Path("veiled.tpc"), 120, 60, &actual, kBackground);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 120, 60));
    int reads = images.Counters(0)->getPictureCalls;
    chip.background = RGB(255, 255, 0);
    chip.Reconfigure(&actual);
    CHECK(images.Counters(0)->getPictureCalls == reads + 1);
    Paint(chip, &surface);
    CHECK(PixelAt(surface, 10, 10) == RGB(255, 255, 0));
    CHECK(Near(PixelAt(surface, 30, 10), RGB(255, 127, 0), 1));

    // Every fourth byte 255 is no transparency: the colours as they are.
    TestChip opaque(images.Path("opaque.tpc"), 120, 60, &actual, kBackground);
    Paint(opaque, &surface);
    for (int x : {0, 15, 37, 59})
        CHECK(PixelAt(surface, x, 12) == Stripes(x, 12));
    DestroySurface(&surface);
}
