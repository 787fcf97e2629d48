// ifsyscodec.spi, loaded and called as a Susie host calls it.
#include <doctest.h>

#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hostkit.h"
#include "common/image_io.h"
#include "resource.h"
#include "common/reduce.h"
#include "common/susie.h"
#include "syscodec_support.h"

#include <icm.h>
#include <psapi.h>

static bool Encode(const std::string& path, const GUID& container, int width, int height,
                   const std::vector<BYTE>& bgra)
{
    return EncodePixels(path, container, width, height, bgra.data(), width * 4, 4, nullptr);
}

static std::vector<BYTE> Quadrants(int width, int height, BYTE alpha)
{
    std::vector<BYTE> p(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            BYTE* q = &p[(y * width + x) * 4];
            bool right = x >= width / 2, bottom = y >= height / 2;
            q[0] = bottom ? 200 : 0;    // blue
            q[1] = right ? 180 : 20;    // green
            q[2] = right != bottom ? 220 : 30;  // red
            q[3] = alpha;
        }
    return p;
}

TEST_CASE("syscodec: version, about and the formats of the installed decoders")
{
    SysCodec codec;
    REQUIRE(codec.module);
    char buffer[1024];
    CHECK(codec.getInfo(0, buffer, sizeof(buffer)) == 4);
    CHECK(std::string(buffer) == "00IN");
    CHECK(codec.getInfo(1, buffer, sizeof(buffer)) > 0);
    std::string patterns;
    int formats = 0;
    for (int infono = 2; codec.getInfo(infono, buffer, sizeof(buffer)) > 0; infono += 2) {
        patterns += std::string(buffer) + ";";
        CHECK(std::string(buffer).rfind("*.", 0) == 0);
        CHECK(codec.getInfo(infono + 1, buffer, sizeof(buffer)) > 0);
        formats++;
    }
    CHECK(formats >= 4);
    for (const char* ext : {"*.png", "*.jpg", "*.gif", "*.tif"}) {
        CAPTURE(ext);
        CHECK(patterns.find(std::string(ext) + ";") != std::string::npos);
    }
    // Truncated to the caller's buffer, always terminated.
    memset(buffer, 'x', sizeof(buffer));
    CHECK(codec.getInfo(0, buffer, 3) == 2);
    CHECK(std::string(buffer) == "00");
    CHECK(codec.getInfo(0, buffer, 0) == 0);
    CHECK(codec.getInfo(0, nullptr, 10) == 0);
}

TEST_CASE("syscodec: each format decodes to its size and pixels, bottom-up and 24-bit")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-formats");
    const struct {
        const char* name;
        GUID container;
        int tolerance;
    } kinds[] = {
        {"q.png", GUID_ContainerFormatPng, 0},
        {"q.jpg", GUID_ContainerFormatJpeg, 24},
        {"q.tif", GUID_ContainerFormatTiff, 0},
        {"q.gif", GUID_ContainerFormatGif, 40},
        {"q.bmp", GUID_ContainerFormatBmp, 0},
    };
    for (const auto& kind : kinds) {
        CAPTURE(kind.name);
        std::string path = folder + "\\" + kind.name;
        REQUIRE(Encode(path, kind.container, 40, 30, Quadrants(40, 30, 255)));
        Decoded d = Decode(codec, path);
        REQUIRE(d.result == SPI_SUCCESS);
        CHECK(d.width == 40);
        CHECK(d.height == 30);
        CHECK(d.bitCount == 24);
        CHECK(Near(d.Pixel(5, 5), RGB(30, 20, 0), kind.tolerance));
        CHECK(Near(d.Pixel(35, 5), RGB(220, 180, 0), kind.tolerance));
        CHECK(Near(d.Pixel(5, 25), RGB(220, 20, 200), kind.tolerance));
        CHECK(Near(d.Pixel(35, 25), RGB(30, 180, 200), kind.tolerance));

        SusiePictureInfo info = {};
        CHECK(codec.getPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_SUCCESS);
        CHECK(info.width == 40);
        CHECK(info.height == 30);
    }
    RemoveTree(folder);
}

TEST_CASE("syscodec: the picture-info record at the offsets a host of this width reads")
{
    // i386 hosts read a packed 26-byte record with the handle at 22; 64-bit
    // hosts a 32-byte one with two bytes of padding and the handle at 24.
    const size_t handleAt = sizeof(void*) == 4 ? 22 : 24;
    const size_t recordSize = sizeof(void*) == 4 ? 26 : 32;
    CHECK(sizeof(SusiePictureInfo) == recordSize);
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-record");
    std::string path = folder + "\\r.png";
    REQUIRE(Encode(path, GUID_ContainerFormatPng, 40, 30, Quadrants(40, 30, 255)));
    BYTE record[48];
    memset(record, 0xCC, sizeof(record));
    REQUIRE(codec.getPictureInfo(path.c_str(), 0, SPI_INPUT_FILE,
                                 reinterpret_cast<SusiePictureInfo*>(record)) == SPI_SUCCESS);
    LONG width, height;
    short depth;
    void* handle;
    memcpy(&width, record + 8, 4);
    memcpy(&height, record + 12, 4);
    memcpy(&depth, record + 20, 2);
    memcpy(&handle, record + handleAt, sizeof(handle));
    CHECK(width == 40);
    CHECK(height == 30);
    CHECK(depth == 24);
    CHECK(handle == nullptr);
    CHECK(record[recordSize] == 0xCC);  // nothing written past the record
    RemoveTree(folder);
}

TEST_CASE("syscodec: transparency is composed over white")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-alpha");
    std::vector<BYTE> pixels(16 * 8 * 4);
    for (int i = 0; i < 16 * 8; i++) {
        BYTE* p = &pixels[i * 4];
        p[0] = 0; p[1] = 0; p[2] = 200;   // red
        p[3] = (i % 16) < 8 ? 0 : 128;     // left clear, right half-covered
    }
    std::string path = folder + "\\alpha.png";
    REQUIRE(Encode(path, GUID_ContainerFormatPng, 16, 8, pixels));
    Decoded d = Decode(codec, path);
    REQUIRE(d.result == SPI_SUCCESS);
    CHECK(d.Pixel(2, 2) == RGB(255, 255, 255));
    CHECK(Near(d.Pixel(12, 2), RGB(227, 127, 127), 2));
    RemoveTree(folder);
}

TEST_CASE("syscodec: broken and unknown files give error codes, never a crash")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-broken");
    std::string png = folder + "\\whole.png";
    REQUIRE(Encode(png, GUID_ContainerFormatPng, 64, 64, Quadrants(64, 64, 255)));
    std::string bytes = ReadFileBytes(png);
    REQUIRE(WriteFileBytes(folder + "\\cut.png", bytes.data(), bytes.size() / 3));
    std::string scrambled = bytes;
    for (size_t i = 60; i < scrambled.size(); i += 7)
        scrambled[i] = static_cast<char>(scrambled[i] ^ 0x5A);
    REQUIRE(WriteFileBytes(folder + "\\scrambled.png", scrambled.data(), scrambled.size()));
    REQUIRE(WriteFileBytes(folder + "\\text.png", "just some text, not a picture", 29));

    int cut = Decode(codec, folder + "\\cut.png").result;
    CHECK((cut == SPI_BROKEN_DATA || cut == SPI_SUCCESS));  // a decoder may fill what is missing
    // Its chunks' checksums no longer match: broken, or whatever a decoder
    // makes of it at the picture's own size, never another answer.
    Decoded scrambledPicture = Decode(codec, folder + "\\scrambled.png");
    CHECK((scrambledPicture.result == SPI_BROKEN_DATA
           || (scrambledPicture.result == SPI_SUCCESS && scrambledPicture.width == 64 && scrambledPicture.height == 64)));
    CHECK(Decode(codec, folder + "\\text.png").result == SPI_UNKNOWN_FORMAT);
    CHECK(Decode(codec, folder + "\\missing.png").result == SPI_FILE_READ_ERROR);
    RemoveTree(folder);
}

TEST_CASE("syscodec: offsets, memory images and the progress callback")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-forms");
    std::string png = folder + "\\p.png";
    REQUIRE(Encode(png, GUID_ContainerFormatPng, 20, 10, Quadrants(20, 10, 255)));
    std::string bytes = ReadFileBytes(png);

    std::string wrapped = std::string(128, 'J') + bytes;
    REQUIRE(WriteFileBytes(folder + "\\wrapped.png", wrapped.data(), wrapped.size()));
    Decoded d = Decode(codec, folder + "\\wrapped.png", 128);
    CHECK(d.result == SPI_SUCCESS);
    CHECK(d.width == 20);

    HLOCAL info = nullptr, bits = nullptr;
    CHECK(codec.getPicture(bytes.data(), static_cast<LONG_PTR>(bytes.size()), SPI_INPUT_MEMORY, &info,
                           &bits, nullptr, 0) == SPI_SUCCESS);
    REQUIRE(info);
    CHECK(static_cast<BITMAPINFOHEADER*>(LocalLock(info))->biHeight == 10);
    LocalUnlock(info);
    LocalFree(info);
    LocalFree(bits);

    struct Calls {
        static int WINAPI Count(int, int, LONG_PTR data)
        {
            ++*reinterpret_cast<int*>(data);
            return 0;
        }
        static int WINAPI Stop(int, int, LONG_PTR)
        {
            return 1;
        }
    };
    int calls = 0;
    CHECK(Decode(codec, png, 0, Calls::Count, reinterpret_cast<LONG_PTR>(&calls)).result == SPI_SUCCESS);
    CHECK(calls >= 2);
    CHECK(Decode(codec, png, 0, Calls::Stop, 0).result == SPI_ABORTED);
    RemoveTree(folder);
}

TEST_CASE("syscodec: IsSupported reads leading bytes from a 2 KB buffer or a handle it leaves in place")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-probe");
    std::string png = folder + "\\looks-like.txt";  // the name says nothing
    REQUIRE(Encode(png, GUID_ContainerFormatPng, 8, 8, Quadrants(8, 8, 255)));
    std::string text = folder + "\\plain.png";
    REQUIRE(WriteFileBytes(text, "hello", 5));

    // The buffer form: exactly 2 KB, placed at the end of a committed page
    // so that reading past it would fault.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    BYTE* pages = static_cast<BYTE*>(VirtualAlloc(nullptr, system.dwPageSize * 2, MEM_RESERVE, PAGE_NOACCESS));
    VirtualAlloc(pages, system.dwPageSize, MEM_COMMIT, PAGE_READWRITE);
    BYTE* probe = pages + system.dwPageSize - kSusieProbeSize;
    memset(probe, 0, kSusieProbeSize);
    HANDLE f = CreateFileA(png.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD read = 0;
    ReadFile(f, probe, kSusieProbeSize, &read, nullptr);
    CHECK(codec.isSupported(png.c_str(), probe) != 0);
    memset(probe, 0, kSusieProbeSize);
    memcpy(probe, "hello", 5);
    CHECK(codec.isSupported(text.c_str(), probe) == 0);
    VirtualFree(pages, 0, MEM_RELEASE);

    // The handle form: the position is where the caller left it.
    SetFilePointer(f, 0, nullptr, FILE_BEGIN);
    CHECK(codec.isSupported(png.c_str(), reinterpret_cast<void*>(f)) != 0);
    CHECK(SetFilePointer(f, 0, nullptr, FILE_CURRENT) == 0);
    CloseHandle(f);
    RemoveTree(folder);
}

TEST_CASE("syscodec: Ovilune finds it on PATH and shows a PNG and a JPEG, and a transparent PNG over the chip's colour")
{
    std::string pluginPath = DxlPath();
    std::string plugins = pluginPath.substr(0, pluginPath.find_last_of('\\')) + "\\plugins";
    DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    std::string saved(size, '\0');
    GetEnvironmentVariableA("PATH", &saved[0], size);
    SetEnvironmentVariableA("PATH", plugins.c_str());
    SetSusieFolder(nullptr);

    std::string folder = ScratchFolder("\x8e\xca\x90\x5e\x83\x5c");  // 写真ソ
    REQUIRE(Encode(folder + "\\a.png", GUID_ContainerFormatPng, 40, 30, Quadrants(40, 30, 255)));
    REQUIRE(Encode(folder + "\\b.jpg", GUID_ContainerFormatJpeg, 40, 30, Quadrants(40, 30, 255)));
    REQUIRE(Encode(folder + "\\c.png", GUID_ContainerFormatPng, 400, 300, Quadrants(400, 300, 255)));

    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    // c.png is larger than its fit chip: the plug-in decodes it straight to
    // the size the chip holds, and it shows as its quadrants all the same.
    SavedBlock fit = {4, IDM_FIT_ASPECT, 0, 0, 0, 0, 0};
    const struct {
        const char* name;
        SavedBlock* saved;
        int width, height;  // what CalcDefaultRect gives
        int right, bottom;  // a point inside the bottom-right quadrant
        int tolerance;
    } cases[] = {{"a.png", nullptr, 40, 30, 35, 25, 24}, {"b.jpg", nullptr, 40, 30, 35, 25, 24},
                 {"c.png", &fit, 54, 40, 45, 35, 1}};
    for (const auto& c : cases) {
        std::string name = c.name;
        CAPTURE(name);
        std::string text = folder + "\\" + c.name;
        HWND window = CreateChipWindow(60, 40);
        UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 1, c.saved);
        HLOCAL chip = nullptr;
        dxl.InitializeChip(&chip, window, record.bytes);
        int sizes[2] = {0, 0};
        dxl.CalcDefaultRect(chip, window, sizes, text.c_str());
        CHECK(sizes[0] == c.width);
        CHECK(sizes[1] == c.height);
        Surface surface;
        REQUIRE(CreateSurface(&surface, 60, 40));
        dxl.DrawChip(chip, window, surface.dc, text.c_str());
        CHECK(Near(PixelAt(surface, 5, 5), RGB(30, 20, 0), c.tolerance));
        CHECK(Near(PixelAt(surface, c.right, c.bottom), RGB(30, 180, 200), c.tolerance));
        CHECK(PixelAt(surface, 56, 38) == RGB(0, 0, 255));
        DestroySurface(&surface);
        dxl.UnInitializeChip(chip);
        DestroyWindow(window);
    }

    // A PNG in stripes 20 pixels wide, clear over magenta and half-covering
    // red: the plug-in hands its alpha to the library, which composes it
    // over the chip's blue, whole at 100 %, reduced (averaged weighing
    // colour by alpha) at 25 % and in the fit modes.
    std::vector<BYTE> veiled(400 * 200 * 4);
    for (size_t i = 0; i < veiled.size(); i += 4) {
        bool clear = (i / 4 % 400) % 40 < 20;
        const BYTE pixel[4] = {BYTE(clear ? 255 : 0), 0, 255, BYTE(clear ? 0 : 128)};
        memcpy(&veiled[i], pixel, 4);
    }
    REQUIRE(Encode(folder + "\\veiled.png", GUID_ContainerFormatPng, 400, 200, veiled));
    std::string veiledText = folder + "\\veiled.png";
    const struct {
        int mode, clientWidth, clientHeight, scale;
    } modes[] = {{IDM_ZOOM100, 120, 60, 1}, {IDM_ZOOM25, 120, 60, 4}, {IDM_FIT, 100, 50, 4}, {IDM_FIT_ASPECT, 100, 60, 4}};
    for (const auto& m : modes) {
        CAPTURE(m.mode);
        SavedBlock mode = {4, m.mode, 0, 0, 0, 0, 0};
        HWND window = CreateChipWindow(m.clientWidth, m.clientHeight);
        UpdateRecord record = MakeUpdateRecord(veiledText.c_str(), RGB(0, 0, 255), 1, &mode);
        HLOCAL chip = nullptr;
        dxl.InitializeChip(&chip, window, record.bytes);
        Surface surface;
        REQUIRE(CreateSurface(&surface, m.clientWidth, m.clientHeight));
        dxl.DrawChip(chip, window, surface.dc, veiledText.c_str());
        CHECK(PixelAt(surface, 10 / m.scale, 10 / m.scale) == RGB(0, 0, 255));
        CHECK(Near(PixelAt(surface, 30 / m.scale, 10 / m.scale), RGB(128, 0, 127), 1));
        DestroySurface(&surface);
        dxl.UnInitializeChip(chip);
        DestroyWindow(window);
    }
    UnloadDxl(&dxl);
    SetEnvironmentVariableA("PATH", saved.c_str());
    RemoveTree(folder);
}

TEST_CASE("syscodec: pictures declaring more than a host can hold are refused from their headers alone")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-huge");
    // 30000 x 30000 (0x7530) in each container's own header, a few dozen
    // bytes each: nothing a decoder could make a picture of.
    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\x75\x30\0\0\x75\x30\x08\x02\0\0\0", 29)
        + std::string(64, '\0');
    const std::string jpeg = std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0\1\1\0\0\1\0\1\0\0"
                                         "\xFF\xC0\0\x11\x08\x75\x30\x75\x30\x03\x01\x22\0\x02\x11\x01\x03\x11\x01"
                                         "\xFF\xDA\0\x08\x01\x01\0\0\x3F\0", 49) + std::string(64, '\x55');
    const std::string gifScreen = std::string("GIF89a\x30\x75\x30\x75\0\0\0,\0\0\0\0\1\0\1\0\0\2\2D\1\0;", 32);
    const std::string gifImage = std::string("GIF89a\1\0\1\0\0\0\0!\xF9\4\0\0\0\0\0,\0\0\0\0\x30\x75\x30\x75\0\2\2D\1\0;", 40);
    const std::string tiff = std::string("II*\0\x08\0\0\0\x02\0\0\1\3\0\1\0\0\0\x30\x75\0\0\1\1\4\0\1\0\0\0\x30\x75\0\0", 34)
        + std::string(16, '\0');
    const struct {
        const char* name;
        const std::string& bytes;
    } pictures[] = {
        {"huge.png", png}, {"huge.jpg", jpeg}, {"screen.gif", gifScreen}, {"image.gif", gifImage}, {"huge.tif", tiff},
    };
    PROCESS_MEMORY_COUNTERS before = {};
    before.cb = sizeof(before);
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
    ULONGLONG start = GetTickCount64();
    for (const auto& p : pictures) {
        std::string name = p.name;
        CAPTURE(name);
        std::string path = folder + "\\" + p.name;
        REQUIRE(WriteFileBytes(path, p.bytes.data(), p.bytes.size()));
        CHECK(Decode(codec, path).result == SPI_NO_MEMORY);
        SusiePictureInfo info = {};
        CHECK(codec.getPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_NO_MEMORY);
        HLOCAL infoBlock = nullptr, bitsBlock = nullptr;
        CHECK(codec.getPicture(p.bytes.data(), static_cast<LONG_PTR>(p.bytes.size()), SPI_INPUT_MEMORY, &infoBlock,
                               &bitsBlock, nullptr, 0) == SPI_NO_MEMORY);
    }
    PROCESS_MEMORY_COUNTERS after = {};
    after.cb = sizeof(after);
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
    CHECK(GetTickCount64() - start < 2000);  // a decoder at work takes tens of seconds
    CHECK(after.PeakPagefileUsage - before.PeakPagefileUsage < (64u << 20));
    RemoveTree(folder);
}

static std::string SysCodecPath()
{
    std::string path = DxlPath();
    return path.substr(0, path.find_last_of('\\')) + "\\plugins\\ifsyscodec.spi";
}

static DWORD WINAPI LoadAttachProbe(void* module)
{
    std::string exe = DxlPath();
    std::string probe = exe.substr(0, exe.find_last_of('\\')) + "\\tests\\attach_probe.dll";
    *static_cast<HMODULE*>(module) = LoadLibraryA(probe.c_str());
    return 0;
}

TEST_CASE("syscodec: its formats are listed from inside a DllMain, with no COM on the calling thread")
{
    REQUIRE(GetModuleHandleA(SysCodecPath().c_str()) == nullptr);
    SetEnvironmentVariableA("OVILUNE_ATTACH_PLUGIN", SysCodecPath().c_str());
    // A thread of its own, so that no earlier test's COM state counts.
    HMODULE probe = nullptr;
    HANDLE thread = CreateThread(nullptr, 0, LoadAttachProbe, &probe, 0, nullptr);
    REQUIRE(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    SetEnvironmentVariableA("OVILUNE_ATTACH_PLUGIN", nullptr);
    REQUIRE(probe);
    typedef const char* (*ResultFunction)(HRESULT*, HRESULT*);
    ResultFunction result = reinterpret_cast<ResultFunction>(
        reinterpret_cast<void*>(GetProcAddress(probe, "AttachProbeResult")));
    REQUIRE(reinterpret_cast<void*>(result) != nullptr);
    HRESULT before = S_OK, after = S_OK;
    std::string patterns = result(&before, &after);
    CHECK(before == CO_E_NOTINITIALIZED);
    CHECK(after == CO_E_NOTINITIALIZED);
    for (const char* ext : {"*.png;", "*.jpg;", "*.jpeg;", "*.gif;", "*.tif;", "*.tiff;"}) {
        CAPTURE(ext);
        CHECK(patterns.find(ext) != std::string::npos);
    }
    FreeLibrary(probe);
}

struct ComCase {
    DWORD mode;  // COINIT_* to start the thread with, or ~0 for none
    std::string path;
    bool decoded;
    HRESULT after;
    APTTYPE typeAfter;
};

static DWORD WINAPI DecodeOnThread(void* argument)
{
    ComCase* c = static_cast<ComCase*>(argument);
    bool ours = c->mode != ~0u && SUCCEEDED(CoInitializeEx(nullptr, c->mode));
    SysCodec codec;
    BYTE head[kSusieProbeSize] = {};
    HANDLE file = CreateFileA(c->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD read = 0;
    ReadFile(file, head, sizeof(head), &read, nullptr);
    CloseHandle(file);
    SusiePictureInfo info = {};
    c->decoded = codec.isSupported(c->path.c_str(), head) != 0
        && codec.getPictureInfo(c->path.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_SUCCESS
        && Decode(codec, c->path).result == SPI_SUCCESS;
    APTTYPEQUALIFIER qualifier;
    c->after = CoGetApartmentType(&c->typeAfter, &qualifier);
    if (ours)
        CoUninitialize();
    return 0;
}

TEST_CASE("syscodec: decodes on threads without COM, in a single-threaded or a multithreaded apartment, and leaves each as it was")
{
    std::string folder = ScratchFolder("syscodec-com");
    std::string path = folder + "\\c.png";
    REQUIRE(Encode(path, GUID_ContainerFormatPng, 40, 30, Quadrants(40, 30, 255)));
    const struct {
        DWORD mode;
        HRESULT after;
        APTTYPE type;
    } cases[] = {
        {~0u, CO_E_NOTINITIALIZED, APTTYPE_CURRENT},
        {COINIT_APARTMENTTHREADED, S_OK, APTTYPE_MAINSTA},
        {COINIT_MULTITHREADED, S_OK, APTTYPE_MTA},
    };
    for (const auto& expected : cases) {
        CAPTURE(expected.mode);
        ComCase c = {expected.mode, path, false, E_FAIL, APTTYPE_CURRENT};
        HANDLE thread = CreateThread(nullptr, 0, DecodeOnThread, &c, 0, nullptr);
        REQUIRE(thread);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CHECK(c.decoded);
        CHECK(c.after == expected.after);
        if (expected.after == S_OK)
            CHECK((c.typeAfter == expected.type || (expected.type == APTTYPE_MAINSTA && c.typeAfter == APTTYPE_STA)));
    }
    RemoveTree(folder);
}

TEST_CASE("syscodec: a registered decoder's extensions, split on ',' and ';', and listed without its DLL")
{
    // A decoder that exists only in the registry, as one whose DLL was
    // removed: listed, but nothing is decoded with it.
    static const char kInstance[] =
        "CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\{0F0D1E55-0000-4000-8000-0000000ABCDE}";
    static const char kDecoder[] = "CLSID\\{0F0D1E55-0000-4000-8000-0000000ABCDE}";
    HKEY key;
    REQUIRE(RegCreateKeyExA(HKEY_CLASSES_ROOT, kInstance, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
            == ERROR_SUCCESS);
    RegCloseKey(key);
    REQUIRE(RegCreateKeyExA(HKEY_CLASSES_ROOT, kDecoder, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
            == ERROR_SUCCESS);
    const char extensions[] = ".abc, .abd;.abe ; abf";
    const char name[] = "Vanished decoder";
    RegSetValueExA(key, "FileExtensions", 0, REG_SZ, reinterpret_cast<const BYTE*>(extensions), sizeof(extensions));
    RegSetValueExA(key, "FriendlyName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof(name));
    RegCloseKey(key);

    std::string patterns = "|", descriptions = "|";
    {
        REQUIRE(GetModuleHandleA(SysCodecPath().c_str()) == nullptr);  // the list is read once per load
        SysCodec codec;
        char buffer[1024];
        for (int infono = 2; codec.getInfo(infono, buffer, sizeof(buffer)) > 0; infono += 2) {
            patterns += std::string(buffer) + "|";
            codec.getInfo(infono + 1, buffer, sizeof(buffer));
            descriptions += std::string(buffer) + "|";
        }
        std::string folder = ScratchFolder("syscodec-vanished");
        const char data[64] = "not a picture of any kind";
        REQUIRE(WriteFileBytes(folder + "\\x.abc", data, sizeof(data)));
        CHECK(Decode(codec, folder + "\\x.abc").result != SPI_SUCCESS);
        RemoveTree(folder);
    }
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kInstance);
    RegDeleteKeyA(HKEY_CLASSES_ROOT, kDecoder);
    CHECK(patterns.find("|*.abc;*.abd;*.abe;*.abf|") != std::string::npos);
    CHECK(descriptions.find("|Vanished decoder|") != std::string::npos);
    // This machine's own decoders, whichever separator its registry uses.
    for (const char* pattern : {"*.jpg;*.jpeg", "*.tif;*.tiff"}) {
        CAPTURE(pattern);
        CHECK(patterns.find(pattern) != std::string::npos);
    }
}

// An uncompressed RGB TIFF of `bgra`, stating `orientation`, with `profile`
// as its ICC profile where one is given.
static std::string Tiff(int width, int height, const std::vector<BYTE>& bgra, int orientation,
                        const std::string& profile = std::string())
{
    std::string file("II*\0\x08\0\0\0", 8);
    auto put16 = [&file](unsigned v) { file += char(v & 0xFF); file += char(v >> 8); };
    auto put32 = [&](unsigned long v) { put16(v & 0xFFFF); put16(v >> 16); };
    auto entry = [&](unsigned tag, unsigned type, unsigned long count, unsigned long value) {
        put16(tag); put16(type); put32(count); put32(value);
    };
    const unsigned long entries = profile.empty() ? 10 : 11, bitsAt = 8 + 2 + entries * 12 + 4,
                        pixelsAt = bitsAt + 6;
    put16(entries);
    entry(256, 3, 1, width);
    entry(257, 3, 1, height);
    entry(258, 3, 3, bitsAt);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 2);
    entry(273, 4, 1, pixelsAt);
    entry(274, 3, 1, orientation);
    entry(277, 3, 1, 3);
    entry(278, 3, 1, height);
    entry(279, 4, 1, width * height * 3);
    if (!profile.empty())
        entry(34675, 7, profile.size(), pixelsAt + width * height * 3);
    put32(0);
    put16(8); put16(8); put16(8);
    for (int i = 0; i < width * height; i++) {
        file += char(bgra[i * 4 + 2]);
        file += char(bgra[i * 4 + 1]);
        file += char(bgra[i * 4]);
    }
    return file + profile;
}

// The quadrants, 40 x 30.
static std::string QuadrantTiff(int orientation, const std::string& profile = std::string())
{
    return Tiff(40, 30, Quadrants(40, 30, 255), orientation, profile);
}

TEST_CASE("syscodec: photos are shown upright as their Exif orientation says, mirrored ones too")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-orientation");
    std::string plain = folder + "\\plain.jpg";
    REQUIRE(Encode(plain, GUID_ContainerFormatJpeg, 40, 30, Quadrants(40, 30, 255)));
    std::string jpeg = ReadFileBytes(plain);
    // The stored picture's corners, and where each orientation shows them
    // (corner order: top left, top right, bottom left, bottom right).
    const COLORREF corner[4] = {RGB(30, 20, 0), RGB(220, 180, 0), RGB(220, 20, 200), RGB(30, 180, 200)};
    const int shows[9][4] = {
        {}, {0, 1, 2, 3}, {1, 0, 3, 2}, {3, 2, 1, 0}, {2, 3, 0, 1},
        {0, 2, 1, 3}, {2, 0, 3, 1}, {3, 1, 2, 0}, {1, 3, 0, 2},
    };
    for (int orientation = 1; orientation <= 8; orientation++) {
        CAPTURE(orientation);
        bool turned = orientation >= 5;
        struct {
            const char* name;
            std::string bytes;
            int tolerance;
        } kinds[] = {{"o.jpg", WithExifOrientation(jpeg, orientation), 24}, {"o.tif", QuadrantTiff(orientation), 0}};
        for (const auto& kind : kinds) {
            std::string name = kind.name;
            CAPTURE(name);
            std::string path = folder + "\\" + kind.name;
            REQUIRE(WriteFileBytes(path, kind.bytes.data(), kind.bytes.size()));
            SusiePictureInfo info = {};
            REQUIRE(codec.getPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_SUCCESS);
            CHECK(info.width == (turned ? 30 : 40));
            CHECK(info.height == (turned ? 40 : 30));
            Decoded d = Decode(codec, path);
            REQUIRE(d.result == SPI_SUCCESS);
            REQUIRE(d.width == info.width);
            REQUIRE(d.height == info.height);
            const int at[4][2] = {{4, 4}, {d.width - 5, 4}, {4, d.height - 5}, {d.width - 5, d.height - 5}};
            for (int c = 0; c < 4; c++) {
                CAPTURE(c);
                CHECK(Near(d.Pixel(at[c][0], at[c][1]), corner[shows[orientation][c]], kind.tolerance));
            }
        }
    }
    RemoveTree(folder);
}

TEST_CASE("syscodec: a picture decoded band by band to a smaller size is its whole decode reduced, in every orientation")
{
    SysCodec codec;
    ReducedGetPicture getReduced = codec.getReduced;
    bool exported = getReduced != nullptr;
    REQUIRE(exported);
    std::string folder = ScratchFolder("syscodec-reduced");
    std::string path = folder + "\\fine.tif";
    // Large enough for two bands whichever way it is turned, with detail
    // that shows a row taken from the wrong place.
    const int width = 1203, height = 1601;
    std::vector<BYTE> bgra(static_cast<size_t>(width) * height * 4, 255);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            BYTE* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = BYTE(x * 97 + y * 31);
            p[1] = BYTE(x * y * 13 + 7);
            p[2] = BYTE((x ^ y) * 71);
        }
    for (int orientation : {1, 3, 6, 8}) {
        CAPTURE(orientation);
        std::string tiff = Tiff(width, height, bgra, orientation);
        REQUIRE(WriteFileBytes(path, tiff.data(), tiff.size()));
        Decoded whole = Decode(codec, path);
        REQUIRE(whole.result == SPI_SUCCESS);
        const int w = whole.width / 4 + 1, h = whole.height / 5 + 1;
        BITMAPINFOHEADER header = {sizeof(header), whole.width, whole.height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
        PixelRows rows;
        REQUIRE(RowsOfDib(header, whole.bits.data(), &rows));
        size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t(3);
        std::vector<BYTE> expected(stride * h, 255);
        REQUIRE(ReduceArea(rows, w, h, w, h, &expected[stride * (h - 1)], -static_cast<ptrdiff_t>(stride), 3));

        HLOCAL info = nullptr, bits = nullptr;
        Wanted wanted = {w, h, 0, 0};
        REQUIRE(getReduced(path.c_str(), 0, SPI_INPUT_FILE, Wanted::Answer, reinterpret_cast<LONG_PTR>(&wanted), &info,
                           &bits, nullptr, 0) == SPI_SUCCESS);
        CHECK(wanted.toldWidth == whole.width);
        CHECK(wanted.toldHeight == whole.height);
        const BITMAPINFOHEADER* got = static_cast<const BITMAPINFOHEADER*>(LocalLock(info));
        CHECK(got->biWidth == w);
        CHECK(got->biHeight == h);
        CHECK(got->biBitCount == 24);
        REQUIRE(LocalSize(bits) >= expected.size());
        CHECK(memcmp(LocalLock(bits), expected.data(), expected.size()) == 0);
        LocalUnlock(bits);
        LocalUnlock(info);
        LocalFree(info);
        LocalFree(bits);
    }
    // The picture's own size or more gives it whole; sizes it cannot honour,
    // and a stop asked for, hand over nothing. (The last orientation turned
    // the picture to 1601 x 1203.)
    Wanted whole = {1601, 5000, 0, 0};
    HLOCAL info = nullptr, bits = nullptr;
    REQUIRE(getReduced(path.c_str(), 0, SPI_INPUT_FILE, Wanted::Answer, reinterpret_cast<LONG_PTR>(&whole), &info,
                       &bits, nullptr, 0) == SPI_SUCCESS);
    CHECK(static_cast<BITMAPINFOHEADER*>(LocalLock(info))->biHeight == 1203);
    LocalUnlock(info);
    LocalFree(info);
    LocalFree(bits);
    const long refused[][2] = {{0, 10}, {10, 0}, {1600, 1204}, {1602, 1202}};
    for (const auto& size : refused) {
        Wanted wanted = {size[0], size[1], 0, 0};
        info = bits = nullptr;
        CHECK(getReduced(path.c_str(), 0, SPI_INPUT_FILE, Wanted::Answer, reinterpret_cast<LONG_PTR>(&wanted), &info,
                         &bits, nullptr, 0) == SPI_NOT_IMPLEMENTED);
        CHECK(info == nullptr);
        CHECK(bits == nullptr);
    }
    info = bits = nullptr;
    struct Calls {
        static int WINAPI Stop(int, int, LONG_PTR)
        {
            return 1;
        }
    };
    Wanted small = {100, 100, 0, 0};
    CHECK(getReduced(path.c_str(), 0, SPI_INPUT_FILE, Wanted::Answer, reinterpret_cast<LONG_PTR>(&small), &info, &bits,
                     Calls::Stop, 0) == SPI_ABORTED);
    CHECK(info == nullptr);
    CHECK(bits == nullptr);
    RemoveTree(folder);
}

static bool AnswerCodecSettings(HWND dialog, void* context)
{
    // "ifsyscodec.spi の設定", in code page 932
    if (!dialog || WindowTextA(dialog) != "ifsyscodec.spi \x82\xcc\x90\xdd\x92\xe8")
        return false;
    int* seen = static_cast<int*>(context);
    *seen = static_cast<int>(IsDlgButtonChecked(dialog, 2001) | IsDlgButtonChecked(dialog, 2002) << 1);
    CheckDlgButton(dialog, 2001, BST_UNCHECKED);
    CheckDlgButton(dialog, 2002, BST_UNCHECKED);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    return true;
}

TEST_CASE("syscodec: the settings dialog turns orientation and colour profiles off per user; defaults stand where nothing sound is stored")
{
    static const char kKey[] = "Software\\Ovilune\\ifsyscodec";
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    SysCodec codec;
    typedef int(WINAPI * ConfigurationFunction)(HWND, int);
    ConfigurationFunction configure = reinterpret_cast<ConfigurationFunction>(
        reinterpret_cast<void*>(GetProcAddress(codec.module, "ConfigurationDlg")));
    REQUIRE(reinterpret_cast<void*>(configure) != nullptr);
    CHECK(configure(nullptr, 2) == -1);

    std::string folder = ScratchFolder("syscodec-settings");
    std::string plain = folder + "\\plain.jpg";
    REQUIRE(Encode(plain, GUID_ContainerFormatJpeg, 40, 30, Quadrants(40, 30, 255)));
    std::string portrait = WithExifOrientation(ReadFileBytes(plain), 6);
    std::string path = folder + "\\portrait.jpg";
    REQUIRE(WriteFileBytes(path, portrait.data(), portrait.size()));
    CHECK(Decode(codec, path).width == 30);  // upright by default

    // A value of the wrong kind is no setting at all.
    HKEY key;
    REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS);
    RegSetValueExA(key, "ApplyOrientation", 0, REG_SZ, reinterpret_cast<const BYTE*>("0"), 2);
    RegCloseKey(key);
    CHECK(Decode(codec, path).width == 30);

    HWND owner = CreateChipWindow(100, 100);
    int seen = -1;
    ArmDialogDriver(AnswerCodecSettings, &seen);
    CHECK(configure(owner, 1) == 0);
    DisarmDialogDriver();
    DestroyWindow(owner);
    CHECK(seen == 3);  // both settings on by default
    CHECK(Decode(codec, path).width == 40);  // as stored, now that the user said so
    DWORD profiles = 1, size = sizeof(profiles);
    CHECK(RegGetValueA(HKEY_CURRENT_USER, kKey, "UseColorProfile", RRF_RT_REG_DWORD, nullptr, &profiles, &size)
          == ERROR_SUCCESS);
    CHECK(profiles == 0);
    SusiePictureInfo info = {};
    CHECK(codec.getPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_SUCCESS);
    CHECK(info.width == 40);
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    RemoveTree(folder);
}

// --- embedded colour profiles --------------------------------------------------

// The profile in an iCCP chunk after IHDR, deflated as stored blocks.
static std::string WithPngProfile(const std::string& png, const std::string& profile)
{
    std::string z("\x78\x01", 2);
    size_t at = 0;
    do {
        size_t n = std::min<size_t>(profile.size() - at, 65535);
        z += char(at + n == profile.size() ? 1 : 0);
        z += char(n & 0xFF); z += char(n >> 8); z += char(~n & 0xFF); z += char((~n >> 8) & 0xFF);
        z += profile.substr(at, n);
        at += n;
    } while (at < profile.size());
    unsigned long a = 1, b = 0;
    for (unsigned char c : profile) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    z += Big32((b << 16) | a);
    std::string chunk = std::string("iCCPtest\0\0", 10) + z;
    unsigned long crc = 0xFFFFFFFF;
    for (unsigned char c : chunk) {
        crc ^= c;
        for (int k = 0; k < 8; k++)
            crc = crc & 1 ? 0xEDB88320 ^ (crc >> 1) : crc >> 1;
    }
    return png.substr(0, 33) + Big32(chunk.size() - 4) + chunk + Big32(~crc) + png.substr(33);
}

// What the system's own transform makes of one pixel, perceptual, to sRGB.
static COLORREF SystemSrgb(const std::string& profile, COLORREF colour)
{
    PROFILE embedded = {PROFILE_MEMBUFFER, const_cast<char*>(profile.data()), static_cast<DWORD>(profile.size())};
    WCHAR srgb[MAX_PATH];
    DWORD size = sizeof(srgb);
    GetStandardColorSpaceProfileW(nullptr, 0x73524742, srgb, &size);  // 'sRGB'
    PROFILE screen = {PROFILE_FILENAME, srgb, static_cast<DWORD>((lstrlenW(srgb) + 1) * sizeof(WCHAR))};
    HPROFILE both[2] = {OpenColorProfileW(&embedded, PROFILE_READ, FILE_SHARE_READ, OPEN_EXISTING),
                        OpenColorProfileW(&screen, PROFILE_READ, FILE_SHARE_READ, OPEN_EXISTING)};
    DWORD intent = INTENT_PERCEPTUAL;
    HTRANSFORM transform = CreateMultiProfileTransform(both, 2, &intent, 1, BEST_MODE, INDEX_DONT_CARE);
    BYTE in[3] = {GetBValue(colour), GetGValue(colour), GetRValue(colour)}, out[3] = {};
    TranslateBitmapBits(transform, in, BM_RGBTRIPLETS, 1, 1, 3, out, BM_RGBTRIPLETS, 3, nullptr, 0);
    DeleteColorTransform(transform);
    CloseColorProfile(both[0]);
    CloseColorProfile(both[1]);
    return RGB(out[2], out[1], out[0]);
}

static std::vector<BYTE> Solid(int width, int height, COLORREF colour)
{
    std::vector<BYTE> p(static_cast<size_t>(width) * height * 4, 255);
    for (size_t i = 0; i < p.size(); i += 4) {
        p[i] = GetBValue(colour);
        p[i + 1] = GetGValue(colour);
        p[i + 2] = GetRValue(colour);
    }
    return p;
}

static COLORREF Swapped(COLORREF c)
{
    return RGB(GetGValue(c), GetRValue(c), GetBValue(c));
}

TEST_CASE("syscodec: embedded colour profiles are converted to sRGB; broken ones and the setting off show the numbers")
{
    static const char kKey[] = "Software\\Ovilune\\ifsyscodec";
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-profiles");
    const COLORREF colour = RGB(200, 60, 110);
    std::string plainJpeg = folder + "\\plain.jpg", plainPng = folder + "\\plain.png";
    REQUIRE(Encode(plainJpeg, GUID_ContainerFormatJpeg, 32, 24, Solid(32, 24, colour)));
    REQUIRE(Encode(plainPng, GUID_ContainerFormatPng, 32, 24, Solid(32, 24, colour)));
    std::string jpeg = ReadFileBytes(plainJpeg), png = ReadFileBytes(plainPng);
    COLORREF raw = Decode(codec, plainJpeg).Pixel(16, 12);
    CHECK(Near(raw, colour, 4));
    std::string swap = ColordProfile("SwappedRedAndGreen.icc"), adobe = ColordProfile("AdobeRGB1998.icc");
    REQUIRE(swap.size() > 132);
    REQUIRE(adobe.size() > 132);
    std::string truncated = swap.substr(0, swap.size() / 2);
    std::string lying = Big32(0x00FFFFFF) + swap.substr(4);

    const struct {
        const char* name;
        std::string bytes;
        COLORREF expected;
    } cases[] = {
        {"swap.jpg", WithJpegProfile(jpeg, swap, {1}, 1), Swapped(raw)},
        {"swap.png", WithPngProfile(png, swap), Swapped(colour)},
        {"adobe.jpg", WithJpegProfile(jpeg, adobe, {1}, 1), SystemSrgb(adobe, raw)},
        {"split.jpg", WithJpegProfile(jpeg, swap, {1, 2}, 2), Swapped(raw)},
        {"reversed.jpg", WithJpegProfile(jpeg, swap, {2, 1}, 2), Swapped(raw)},
        {"missing.jpg", WithJpegProfile(jpeg, swap, {1}, 2), raw},
        {"twice.jpg", WithJpegProfile(jpeg, swap, {1, 1}, 2), raw},
        {"truncated.jpg", WithJpegProfile(jpeg, truncated, {1}, 1), raw},
        {"lying.jpg", WithJpegProfile(jpeg, lying, {1}, 1), raw},
        {"truncated.png", WithPngProfile(png, truncated), colour},
        {"swap.tif", QuadrantTiff(1, swap), Swapped(RGB(220, 180, 0))},
    };
    for (const auto& c : cases) {
        std::string name = c.name;
        CAPTURE(name);
        std::string path = folder + "\\" + c.name;
        REQUIRE(WriteFileBytes(path, c.bytes.data(), c.bytes.size()));
        Decoded d = Decode(codec, path);
        REQUIRE(d.result == SPI_SUCCESS);
        COLORREF seen = d.Pixel(d.width - 5, 4);  // in every picture's top right quadrant
        CAPTURE(seen);
        CHECK(Near(seen, c.expected, 3));
    }
    // The Adobe RGB mid-tone moved: not the numbers as stored.
    CHECK_FALSE(Near(SystemSrgb(adobe, raw), raw, 3));

    HKEY key;
    REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS);
    DWORD off = 0;
    RegSetValueExA(key, "UseColorProfile", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof(off));
    RegCloseKey(key);
    CHECK(Near(Decode(codec, folder + "\\swap.jpg").Pixel(16, 12), raw, 3));
    CHECK(Near(Decode(codec, folder + "\\swap.png").Pixel(16, 12), colour, 3));
    RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
    RemoveTree(folder);
}

static int WINAPI StopHalfWay(int done, int total, LONG_PTR)
{
    return done >= total / 2 ? 1 : 0;
}

TEST_CASE("syscodec: a photo's colours are converted beside its decode, every row, and a decode stopped half way keeps nothing")
{
    SysCodec codec;
    std::string folder = ScratchFolder("syscodec-piped-profile");
    const int width = 1200, height = 1000;  // past the megapixel from which a second processor converts
    std::vector<BYTE> pixels(static_cast<size_t>(width) * height * 4, 255);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            BYTE* p = &pixels[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = static_cast<BYTE>(x * 255 / (width - 1));
            p[1] = static_cast<BYTE>(y * 255 / (height - 1));
            p[2] = static_cast<BYTE>((x + y) / 9);
        }
    std::string plain = folder + "\\plain.jpg", profiled = folder + "\\swap.jpg";
    REQUIRE(Encode(plain, GUID_ContainerFormatJpeg, width, height, pixels));
    std::string bytes = WithJpegProfile(ReadFileBytes(plain), ColordProfile("SwappedRedAndGreen.icc"), {1}, 1);
    REQUIRE(WriteFileBytes(profiled, bytes.data(), bytes.size()));
    Decoded stored = Decode(codec, plain), shown = Decode(codec, profiled);
    REQUIRE(stored.result == SPI_SUCCESS);
    REQUIRE(shown.result == SPI_SUCCESS);
    int wrong = 0;
    for (int y = 0; y < height; y++)
        for (int x = y % 11; x < width; x += 11)
            wrong += !Near(shown.Pixel(x, y), Swapped(stored.Pixel(x, y)), 3);
    CHECK(wrong == 0);
    // Cut in half: the rows made after the data ended come grey, through the
    // same worker, once they are final.
    std::string cut = folder + "\\cut.jpg";
    REQUIRE(WriteFileBytes(cut, bytes.data(), bytes.size() / 2));
    Decoded half = Decode(codec, cut);
    REQUIRE(half.result == SPI_SUCCESS);
    CHECK(Near(half.Pixel(width / 2, height - 1), RGB(128, 128, 128), 2));

    Decode(codec, profiled, 0, StopHalfWay);  // the thread pool's worker started
    long long handles = CountKernelHandles(), committed = CommittedPrivateBytes();
    for (int i = 0; i < 20; i++)
        CHECK(Decode(codec, profiled, 0, StopHalfWay).result == SPI_ABORTED);
    CHECK(CountKernelHandles() == handles);
    CHECK(CommittedPrivateBytes() - committed < (1 << 20));
    RemoveTree(folder);
}

// --- allocation failures -----------------------------------------------------
// The plug-in's own imports of the heap, local-block and C runtime
// allocators are pointed at counting stand-ins that refuse the N-th request:
// every allocation the plug-in makes, libjpeg-turbo's and the C++ runtime's
// included (they are linked into it), goes through one of them. What the
// platform's codecs allocate inside their own DLLs is theirs.
namespace {
volatile LONG g_requests, g_failAt, g_live;
typedef LPVOID(WINAPI* HeapAllocFn)(HANDLE, DWORD, SIZE_T);
typedef BOOL(WINAPI* HeapFreeFn)(HANDLE, DWORD, LPVOID);
typedef HLOCAL(WINAPI* LocalAllocFn)(UINT, SIZE_T);
typedef HLOCAL(WINAPI* LocalFreeFn)(HLOCAL);
typedef void* (*MallocFn)(size_t);
typedef void* (*CallocFn)(size_t, size_t);
typedef void* (*ReallocFn)(void*, size_t);
typedef void (*FreeFn)(void*);
HeapAllocFn realHeapAlloc;
HeapFreeFn realHeapFree;
LocalAllocFn realLocalAlloc;
LocalFreeFn realLocalFree;
MallocFn realMalloc;
CallocFn realCalloc;
ReallocFn realRealloc;
FreeFn realFree;

bool Refused()
{
    return InterlockedIncrement(&g_requests) == g_failAt;
}
template <typename T>
T Counted(T made)
{
    if (made)
        InterlockedIncrement(&g_live);
    return made;
}
void Freed(const void* block)
{
    if (block)
        InterlockedDecrement(&g_live);
}
LPVOID WINAPI FailingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    return Refused() ? nullptr : Counted(realHeapAlloc(heap, flags, bytes));
}
BOOL WINAPI CountedHeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    Freed(block);
    return realHeapFree(heap, flags, block);
}
HLOCAL WINAPI FailingLocalAlloc(UINT flags, SIZE_T bytes)
{
    return Refused() ? nullptr : Counted(realLocalAlloc(flags, bytes));
}
HLOCAL WINAPI CountedLocalFree(HLOCAL block)
{
    Freed(block);
    return realLocalFree(block);
}
void* FailingMalloc(size_t bytes)
{
    return Refused() ? nullptr : Counted(realMalloc(bytes));
}
void* FailingCalloc(size_t count, size_t bytes)
{
    return Refused() ? nullptr : Counted(realCalloc(count, bytes));
}
void* FailingRealloc(void* block, size_t bytes)
{
    if (Refused())
        return nullptr;
    void* moved = realRealloc(block, bytes);
    if (!block && moved)
        InterlockedIncrement(&g_live);
    return moved;
}
void CountedFree(void* block)
{
    Freed(block);
    realFree(block);
}

// Points the module's import of dll!name at `replacement`; the import it
// had, or null where the module has none of that name.
void* PatchImport(HMODULE module, const char* dll, const char* name, void* replacement)
{
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; d++) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + d->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)
                || strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name, name) != 0)
                continue;
            DWORD protect;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protect);
            void* had = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), protect, &protect);
            return had;
        }
    }
    return nullptr;
}

template <typename F>
void Patch(HMODULE module, const char* dll, const char* name, F replacement, F* real)
{
    *real = reinterpret_cast<F>(PatchImport(module, dll, name, reinterpret_cast<void*>(replacement)));
}

// The plug-in's allocators swapped for the counting ones for as long as
// this lives.
struct FailingAllocators {
    explicit FailingAllocators(HMODULE m) : module(m)
    {
        Patch(module, "kernel32.dll", "HeapAlloc", FailingHeapAlloc, &realHeapAlloc);
        Patch(module, "kernel32.dll", "HeapFree", CountedHeapFree, &realHeapFree);
        Patch(module, "kernel32.dll", "LocalAlloc", FailingLocalAlloc, &realLocalAlloc);
        Patch(module, "kernel32.dll", "LocalFree", CountedLocalFree, &realLocalFree);
        Patch(module, "msvcrt.dll", "malloc", FailingMalloc, &realMalloc);
        Patch(module, "msvcrt.dll", "calloc", FailingCalloc, &realCalloc);
        Patch(module, "msvcrt.dll", "realloc", FailingRealloc, &realRealloc);
        Patch(module, "msvcrt.dll", "free", CountedFree, &realFree);
    }
    ~FailingAllocators()
    {
        PatchImport(module, "kernel32.dll", "HeapAlloc", reinterpret_cast<void*>(realHeapAlloc));
        PatchImport(module, "kernel32.dll", "HeapFree", reinterpret_cast<void*>(realHeapFree));
        PatchImport(module, "kernel32.dll", "LocalAlloc", reinterpret_cast<void*>(realLocalAlloc));
        PatchImport(module, "kernel32.dll", "LocalFree", reinterpret_cast<void*>(realLocalFree));
        PatchImport(module, "msvcrt.dll", "malloc", reinterpret_cast<void*>(realMalloc));
        PatchImport(module, "msvcrt.dll", "calloc", reinterpret_cast<void*>(realCalloc));
        PatchImport(module, "msvcrt.dll", "realloc", reinterpret_cast<void*>(realRealloc));
        PatchImport(module, "msvcrt.dll", "free", reinterpret_cast<void*>(realFree));
    }
    bool All() const
    {
        return realHeapAlloc && realHeapFree && realLocalAlloc && realLocalFree && realMalloc && realCalloc
            && realRealloc && realFree;
    }
    HMODULE module;
};
}  // namespace

TEST_CASE("syscodec: a refused allocation, whichever one of a load it is, is an error code or the picture, and keeps nothing")
{
    SysCodec codec;
    ReducedGetPicture getReduced = codec.getReduced;
    bool exported = getReduced != nullptr;
    REQUIRE(exported);
    std::string folder = ScratchFolder("syscodec-allocations");
    std::string plainJpeg = folder + "\\plain.jpg", plainPng = folder + "\\plain.png";
    REQUIRE(Encode(plainJpeg, GUID_ContainerFormatJpeg, 300, 200, Quadrants(300, 200, 255)));
    REQUIRE(Encode(plainPng, GUID_ContainerFormatPng, 300, 200, Quadrants(300, 200, 128)));
    std::string adobe = ColordProfile("AdobeRGB1998.icc");
    REQUIRE(adobe.size() > 132);
    // Both decoders, each with a profile to convert from.
    std::string jpeg = folder + "\\adobe.jpg", png = folder + "\\adobe.png";
    std::string jpegBytes = WithJpegProfile(ReadFileBytes(plainJpeg), adobe, {1}, 1);
    std::string pngBytes = WithPngProfile(ReadFileBytes(plainPng), adobe);
    REQUIRE(WriteFileBytes(jpeg, jpegBytes.data(), jpegBytes.size()));
    REQUIRE(WriteFileBytes(png, pngBytes.data(), pngBytes.size()));

    for (const std::string& path : {jpeg, png})
        for (bool reduced : {false, true}) {
            CAPTURE(path);
            CAPTURE(reduced);
            Wanted wanted = {120, 80, 0, 0};
            auto load = [&](HLOCAL* info, HLOCAL* bits) {
                return reduced ? getReduced(path.c_str(), 0, SPI_INPUT_FILE | kSpiStraightAlpha, Wanted::Answer,
                                            reinterpret_cast<LONG_PTR>(&wanted), info, bits, nullptr, 0)
                               : codec.getPicture(path.c_str(), 0, SPI_INPUT_FILE, info, bits, nullptr, 0);
            };
            // Once unhindered, for what the plug-in keeps while it is loaded
            // (the reduction's pool, the settings' first read).
            HLOCAL info = nullptr, bits = nullptr;
            REQUIRE(load(&info, &bits) == SPI_SUCCESS);
            LocalFree(info);
            LocalFree(bits);
            FailingAllocators failing(codec.module);
            REQUIRE(failing.All());
            int refusals = 0, pictures = 0;
            for (LONG n = 1;; n++) {
                g_requests = 0;
                g_failAt = n;
                g_live = 0;
                info = bits = nullptr;
                int result = load(&info, &bits);
                bool refused = g_requests >= n;
                CAPTURE(n);
                CHECK((result == SPI_SUCCESS || result == SPI_NO_MEMORY));
                if (result == SPI_SUCCESS) {
                    // A refused profile shows the picture as stored.
                    CHECK(info != nullptr);
                    CHECK(bits != nullptr);
                    realLocalFree(info);
                    realLocalFree(bits);
                    g_live -= 2;  // handed over, freed here
                    pictures++;
                } else {
                    CHECK(info == nullptr);
                    CHECK(bits == nullptr);
                }
                CHECK(g_live == 0);
                if (!refused) {
                    CHECK(result == SPI_SUCCESS);
                    break;
                }
                refusals++;
                REQUIRE(n < 10000);
            }
            MESSAGE(refusals << " allocations refused in turn, " << pictures - 1 << " of them gave the picture still");
            CHECK(refusals > 3);
        }
}
