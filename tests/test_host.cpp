// The built library, loaded and driven as the host drives it.
#include <doctest.h>

#include <cstring>

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "common/owners.h"
#include "hostkit.h"
#include "test_main.h"

static const int IDM_ZOOM100 = 10002;
static const int IDM_FIT_ASPECT = 10006;
static const int IDM_SLIDESHOW = 10008;
static const int IDM_SLIDESHOW_SETTINGS = 10009;

// PATH and the Susie registry value as the library will find them at attach.
typedef PluginSearchSettings AttachSettings;

static WORD ModuleMachine(HMODULE module)
{
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    LONG offset = reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew;
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + offset)->FileHeader.Machine;
}

static std::string ModuleFile(HMODULE module)
{
    char path[MAX_PATH] = "";
    return std::string(path, GetModuleFileNameA(module, path, MAX_PATH));
}

TEST_CASE("host: all nineteen exports are found by their undecorated names")
{
    Dxl dxl;
    std::string missing;
    CHECK(LoadDxl(&dxl, &missing));
    CHECK(missing == "");

    // Each leg runs the files of its own width, from its own build tree: the
    // i686 leg is the product users get, not its 64-bit twin.
    const WORD machine = sizeof(void*) == 4 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64;
    const char* tree = sizeof(void*) == 4 ? "\\i686\\" : "\\x86_64\\";
    HMODULE plugin = LoadLibraryA(TestPluginPath("tpic").c_str());
    REQUIRE(plugin);
    CHECK(ModuleMachine(dxl.module) == machine);
    CHECK(ModuleMachine(plugin) == machine);
    CHECK(ModuleFile(dxl.module).find(tree) != std::string::npos);
    CHECK(ModuleFile(plugin).find(tree) != std::string::npos);
    FreeLibrary(plugin);
    UnloadDxl(&dxl);
}

TEST_CASE("host: plug-ins are found at attach and unloaded exactly once at detach")
{
    AttachSettings settings;
    PluginFolder plugins("\x83\x76\x83\x89\x83\x4f\x83\x43\x83\x93\x83\x5c",  // プラグインソ
                         {{"tpic3", nullptr}, {"archive", nullptr}});
    REQUIRE(plugins.installed);
    const std::string& folder = plugins.Folder();
    std::string plugin = folder + "\\tpic3.spi";
    // The folder is given with its trailing "\", which must not eat the "ソ".
    SetEnvironmentVariableA("PATH", (folder + "\\").c_str());

    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    HMODULE loaded = GetModuleHandleA(plugin.c_str());
    CHECK(loaded != nullptr);
    HMODULE extra = LoadLibraryA(plugin.c_str());
    UnloadDxl(&dxl);
    CHECK(GetModuleHandleA(plugin.c_str()) == extra);
    FreeLibrary(extra);
    CHECK(GetModuleHandleA(plugin.c_str()) == nullptr);

    // The registry's folder wins over PATH.
    PluginFolder registry("registry", {{"tpic", nullptr}});
    REQUIRE(registry.installed);
    const std::string& other = registry.Folder();
    SetSusieFolder(other.c_str());
    REQUIRE(LoadDxl(&dxl, nullptr));
    CHECK(GetModuleHandleA((other + "\\tpic.spi").c_str()) != nullptr);
    CHECK(GetModuleHandleA(plugin.c_str()) == nullptr);
    UnloadDxl(&dxl);
    CHECK(GetModuleHandleA((other + "\\tpic.spi").c_str()) == nullptr);
}

static COLORREF Checks(int x, int y)
{
    return (x / 8 + y / 8) % 2 ? RGB(255, 255, 0) : RGB(0, 128, 0);
}

TEST_CASE("host: the typical road, from a new chip to its saved slideshow")
{
    AttachSettings settings;
    PluginFolder plugins("road-plugins", {{"tpic", nullptr}});
    REQUIRE(plugins.installed);
    ScratchDir picturesDir("\x8e\xca\x90\x5e");  // 写真
    const std::string& pictures = picturesDir.folder;
    SetSusieFolder(plugins.Folder().c_str());
    REQUIRE(WriteTpic(pictures + "\\one.tpc", 64, 48, Checks));
    REQUIRE(WriteTpic(pictures + "\\two.jpg", 64, 48, Checks, 128));
    REQUIRE(WriteBmp(pictures + "\\three.BMP", 64, 48, Checks));

    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    std::string text = pictures + "\\one.tpc\r\n" + pictures + "\\two.jpg\r\n" + pictures + "\\three.BMP\r\n";
    HWND window = CreateChipWindow(300, 200);
    SavedBlock none = {0, 0, 0, 0, 0, 0, 0};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 1, &none);
    HLOCAL chip = nullptr;
    CHECK(dxl.InitializeChip(&chip, window, record.bytes) == 0);
    REQUIRE(chip);

    int size[2] = {0, 0};
    CHECK(dxl.CalcDefaultRect(chip, window, size, text.c_str()) == 0);
    CHECK(size[0] == 64);
    CHECK(size[1] == 48);
    Surface surface;
    REQUIRE(CreateSurface(&surface, 300, 200));
    CHECK(dxl.DrawChip(chip, window, surface.dc, text.c_str()) == 1);
    CHECK(PixelAt(surface, 3, 3) == Checks(3, 3));
    CHECK(PixelAt(surface, 63, 47) == Checks(63, 47));
    CHECK(PixelAt(surface, 200, 100) == RGB(0, 0, 255));

    CHECK(dxl.DoDrawExMenu(chip, window, IDM_FIT_ASPECT) == 1);
    CHECK(dxl.CalcDefaultRect(chip, window, size, text.c_str()) == 0);
    CHECK(size[0] == 267);
    CHECK(size[1] == 200);
    CHECK(dxl.GetTimerSpan(chip) == 2);
    CHECK(dxl.DoDrawExMenu(chip, window, IDM_SLIDESHOW) == 0);
    CHECK(dxl.DoTimer(chip) == 0);
    CHECK(dxl.DoTimer(chip) == 0);
    CHECK(dxl.DoTimer(chip) == 3);
    // Every picture, whichever the slideshow moved to, decodes and fits.
    for (int i = 0; i < 3; i++) {
        CHECK(dxl.CalcDefaultRect(chip, window, size, text.c_str()) == 0);
        CHECK(size[0] == 267);
        CHECK(dxl.DrawChip(chip, window, surface.dc, text.c_str()) == 1);
        CHECK(PixelAt(surface, 0, 0) == Checks(0, 0));
        dxl.DoTimer(chip);
        dxl.DoTimer(chip);
        CHECK(dxl.DoTimer(chip) == 3);
    }

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 1);
    CHECK(dxl.GetSaveData(chip, nullptr, &block) == 1);
    SavedBlock saved;
    memcpy(&saved, GlobalLock(block), sizeof(saved));
    GlobalUnlock(block);
    GlobalFree(block);
    CHECK(saved.payloadSize == 20);
    CHECK(saved.viewMode == IDM_FIT_ASPECT);
    CHECK(saved.running == 1);

    // Stored and configured again: the slideshow runs on, fitted.
    UpdateRecord again = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 1, &saved);
    CHECK(dxl.Update(chip, window, again.bytes) == 1);
    HMENU menu = dxl.GetDrawExMenu(chip);
    CHECK(GetMenuItemCount(menu) == 11);
    CHECK((GetMenuState(menu, IDM_FIT_ASPECT, MF_BYCOMMAND) & MF_CHECKED) != 0);
    CHECK((GetMenuState(menu, IDM_SLIDESHOW, MF_BYCOMMAND) & MF_CHECKED) != 0);
    CHECK((GetMenuState(menu, IDM_ZOOM100, MF_BYCOMMAND) & MF_CHECKED) == 0);
    DestroyMenu(menu);

    CHECK(dxl.UnInitializeChip(chip) == 0);
    DestroySurface(&surface);
    DestroyWindow(window);
    UnloadDxl(&dxl);
}

static bool CancelSettings(HWND dialog, void* context)
{
    if (!dialog)
        return false;
    *static_cast<std::wstring*>(context) = WindowTextW(dialog);
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    return true;
}

TEST_CASE("host: the settings dialog comes from the library's own resources")
{
    AttachSettings settings;
    ScratchDir picturesDir("dialog-pictures");
    const std::string& pictures = picturesDir.folder;
    REQUIRE(WriteBmp(pictures + "\\a.bmp", 8, 8, Checks));
    REQUIRE(WriteBmp(pictures + "\\b.bmp", 8, 8, Checks));
    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    std::string text = pictures + "\\a.bmp\r\n" + pictures + "\\b.bmp";
    HWND window = CreateChipWindow(100, 100);
    UpdateRecord record = MakeUpdateRecord(text.c_str(), 0, 1, nullptr);
    HLOCAL chip = nullptr;
    dxl.InitializeChip(&chip, window, record.bytes);
    std::wstring caption;
    ArmDialogDriver(CancelSettings, &caption);
    CHECK(dxl.DoDrawExMenu(chip, window, IDM_SLIDESHOW_SETTINGS) == 0);
    DisarmDialogDriver();
    CHECK(caption == L"スライドショーの設定");
    dxl.UnInitializeChip(chip);
    DestroyWindow(window);
    UnloadDxl(&dxl);
}

TEST_CASE("host: the descriptive and inert entry points")
{
    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    BYTE kind[128];
    memset(kind, 0xFF, sizeof(kind));
    CHECK(dxl.DrawExSpecification(kind) == 0);
    BYTE expected[128];
    memset(expected, 0xFF, sizeof(expected));
    const int values[][2] = {{0, 256}, {4, 256}, {60, 110}, {64, 2}, {68, 252}};
    for (const auto& v : values)
        memcpy(expected + v[0], &v[1], 4);
    memcpy(expected + 8, "Ovilune", 8);
    CHECK(memcmp(kind, expected, sizeof(kind)) == 0);

    CHECK(dxl.MouseClik(1, 2, 3, 4) == 1);
    CHECK(dxl.ExchangeSendString(1, 2, 3, 4) == 0);
    char memo[4] = {'x', 'y', 'z', 0};
    CHECK(dxl.GetMemoString(nullptr, memo, 4) == 0);
    CHECK(memo[0] == '\0');
    CHECK(memo[1] == 'y');
    memo[0] = 'x';
    CHECK(dxl.GetMemoString(nullptr, memo, 0) == 0);
    CHECK(memo[0] == 'x');
    CHECK(dxl.GetMemoString(nullptr, nullptr, 10) == 0);
    UnloadDxl(&dxl);
}

// What the loader tells of a module going: the same record for both reasons.
struct LoaderNotice {
    ULONG flags;
    const void* fullName;
    const void* baseName;
    void* base;
    ULONG size;
};
typedef VOID(CALLBACK* LoaderNotified)(ULONG reason, const LoaderNotice* notice, void* context);
typedef LONG(NTAPI* RegisterLoaderNotices)(ULONG flags, LoaderNotified function, void* context, void** cookie);
typedef LONG(NTAPI* UnregisterLoaderNotices)(void* cookie);

struct Unloading {
    void* base;
    HANDLE done;
};

static VOID CALLBACK WhenUnloaded(ULONG reason, const LoaderNotice* notice, void* context)
{
    Unloading* unloading = static_cast<Unloading*>(context);
    if (reason == 2 && notice->base == unloading->base)  // LDR_DLL_NOTIFICATION_REASON_UNLOADED
        SetEvent(unloading->done);
}

// Unloads the library as a host does while a decode of its read-ahead is
// held open, checks that the decode keeps it loaded, lets the decode go
// through `gate` and checks that the library then leaves the process.
static void UnloadUnderReadAhead(Dxl* dxl, HANDLE gate)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    RegisterLoaderNotices registerNotices = reinterpret_cast<RegisterLoaderNotices>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrRegisterDllNotification")));
    UnregisterLoaderNotices unregisterNotices = reinterpret_cast<UnregisterLoaderNotices>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnregisterDllNotification")));
    REQUIRE(reinterpret_cast<void*>(registerNotices) != nullptr);
    Handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Unloading unloading = {dxl->module, done.handle};
    void* cookie = nullptr;
    REQUIRE(registerNotices(0, WhenUnloaded, &unloading, &cookie) == 0);
    std::string dxlPath = DxlPath();
    UnloadDxl(dxl);
    CHECK(GetModuleHandleA(dxlPath.c_str()) != nullptr);  // the decode holds it
    SetEvent(gate);
    CHECK(WaitForSingleObject(unloading.done, 60000) == WAIT_OBJECT_0);
    CHECK(GetModuleHandleA(dxlPath.c_str()) == nullptr);
    unregisterNotices(cookie);
}

TEST_CASE("host: the library unloaded while its next picture is read ahead in-process is unloaded once that decode has returned")
{
    AttachSettings settings;
    SetEnvironmentVariableA("OVILUNE_PLUGIN_HELPER", "0");
    PluginFolder plugins("unload-read-ahead-plugins", {{"anythread", nullptr}});
    REQUIRE(plugins.installed);
    ScratchDir imagesDir("unload-read-ahead");
    const std::string& images = imagesDir.folder;
    SetSusieFolder(plugins.Folder().c_str());
    REQUIRE(WriteSolidTpic(images + "\\a.tpc", 40, 30, RGB(200, 0, 0)));
    REQUIRE(WriteSolidTpic(images + "\\b.tpc", 40, 30, RGB(0, 200, 0)));
    std::string text = images + "\\a.tpc\r\n" + images + "\\b.tpc";
    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    std::string pluginPath = plugins.dir.Path("anythread.spi");
    TestPluginCounters* counters = PluginCounters(GetModuleHandleA(pluginPath.c_str()));
    REQUIRE(counters);
    HWND window = CreateChipWindow(80, 60);
    SavedBlock running = {20, IDM_ZOOM100, 1, 1, 1, 0, 0};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 1, &running);
    HLOCAL chip = nullptr;
    dxl.InitializeChip(&chip, window, record.bytes);
    Handle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr)), gate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    counters->hostThread = GetCurrentThreadId();  // the decode held open is the one off this thread
    counters->entered = entered.handle;
    counters->gate = gate.handle;
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));
    dxl.DrawChip(chip, window, surface.dc, text.c_str());
    REQUIRE(WaitForSingleObject(entered.handle, 10000) == WAIT_OBJECT_0);

    // Ended and unloaded as a host does it, the decode still held open.
    dxl.UnInitializeChip(chip);
    UnloadUnderReadAhead(&dxl, gate.handle);
    CHECK(GetModuleHandleA(pluginPath.c_str()) == nullptr);  // its plug-ins went with it
    DestroySurface(&surface);
    DestroyWindow(window);
}

// Shows the one picture of `text` in a chip of its own, as a host does, and
// says whether the picture (not "load error") was painted.
static bool ShowsPicture(Dxl& dxl, const std::string& text, COLORREF expected)
{
    HWND window = CreateChipWindow(80, 60);
    UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 1, nullptr);
    HLOCAL chip = nullptr;
    dxl.InitializeChip(&chip, window, record.bytes);
    Surface surface;
    bool shown = chip && CreateSurface(&surface, 80, 60) && dxl.DrawChip(chip, window, surface.dc, text.c_str()) == 1
        && PixelAt(surface, 2, 2) == expected;
    if (chip)
        dxl.UnInitializeChip(chip);
    DestroyWindow(window);
    return shown;
}

TEST_CASE("host: plug-ins that hang, end their process or wreck their heap take only the helper down")
{
    AttachSettings settings;
    SetEnvironmentVariableA("OVILUNE_HELPER_LIMIT_MS", "2000");
    ScratchDir pictures("stopping-pictures");
    REQUIRE(WriteSolidTpic(pictures.Path("p.tpc"), 40, 30, RGB(0, 160, 80)));
    REQUIRE(WriteSolidBmp(pictures.Path("b.bmp"), 40, 30, RGB(200, 0, 0)));
    const struct {
        const char* variant;
        const char* says;  // null: a picture may come, the host lives on either way
    } cases[] = {
        {"hangs", "hangs.spi did not answer within 2000 ms"},
        {"exits", "exits.spi ended the plug-in helper (exit code 0x00000003)"},
        {"fastfails", "fastfails.spi ended the plug-in helper"},
        {"overruns", nullptr},
    };
    for (const auto& c : cases) {
        CAPTURE(c.variant);
        PluginFolder plugins(std::string("stopping-") + c.variant, {{c.variant, nullptr}});
        REQUIRE(plugins.installed);
        SetSusieFolder(plugins.Folder().c_str());
        Dxl dxl;
        REQUIRE(LoadDxl(&dxl, nullptr));
        DebugLines debug;
        bool first = ShowsPicture(dxl, pictures.Path("p.tpc"), RGB(0, 160, 80));
        std::vector<std::string> lines = debug.Take();
        if (c.says) {
            CHECK_FALSE(first);
            REQUIRE_FALSE(lines.empty());
            CHECK(lines[0].find(c.says) != std::string::npos);
            // Disabled: the next picture of its kind is no plug-in's, at once.
            CHECK_FALSE(ShowsPicture(dxl, pictures.Path("p.tpc"), RGB(0, 160, 80)));
            lines = debug.Take();
            REQUIRE_FALSE(lines.empty());
            CHECK(lines[0].find("no plug-in takes the file") != std::string::npos);
        }
        // The host itself lives on and shows what it reads itself.
        CHECK(ShowsPicture(dxl, pictures.Path("b.bmp"), RGB(200, 0, 0)));
        UnloadDxl(&dxl);
    }
    SetEnvironmentVariableA("OVILUNE_HELPER_LIMIT_MS", nullptr);
}

// In a child run (see the hook below): shows the picture through the
// library, so that a helper runs, says so through the inherited event, and
// waits to be ended from outside.
static int HoldHelper(const char* picture, const char* readyHandle)
{
    HANDLE ready = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(strtoull(readyHandle, nullptr, 16)));
    Dxl dxl;
    if (!LoadDxl(&dxl, nullptr) || !ShowsPicture(dxl, picture, RGB(0, 160, 80)))
        return 2;
    SetEvent(ready);
    Sleep(INFINITE);
    return 3;
}

static int BeforeHostTests(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "--hold-helper") == 0)
        return HoldHelper(argv[2], argv[3]);
    return kRunTests;
}

static BeforeTestsHook g_hostChild(BeforeHostTests);

// The counting plug-in as the library's, and one green TPIC picture, p.tpc.
struct OneTpic {
    explicit OneTpic(const std::string& name)
        : plugins(name + "-plugins", {{"tpic", nullptr}}), pictures(name + "-pictures")
    {
        REQUIRE(plugins.installed);
        SetSusieFolder(plugins.Folder().c_str());
        REQUIRE(WriteSolidTpic(pictures.Path("p.tpc"), 40, 30, kGreen));
    }
    static constexpr COLORREF kGreen = RGB(0, 160, 80);
    AttachSettings settings;
    PluginFolder plugins;
    ScratchDir pictures;
};

TEST_CASE("host: no helper is left once its host has ended, even when the host was killed")
{
    OneTpic scene("held-helper");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    Handle ready(CreateEventW(&inherit, TRUE, FALSE, nullptr));
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    char handle[32];
    snprintf(handle, sizeof(handle), "%llx", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(ready.handle)));
    std::string command = std::string("\"") + self + "\" --hold-helper \"" + scene.pictures.Path("p.tpc") + "\" " + handle;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    REQUIRE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child));
    Handle childProcess(child.hProcess), childThread(child.hThread);
    HANDLE waits[2] = {ready.handle, child.hProcess};
    REQUIRE(WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0);

    DWORD helperId = PluginHelperOf(child.dwProcessId);
    REQUIRE(helperId != 0);
    Handle helper(OpenProcess(SYNCHRONIZE, FALSE, helperId));
    REQUIRE(helper.handle != nullptr);

    TerminateProcess(child.hProcess, 9);
    CHECK(WaitForSingleObject(helper.handle, 30000) == WAIT_OBJECT_0);
}

TEST_CASE("host: a helper ended from outside between two pictures is replaced, and the next picture shows")
{
    OneTpic scene("replaced-helper");
    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    CHECK(ShowsPicture(dxl, scene.pictures.Path("p.tpc"), OneTpic::kGreen));
    DWORD helperId = PluginHelperOf(GetCurrentProcessId());
    REQUIRE(helperId != 0);
    {
        Handle helper(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, helperId));
        REQUIRE(helper.handle != nullptr);
        TerminateProcess(helper.handle, 5);
        REQUIRE(WaitForSingleObject(helper.handle, 30000) == WAIT_OBJECT_0);
    }
    CHECK(ShowsPicture(dxl, scene.pictures.Path("p.tpc"), OneTpic::kGreen));
    DWORD replacement = PluginHelperOf(GetCurrentProcessId());
    CHECK(replacement != 0);
    CHECK(replacement != helperId);
    UnloadDxl(&dxl);
    // Unloading the library ends its helper.
    CHECK(PluginHelperOf(GetCurrentProcessId()) == 0);
}

// A picture held open in GetPicture wherever it is decoded (see
// GateName): `entered` is set once a decode has begun, and `gate` lets one
// decode through each time it is set.
struct HeldPicture {
    explicit HeldPicture(const std::string& path)
    {
        char name[40];
        GateName(path.c_str(), 'e', name);
        entered.handle = CreateEventA(nullptr, TRUE, FALSE, name);
        GateName(path.c_str(), 'g', name);
        gate.handle = CreateEventA(nullptr, FALSE, FALSE, name);
        REQUIRE(entered.Valid());
        REQUIRE(gate.Valid());
    }
    Handle entered, gate;
};

// A chip whose slideshow runs in list order, on the first picture of a
// two-line text that starts with p.tpc: chips start on a picture at random,
// so it starts on a text whose second picture has another size and steps
// on when that is the one it shows. Nothing is read ahead before it returns.
static HLOCAL ChipOnFirst(Dxl& dxl, HWND window, const OneTpic& scene)
{
    std::string wider = scene.pictures.Path("wider.tpc");
    REQUIRE(WriteSolidTpic(wider, 50, 30, OneTpic::kGreen));
    std::string text = scene.pictures.Path("p.tpc") + "\r\n" + wider;
    SavedBlock running = {20, IDM_ZOOM100, 1, 1, 1, 0, 0};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 1, &running);
    HLOCAL chip = nullptr;
    dxl.InitializeChip(&chip, window, record.bytes);
    REQUIRE(chip);
    int size[2] = {0, 0};
    dxl.CalcDefaultRect(chip, window, size, text.c_str());
    if (size[0] == 50)
        CHECK(dxl.DoTimer(chip) == 3);  // the reload waits for the next paint
    return chip;
}

TEST_CASE("host: any plug-in reads ahead in a helper of its own; the host's own pictures never wait behind it")
{
    OneTpic scene("helper-read-ahead");
    const COLORREF red = RGB(200, 0, 0);
    std::string green = scene.pictures.Path("p.tpc"), first = scene.pictures.Path("a-gated.tpc"),
                second = scene.pictures.Path("b-gated.tpc");
    REQUIRE(WriteSolidTpic(first, 40, 30, red));
    REQUIRE(WriteSolidTpic(second, 40, 30, red));
    HeldPicture heldFirst(first), heldSecond(second);
    Dxl dxl;
    REQUIRE(LoadDxl(&dxl, nullptr));
    Surface surface;
    REQUIRE(CreateSurface(&surface, 80, 60));

    // The plug-in does not say it may run off the host's thread; in the
    // helper it prepares the next picture all the same.
    std::string text = green + "\r\n" + first;
    HWND window = CreateChipWindow(80, 60);
    HLOCAL chip = ChipOnFirst(dxl, window, scene);
    REQUIRE(dxl.DrawChip(chip, window, surface.dc, text.c_str()) == 1);
    CHECK(PixelAt(surface, 30, 20) == OneTpic::kGreen);
    REQUIRE(WaitForSingleObject(heldFirst.entered.handle, 60000) == WAIT_OBJECT_0);
    // While that decode is held, another chip's picture of the same plug-in shows.
    CHECK(ShowsPicture(dxl, green, OneTpic::kGreen));
    // One decode is let through: the step shows it without a second (which
    // the gate would hold until the time limit, and the chip say "load error").
    SetEvent(heldFirst.gate.handle);
    CHECK(dxl.DoTimer(chip) == 3);
    REQUIRE(dxl.DrawChip(chip, window, surface.dc, text.c_str()) == 1);
    CHECK(PixelAt(surface, 30, 20) == red);
    dxl.UnInitializeChip(chip);
    DestroyWindow(window);

    // A chip that lets go of its pictures, reloads one and ends while its
    // next one is held in the helper; then the library is unloaded under it.
    text = green + "\r\n" + second;
    window = CreateChipWindow(80, 60);
    chip = ChipOnFirst(dxl, window, scene);
    REQUIRE(dxl.DrawChip(chip, window, surface.dc, text.c_str()) == 1);
    REQUIRE(WaitForSingleObject(heldSecond.entered.handle, 60000) == WAIT_OBJECT_0);
    dxl.Zoom(chip, nullptr, 0);
    FillSurface(&surface, RGB(0, 0, 0));
    REQUIRE(dxl.DrawChip(chip, window, surface.dc, text.c_str()) == 1);
    CHECK(PixelAt(surface, 30, 20) == OneTpic::kGreen);
    dxl.UnInitializeChip(chip);
    DestroyWindow(window);
    UnloadUnderReadAhead(&dxl, heldSecond.gate.handle);
    CHECK(PluginHelperOf(GetCurrentProcessId()) == 0);
}

// Answers the plug-in's message box, found in whichever process shows it,
// once it has been up for longer than the helper's time limit.
static DWORD WINAPI AnswerLate(void* limitMs)
{
    HWND box = nullptr;
    for (int i = 0; i < 600 && !box; i++) {
        box = FindWindowA("#32770", "tpic asks");
        if (!box)
            Sleep(50);
    }
    if (!box)
        return 1;
    Sleep(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(limitMs)) + 1000);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

TEST_CASE("host: a plug-in that waits for the user, or reports progress, past the time limit is not ended")
{
    AttachSettings settings;
    ScratchDir pictures("patient-pictures");
    REQUIRE(WriteSolidTpic(pictures.Path("p.tpc"), 40, 30, RGB(0, 160, 80)));
    // The box is answered a second after the limit has passed; it takes a
    // new process's first window a few seconds to appear under Wine, which
    // counts against the limit. Progress goes on for 3 s.
    const struct {
        const char* variant;
        DWORD limitMs;
    } cases[] = {{"asks", 5000}, {"slow", 2000}};
    for (const auto& c : cases) {
        std::string variant = c.variant;
        CAPTURE(variant);
        char limit[16];
        snprintf(limit, sizeof(limit), "%lu", static_cast<unsigned long>(c.limitMs));
        SetEnvironmentVariableA("OVILUNE_HELPER_LIMIT_MS", limit);
        PluginFolder plugins("patient-" + variant, {{c.variant, nullptr}});
        REQUIRE(plugins.installed);
        SetSusieFolder(plugins.Folder().c_str());
        Dxl dxl;
        REQUIRE(LoadDxl(&dxl, nullptr));
        DebugLines debug;
        Handle answerer(variant == "asks" ? CreateThread(nullptr, 0, AnswerLate,
                                                         reinterpret_cast<void*>(ULONG_PTR(c.limitMs)), 0, nullptr)
                                          : nullptr);
        CHECK(ShowsPicture(dxl, pictures.Path("p.tpc"), RGB(0, 160, 80)));
        std::vector<std::string> lines = debug.Take();
        CHECK(lines.empty());
        for (const std::string& line : lines)
            MESSAGE(line);
        if (answerer.Valid()) {
            DWORD answered = 1;
            WaitForSingleObject(answerer.handle, INFINITE);
            GetExitCodeThread(answerer.handle, &answered);
            CHECK(answered == 0);
        }
        UnloadDxl(&dxl);
    }
    SetEnvironmentVariableA("OVILUNE_HELPER_LIMIT_MS", nullptr);
}
