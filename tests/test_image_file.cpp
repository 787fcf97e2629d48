#include <doctest.h>

#include <utility>

#include "commands/image_picker.h"
#include "test_support.h"

static COLORREF Gradient(int x, int y)
{
    return RGB(x * 7 & 0xFF, y * 5 & 0xFF, 0x40);
}

struct BitmapInfo {
    int width;
    int height;
};

static BitmapInfo SizeOf(HBITMAP bitmap)
{
    BITMAP info = {};
    GetObjectA(bitmap, sizeof(info), &info);
    return {info.bmWidth, info.bmHeight};
}

// The bitmap's pixel (x, y), counted from the top.
static COLORREF BitmapPixel(HBITMAP bitmap, int x, int y)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    COLORREF c = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteDC(dc);
    return c;
}

TEST_CASE("image files: names ending in bmp are read by the platform, whatever the plug-ins claim")
{
    PluginScene images({"tpic"}, "\x89\xe6\x91\x9c\x83\x5c");  // 画像ソ
    TestPluginCounters* counters = images.Counters(0);
    REQUIRE(counters);

    REQUIRE(WriteBmp(images.Path("a.Bmp"), 30, 20, Gradient));
    REQUIRE(WriteBmp(images.Path("pictures.xbmp"), 30, 20, Gradient));
    // TPIC data under a .bmp name is still not shown to the plug-in.
    REQUIRE(WriteTpic(images.Path("disguised.bmp"), 4, 4, Gradient));

    HBITMAP a = LoadImageFile(images.Path("a.Bmp").c_str(), g_module.loaders);
    REQUIRE(a);
    CHECK(SizeOf(a).width == 30);
    CHECK(SizeOf(a).height == 20);
    CHECK(BitmapPixel(a, 3, 4) == Gradient(3, 4));
    CHECK(BitmapPixel(a, 29, 19) == Gradient(29, 19));
    DeleteObject(a);

    HBITMAP x = LoadImageFile(images.Path("pictures.xbmp").c_str(), g_module.loaders);
    CHECK(x != nullptr);
    DeleteObject(x);

    CHECK(LoadImageFile(images.Path("disguised.bmp").c_str(), g_module.loaders) == nullptr);
    CHECK(counters->isSupportedCalls == 0);
}

TEST_CASE("image files: plug-ins decode at offset 0 or 128, with the probe as a 2 KB buffer")
{
    PluginScene images({"tpic"}, "offsets");
    TestPluginCounters* counters = images.Counters(0);
    REQUIRE(counters);

    REQUIRE(WriteTpic(images.Path("plain.tpc"), 12, 9, Gradient));
    REQUIRE(WriteTpic(images.Path("wrapped.jpg"), 12, 9, Gradient, 128));

    HBITMAP plain = LoadImageFile(images.Path("plain.tpc").c_str(), g_module.loaders);
    REQUIRE(plain);
    CHECK(counters->lastOffset == 0);
    CHECK(counters->lastFlag == 0);
    CHECK(SizeOf(plain).width == 12);
    CHECK(SizeOf(plain).height == 9);
    CHECK(BitmapPixel(plain, 0, 0) == Gradient(0, 0));
    CHECK(BitmapPixel(plain, 11, 8) == Gradient(11, 8));
    // The file is shorter than 2 KB: the rest of the buffer reads as zeros.
    CHECK(counters->probeTailZero);
    DeleteObject(plain);

    counters->isSupportedCalls = 0;
    HBITMAP wrapped = LoadImageFile(images.Path("wrapped.jpg").c_str(), g_module.loaders);
    REQUIRE(wrapped);
    CHECK(counters->lastOffset == 128);
    CHECK(counters->isSupportedCalls == 2);
    CHECK(memcmp(counters->lastProbe, "TPIC", 4) == 0);
    CHECK(BitmapPixel(wrapped, 5, 5) == Gradient(5, 5));
    DeleteObject(wrapped);
}

TEST_CASE("image files: the first accepting plug-in decodes, and its failure is final")
{
    // Both orders of the two plug-ins, in a scene each.
    for (bool failingFirst : {true, false}) {
        CAPTURE(failingFirst);
        PluginScene scene(failingFirst ? std::initializer_list<const char*>{"failget", "tpic"}
                                       : std::initializer_list<const char*>{"tpic", "failget"});
        REQUIRE(WriteTpic(scene.Path("p.tpc"), 6, 6, Gradient));
        TestPluginCounters* failing = scene.Counters(failingFirst ? 0 : 1);
        TestPluginCounters* decoding = scene.Counters(failingFirst ? 1 : 0);
        HBITMAP bitmap = scene.Load("p.tpc");
        CHECK((bitmap != nullptr) == !failingFirst);
        CHECK(failing->getPictureCalls == (failingFirst ? 1 : 0));
        CHECK(decoding->getPictureCalls == (failingFirst ? 0 : 1));
        if (bitmap)
            DeleteObject(bitmap);
    }
}

TEST_CASE("image files: what no plug-in can show gives null")
{
    PluginScene images({"never", "nosupport"}, "refused");
    REQUIRE(WriteTpic(images.Path("p.tpc"), 6, 6, Gradient));
    REQUIRE(CountEntries(g_module.loaders) == 3);

    CHECK(LoadImageFile(images.Path("p.tpc").c_str(), g_module.loaders) == nullptr);
    CHECK(LoadImageFile(images.Path("missing.tpc").c_str(), g_module.loaders) == nullptr);
    CHECK(LoadImageFile("", g_module.loaders) == nullptr);
    CHECK(LoadImageFile("mp", g_module.loaders) == nullptr);
    CHECK(LoadImageFile(nullptr, g_module.loaders) == nullptr);
    CHECK(LoadImageFile(images.Path("p.tpc").c_str(), nullptr) == nullptr);
    std::string tooLong = images.images.folder + "\\" + std::string(300, 'n') + ".tpc";
    CHECK(LoadImageFile(tooLong.c_str(), g_module.loaders) == nullptr);
}

TEST_CASE("image files: a plug-in without GetPicture, or with bits too short for its header, gives null")
{
    for (const char* variant : {"nopicture", "shortbits"}) {
        CAPTURE(variant);
        PluginScene scene({variant}, "short-images");
        REQUIRE(WriteTpic(scene.Path("p.tpc"), 64, 64, Gradient));
        CHECK(scene.Load("p.tpc") == nullptr);
    }
}

TEST_CASE("image files: a plug-in's two blocks must describe each other")
{
    BITMAPINFOHEADER h = {};
    h.biSize = sizeof(h);
    h.biWidth = 10;
    h.biHeight = 4;
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    const SIZE_T rows = 32 * 4;  // 10 pixels of 3 bytes, padded to 32
    CHECK(DibFitsBlocks(&h, sizeof(h), rows));
    CHECK_FALSE(DibFitsBlocks(&h, sizeof(h), rows - 1));
    CHECK_FALSE(DibFitsBlocks(&h, sizeof(h) - 1, rows));

    BITMAPINFOHEADER topDown = h;
    topDown.biHeight = -4;
    CHECK(DibFitsBlocks(&topDown, sizeof(h), rows));

    BITMAPINFOHEADER palette = h;
    palette.biBitCount = 8;
    CHECK_FALSE(DibFitsBlocks(&palette, sizeof(h), 4 * 12));  // no room for 256 colours
    CHECK(DibFitsBlocks(&palette, sizeof(h) + 256 * 4, 4 * 12));
    palette.biClrUsed = 2;
    CHECK(DibFitsBlocks(&palette, sizeof(h) + 2 * 4, 4 * 12));

    BITMAPINFOHEADER huge = h;
    huge.biWidth = 0x7FFFFFFF;
    huge.biHeight = 0x7FFFFFFF;
    CHECK_FALSE(DibFitsBlocks(&huge, sizeof(h), SIZE_T(-1) / 2));

    BITMAPINFOHEADER odd = h;
    odd.biBitCount = 7;
    CHECK_FALSE(DibFitsBlocks(&odd, sizeof(h), rows));
    odd = h;
    odd.biCompression = BI_RLE8;
    CHECK_FALSE(DibFitsBlocks(&odd, sizeof(h), rows));
    odd = h;
    odd.biWidth = 0;
    CHECK_FALSE(DibFitsBlocks(&odd, sizeof(h), rows));
    odd = h;
    odd.biSize = 4000;
    CHECK_FALSE(DibFitsBlocks(&odd, sizeof(h), rows));
}

TEST_CASE("image files: the companion plug-in's formats join the loader list")
{
    DiscoverySettings settings;
    std::string dxl = DxlPath();
    std::string plugins = dxl.substr(0, dxl.find_last_of('\\')) + "\\plugins";
    SetEnvironmentVariableA("PATH", plugins.c_str());
    LoaderList list = BuildLoaderList();
    std::string patterns;
    for (LoaderEntry* e = list ? list->next : nullptr; e; e = e->next) {
        std::string module = ModulePath(e->module);
        CHECK(module.substr(module.size() - 23) == "\\plugins\\ifsyscodec.spi");
        patterns += std::string(e->pattern) + ";";
    }
    CHECK(patterns.find("*.png;") != std::string::npos);
    CHECK(patterns.find("*.jpg;") != std::string::npos);
    // The file dialog's filter, built from these: every extension of a
    // decoder, whichever separator the platform lists them with.
    HeapArray<char> filter;
    REQUIRE(BuildFileFilter(list, &filter));
    std::string all(filter.items, filter.count);
    for (const char* pattern : {"*.jpeg;", "*.tiff;", "*.jpg;"}) {
        CAPTURE(pattern);
        CHECK(all.find(pattern) != std::string::npos);
    }
    FreeLoaderList(list);
}

// A small BMP file of the given form: header size 12 (core), 40, 108 (V4)
// or 124 (V5); bit count; compression; rows top-down or bottom-up.
static std::string BmpBytes(DWORD headerSize, WORD bitCount, DWORD compression, bool topDown,
                            int width, int height)
{
    std::string header(headerSize, '\0');
    auto put = [&header](size_t at, DWORD value, size_t size) { memcpy(&header[at], &value, size); };
    put(0, headerSize, 4);
    if (headerSize == 12) {
        put(4, width, 2);
        put(6, height, 2);
        put(8, 1, 2);
        put(10, bitCount, 2);
    } else {
        put(4, width, 4);
        put(8, topDown ? -height : height, 4);
        put(12, 1, 2);
        put(14, bitCount, 2);
        put(16, compression, 4);
        if (headerSize >= 108 && compression == BI_BITFIELDS) {
            put(40, bitCount == 16 ? 0xF800 : 0xFF0000, 4);
            put(44, bitCount == 16 ? 0x07E0 : 0x00FF00, 4);
            put(48, bitCount == 16 ? 0x001F : 0x0000FF, 4);
        }
    }
    std::string table;
    if (bitCount <= 8) {
        for (int i = 0; i < (1 << bitCount); i++) {
            const BYTE entry[4] = {BYTE(i * 40), BYTE(255 - i * 20), BYTE(i * 7), 0};
            table.append(reinterpret_cast<const char*>(entry), headerSize == 12 ? 3 : 4);
        }
    } else if (compression == BI_BITFIELDS && headerSize == 40) {
        const DWORD masks[3] = {bitCount == 16 ? 0xF800u : 0xFF0000u, bitCount == 16 ? 0x07E0u : 0x00FF00u,
                                bitCount == 16 ? 0x001Fu : 0x0000FFu};
        table.assign(reinterpret_cast<const char*>(masks), sizeof(masks));
    }
    std::string pixels;
    if (compression == BI_RLE8 || compression == BI_RLE4) {
        for (int y = 0; y < height; y++) {
            const char run[4] = {char(width), char(compression == BI_RLE8 ? 1 : 0x12), 0, 0};
            pixels.append(run, 4);
        }
        pixels.append("\0\1", 2);
    } else {
        size_t stride = (size_t(width) * bitCount + 31) / 32 * 4;
        for (size_t i = 0; i < stride * height; i++)
            pixels += char(i * 13);
    }
    std::string file(14, '\0');
    DWORD offBits = DWORD(14 + header.size() + table.size());
    DWORD fileSize = DWORD(offBits + pixels.size());
    file[0] = 'B';
    file[1] = 'M';
    memcpy(&file[2], &fileSize, 4);
    memcpy(&file[10], &offBits, 4);
    return file + header + table + pixels;
}

TEST_CASE("image files: hostile bitmap headers are refused before the platform reads them; sound ones load as before")
{
    ScratchDir images("bmp-kinds");
    const struct {
        const char* kind;
        DWORD headerSize;
        WORD bitCount;
        DWORD compression;
        bool topDown;
    } sound[] = {
        {"1-bit", 40, 1, BI_RGB, false},       {"4-bit", 40, 4, BI_RGB, false},
        {"8-bit", 40, 8, BI_RGB, false},       {"16-bit", 40, 16, BI_RGB, false},
        {"24-bit", 40, 24, BI_RGB, false},     {"32-bit", 40, 32, BI_RGB, false},
        {"RLE4", 40, 4, BI_RLE4, false},       {"RLE8", 40, 8, BI_RLE8, false},
        {"top-down", 40, 24, BI_RGB, true},    {"core 8-bit", 12, 8, BI_RGB, false},
        {"16-bit fields", 40, 16, BI_BITFIELDS, false},
        {"V4 32-bit fields", 108, 32, BI_BITFIELDS, false},
        {"V5 24-bit", 124, 24, BI_RGB, true},
    };
    for (const auto& k : sound) {
        std::string kind = k.kind;
        CAPTURE(kind);
        std::string path = images.Path("sound.bmp");
        std::string bytes = BmpBytes(k.headerSize, k.bitCount, k.compression, k.topDown, 9, 5);
        REQUIRE(WriteFileBytes(path, bytes.data(), bytes.size()));
        HBITMAP direct = static_cast<HBITMAP>(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0,
                                                         LR_LOADFROMFILE | LR_CREATEDIBSECTION));
        HBITMAP ours = LoadImageFile(path.c_str(), g_module.loaders);
        CHECK(direct != nullptr);
        REQUIRE(ours != nullptr);
        CHECK(SizeOf(ours).width == 9);
        CHECK(SizeOf(ours).height == 5);
        CHECK(BitmapPixel(ours, 3, 2) == BitmapPixel(direct, 3, 2));
        DeleteObject(ours);
        if (direct)
            DeleteObject(direct);
    }

    std::string good = BmpBytes(40, 24, BI_RGB, false, 20, 10);
    // The good file with one or two of its 32-bit fields changed.
    auto patched = [&good](size_t at, LONG value, size_t at2 = 0, LONG value2 = 0) {
        std::string bytes = good;
        memcpy(&bytes[at], &value, 4);
        if (at2)
            memcpy(&bytes[at2], &value2, 4);
        return bytes;
    };
    const struct {
        const char* kind;
        std::string bytes;
    } hostile[] = {
        {"pixels far past the end", patched(10, 0x7FFFFFFF)},
        {"30000 x 30000 declared", patched(18, 30000, 22, 30000)},
        {"rows past the end", patched(22, 21)},
        {"zero width", patched(18, 0)},
        {"zero height", patched(22, 0)},
        {"truncated header", good.substr(0, 20)},
        {"not a bitmap", "GIF89a" + good.substr(6)},
    };
    for (const auto& h : hostile) {
        std::string kind = h.kind;
        CAPTURE(kind);
        std::string path = images.Path("hostile.bmp");
        REQUIRE(WriteFileBytes(path, h.bytes.data(), h.bytes.size()));
        CHECK(LoadImageFile(path.c_str(), g_module.loaders) == nullptr);
    }
}

static COLORREF Corners(int x, int y)
{
    return RGB(x < 20 ? 250 : 10, y < 15 ? 200 : 30, (x * 5 + y * 3) & 0xFF);
}

TEST_CASE("image files: a same-size picture is written into the one it replaces, the right way up")
{
    DiscoverySettings settings;
    std::string dxl = DxlPath();
    SetEnvironmentVariableA("PATH", (dxl.substr(0, dxl.find_last_of('\\')) + "\\plugins").c_str());
    ActiveLoaders loaders(BuildLoaderList());
    ScratchDir images("spare");
    REQUIRE(WriteBmp(images.Path("a.bmp"), 40, 30, Gradient));
    // A bitmap under another name: decoded by the companion plug-in into
    // 24-bit rows, which are widened by hand.
    REQUIRE(WriteBmp(images.Path("b.pic"), 40, 30, Corners));
    REQUIRE(WriteBmp(images.Path("small.pic"), 20, 30, Corners));

    HBITMAP topDown = LoadImageFile(images.Path("a.bmp").c_str(), g_module.loaders);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = 40;
    info.bmiHeader.biHeight = 30;  // bottom-up
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bottomUp = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    for (HBITMAP spare : {topDown, bottomUp}) {
        REQUIRE(spare);
        HBITMAP picture = LoadImageFile(images.Path("b.pic").c_str(), g_module.loaders, spare);
        CHECK(picture == spare);
        for (int y : {0, 14, 15, 29})
            for (int x : {0, 19, 20, 39}) {
                CAPTURE(x);
                CAPTURE(y);
                CHECK(BitmapPixel(picture, x, y) == Corners(x, y));
            }
        // Of another size, the spare is left to the caller.
        HBITMAP small = LoadImageFile(images.Path("small.pic").c_str(), g_module.loaders, picture);
        REQUIRE(small);
        CHECK(small != picture);
        CHECK(SizeOf(small).width == 20);
        DeleteObject(small);
        DeleteObject(picture);
    }
}

TEST_CASE("image files: every failed load says why in one debug line, naming the file and the plug-in")
{
    DebugLines debug;
    const struct {
        const char* variant;  // the one plug-in, or null for the plain list
        const char* file;
        int kind;  // 0 a TPIC picture, 1 text, 2 none, 3 a broken bitmap
        const char* says;  // null: shown, and nothing said
    } cases[] = {
        {"tpic", "p.tpc", 0, nullptr},
        {"tpic", "missing.tpc", 2, ": no such file"},
        {"never", "p.tpc", 0, ": no plug-in takes the file"},
        {"tpic", "notes.txt", 1, ": no plug-in takes the file"},
        {"failget", "p.tpc", 0, ": failget.spi returned 3 (broken data)"},
        {"faultbefore", "p.tpc", 0, ": faultbefore.spi faulted (exception 0x"},
        {"shortbits", "p.tpc", 0, ": shortbits.spi handed back a picture whose blocks do not match"},
        {"tpic", "bad.bmp", 3, ": a bitmap file whose headers do not match its pixels"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.variant);
        CAPTURE(c.file);
        PluginScene scene({c.variant});
        std::string path = scene.Path(c.file);
        if (c.kind == 0)
            REQUIRE(WriteTpic(path, 8, 6, Gradient));
        if (c.kind == 1)
            REQUIRE(WriteFileBytes(path, "just words", 10));
        if (c.kind == 3)
            REQUIRE(WriteFileBytes(path, "BM and then nothing of a bitmap at all", 38));
        debug.Take();
        HBITMAP picture = scene.Load(c.file);
        std::vector<std::string> lines = debug.Take();
        CHECK((picture != nullptr) == (c.says == nullptr));
        if (picture)
            DeleteObject(picture);
        if (!c.says) {
            CHECK(lines.empty());
            continue;
        }
        REQUIRE(lines.size() == 1);
        std::string expected = "Ovilune: load error: " + path + c.says;
        CHECK(lines[0].compare(0, expected.size(), expected) == 0);
        CHECK(lines[0].back() == '\n');
        if (std::string(c.variant) == "faultbefore")
            CHECK(lines[0].find("and is not used again") != std::string::npos);
    }
}
