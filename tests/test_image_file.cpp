#include <doctest.h>

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

struct ImageFolder {
    explicit ImageFolder(const char* name) : folder(ScratchFolder(name)) {}
    ~ImageFolder() { RemoveTree(folder); }
    std::string Path(const char* file) const { return folder + "\\" + file; }
    std::string folder;
};

TEST_CASE("image files: names ending in bmp are read by the platform, whatever the plug-ins claim")
{
    DiscoverySettings settings;
    ImageFolder plugins("bmp-plugins");
    ImageFolder images("\x89\xe6\x91\x9c\x83\x5c");  // 画像ソ
    REQUIRE(InstallPlugin("tpic", plugins.folder, "tpic.spi"));
    ActiveLoaders loaders(LoadersFrom(plugins.folder));
    TestPluginCounters* counters = PluginCounters(g_loaders->next->module);
    REQUIRE(counters);

    REQUIRE(WriteBmp(images.Path("a.Bmp"), 30, 20, Gradient));
    REQUIRE(WriteBmp(images.Path("pictures.xbmp"), 30, 20, Gradient));
    // TPIC data under a .bmp name is still not shown to the plug-in.
    REQUIRE(WriteTpic(images.Path("disguised.bmp"), 4, 4, Gradient));

    HBITMAP a = LoadImageFile(nullptr, images.Path("a.Bmp").c_str(), g_loaders);
    REQUIRE(a);
    CHECK(SizeOf(a).width == 30);
    CHECK(SizeOf(a).height == 20);
    CHECK(BitmapPixel(a, 3, 4) == Gradient(3, 4));
    CHECK(BitmapPixel(a, 29, 19) == Gradient(29, 19));
    DeleteObject(a);

    HBITMAP x = LoadImageFile(nullptr, images.Path("pictures.xbmp").c_str(), g_loaders);
    CHECK(x != nullptr);
    DeleteObject(x);

    CHECK(LoadImageFile(nullptr, images.Path("disguised.bmp").c_str(), g_loaders) == nullptr);
    CHECK(counters->isSupportedCalls == 0);
}

TEST_CASE("image files: plug-ins decode at offset 0 or 128, with the probe as a 2 KB buffer")
{
    DiscoverySettings settings;
    ImageFolder plugins("offset-plugins");
    ImageFolder images("offsets");
    REQUIRE(InstallPlugin("tpic", plugins.folder, "tpic.spi"));
    ActiveLoaders loaders(LoadersFrom(plugins.folder));
    TestPluginCounters* counters = PluginCounters(g_loaders->next->module);
    REQUIRE(counters);

    REQUIRE(WriteTpic(images.Path("plain.tpc"), 12, 9, Gradient));
    REQUIRE(WriteTpic(images.Path("wrapped.jpg"), 12, 9, Gradient, 128));

    HBITMAP plain = LoadImageFile(nullptr, images.Path("plain.tpc").c_str(), g_loaders);
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
    HBITMAP wrapped = LoadImageFile(nullptr, images.Path("wrapped.jpg").c_str(), g_loaders);
    REQUIRE(wrapped);
    CHECK(counters->lastOffset == 128);
    CHECK(counters->isSupportedCalls == 2);
    CHECK(memcmp(counters->lastProbe, "TPIC", 4) == 0);
    CHECK(BitmapPixel(wrapped, 5, 5) == Gradient(5, 5));
    DeleteObject(wrapped);
}

TEST_CASE("image files: the first accepting plug-in decodes, and its failure is final")
{
    DiscoverySettings settings;
    ImageFolder plugins("order-plugins");
    ImageFolder images("order-images");
    REQUIRE(InstallPlugin("failget", plugins.folder, "a.spi"));
    REQUIRE(InstallPlugin("tpic", plugins.folder, "b.spi"));
    REQUIRE(WriteTpic(images.Path("p.tpc"), 6, 6, Gradient));
    ActiveLoaders loaders(LoadersFrom(plugins.folder));
    REQUIRE(CountEntries(g_loaders) == 3);

    LoaderEntry* first = g_loaders->next;
    LoaderEntry* second = first->next;
    TestPluginCounters* firstCounters = PluginCounters(first->module);
    TestPluginCounters* secondCounters = PluginCounters(second->module);
    HBITMAP bitmap = LoadImageFile(nullptr, images.Path("p.tpc").c_str(), g_loaders);
    CHECK(firstCounters->getPictureCalls == 1);
    CHECK(secondCounters->getPictureCalls == 0);
    // Whichever the directory listed first decides the outcome.
    bool failingFirst = ModulePath(first->module).find("a.spi") != std::string::npos;
    CHECK((bitmap == nullptr) == failingFirst);
    if (bitmap)
        DeleteObject(bitmap);
}

TEST_CASE("image files: what no plug-in can show gives null")
{
    DiscoverySettings settings;
    ImageFolder plugins("refusing-plugins");
    ImageFolder images("refused");
    REQUIRE(InstallPlugin("never", plugins.folder, "never.spi"));
    REQUIRE(InstallPlugin("nosupport", plugins.folder, "nosupport.spi"));
    REQUIRE(WriteTpic(images.Path("p.tpc"), 6, 6, Gradient));
    ActiveLoaders loaders(LoadersFrom(plugins.folder));
    REQUIRE(CountEntries(g_loaders) == 3);

    CHECK(LoadImageFile(nullptr, images.Path("p.tpc").c_str(), g_loaders) == nullptr);
    CHECK(LoadImageFile(nullptr, images.Path("missing.tpc").c_str(), g_loaders) == nullptr);
    CHECK(LoadImageFile(nullptr, "", g_loaders) == nullptr);
    CHECK(LoadImageFile(nullptr, "mp", g_loaders) == nullptr);
    CHECK(LoadImageFile(nullptr, nullptr, g_loaders) == nullptr);
    CHECK(LoadImageFile(nullptr, images.Path("p.tpc").c_str(), nullptr) == nullptr);
    std::string tooLong = images.folder + "\\" + std::string(300, 'n') + ".tpc";
    CHECK(LoadImageFile(nullptr, tooLong.c_str(), g_loaders) == nullptr);
}

TEST_CASE("image files: a plug-in without GetPicture, or with bits too short for its header, gives null")
{
    DiscoverySettings settings;
    ImageFolder images("short-images");
    REQUIRE(WriteTpic(images.Path("p.tpc"), 64, 64, Gradient));
    for (const char* variant : {"nopicture", "shortbits"}) {
        CAPTURE(variant);
        ImageFolder plugins(variant);
        REQUIRE(InstallPlugin(variant, plugins.folder, "p.spi"));
        ActiveLoaders loaders(LoadersFrom(plugins.folder));
        CHECK(LoadImageFile(nullptr, images.Path("p.tpc").c_str(), g_loaders) == nullptr);
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
    FreeLoaderList(list, true);
}
