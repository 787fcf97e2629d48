#include <doctest.h>

#include "test_support.h"

// "ソ" (0x83 0x5C) ends these folder names: its trail byte is the byte of "\".
static const char kFolderA[] = "\x83\x76\x83\x89\x83\x4f\x83\x43\x83\x93" "A\x83\x5c";  // プラグインAソ
static const char kFolderB[] = "\x83\x76\x83\x89\x83\x4f\x83\x43\x83\x93" "B\x83\x5c";

TEST_CASE("discovery: the bitmap entry always leads")
{
    DiscoverySettings settings;
    SetEnvironmentVariableA("PATH", nullptr);
    LoaderList list = BuildLoaderList();
    REQUIRE(list);
    CHECK(list->module == nullptr);
    CHECK(std::string(list->description) == "Bitmap");
    CHECK(std::string(list->pattern) == "*.bmp");
    CHECK(list->next == nullptr);
    FreeLoaderList(list);

    SetEnvironmentVariableA("PATH", "");
    list = BuildLoaderList();
    CHECK(CountEntries(list) == 1);
    FreeLoaderList(list);
}

TEST_CASE("discovery: a registry folder without plug-ins does not fall back to PATH")
{
    DiscoverySettings settings;
    ScratchDir emptyDir("empty");
    PluginFolder plugins("with-plugins", {{"tpic", nullptr}});
    REQUIRE(plugins.installed);
    const std::string& empty = emptyDir.folder;
    const std::string& withPlugins = plugins.Folder();
    SetEnvironmentVariableA("PATH", withPlugins.c_str());

    LoaderList list = LoadersFrom(empty);
    CHECK(CountEntries(list) == 1);
    FreeLoaderList(list);

    // Without the registry value PATH is searched.
    list = BuildLoaderList();
    CHECK(CountEntries(list) == 2);
    FreeLoaderList(list);
}

TEST_CASE("discovery: PATH pieces lose one real trailing backslash, and only the first folder with plug-ins counts")
{
    DiscoverySettings settings;
    ScratchDir aDir(kFolderA);
    PluginFolder bDir(kFolderB, {{"tpic", nullptr}});
    PluginFolder cDir("later", {{"tpic3", nullptr}});
    REQUIRE(bDir.installed);
    REQUIRE(cDir.installed);
    const std::string &a = aDir.folder, &b = bDir.Folder(), &c = cDir.Folder();

    // Empty pieces are skipped; "...ソ\" loses its "\", "...ソ" stays whole.
    std::string path = ";" + a + "\\;;" + b + ";" + c;
    SetEnvironmentVariableA("PATH", path.c_str());
    LoaderList list = BuildLoaderList();
    REQUIRE(CountEntries(list) == 2);
    CHECK(ModulePath(list->next->module) == b + "\\tpic.spi");
    FreeLoaderList(list);

    // The same folder given with its trailing "\" is found just the same.
    path = a + ";" + b + "\\;" + c;
    SetEnvironmentVariableA("PATH", path.c_str());
    list = BuildLoaderList();
    REQUIRE(CountEntries(list) == 2);
    CHECK(ModulePath(list->next->module) == b + "\\tpic.spi");
    FreeLoaderList(list);
}

TEST_CASE("discovery: a PATH piece of just a backslash searches and loads from the drive's root")
{
    DiscoverySettings settings;
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    REQUIRE(SetCurrentDirectoryA(windows));
    std::string root = std::string(windows, 2);  // "C:"
    REQUIRE(InstallPlugin("tpic", root, "ovilune-root-test.spi"));

    SetEnvironmentVariableA("PATH", "\\");
    LoaderList list = BuildLoaderList();
    REQUIRE(CountEntries(list) == 2);
    CHECK(ModulePath(list->next->module) == root + "\\ovilune-root-test.spi");
    FreeLoaderList(list);

    DeleteFileA((root + "\\ovilune-root-test.spi").c_str());
    SetCurrentDirectoryA(saved);
}

TEST_CASE("discovery: plug-ins that are not import filters are unloaded at once")
{
    DiscoverySettings settings;
    const char* rejected[] = {"archive", "shortversion", "noinfo"};
    PluginFolder plugins("kinds", {{"archive", nullptr}, {"shortversion", nullptr}, {"noinfo", nullptr}, {"tpic", nullptr}});
    REQUIRE(plugins.installed);
    const std::string& folder = plugins.Folder();
    REQUIRE(WriteFileBytes(folder + "\\garbage.spi", "MZ not really", 13));

    LoaderList list = LoadersFrom(folder);
    REQUIRE(CountEntries(list) == 2);
    CHECK(ModulePath(list->next->module) == folder + "\\tpic.spi");
    for (const char* variant : rejected) {
        CAPTURE(variant);
        CHECK(GetModuleHandleA((folder + "\\" + variant + ".spi").c_str()) == nullptr);
    }
    FreeLoaderList(list);
    CHECK(GetModuleHandleA((folder + "\\tpic.spi").c_str()) == nullptr);
}

TEST_CASE("discovery: a plug-in's formats are consecutive entries, and it is unloaded exactly once")
{
    DiscoverySettings settings;
    PluginFolder plugins("three", {{"tpic3", nullptr}});
    REQUIRE(plugins.installed);
    const std::string& folder = plugins.Folder();
    std::string plugin = folder + "\\tpic3.spi";

    LoaderList list = LoadersFrom(folder);
    REQUIRE(CountEntries(list) == 4);
    LoaderEntry* first = list->next;
    CHECK(first->module == first->next->module);
    CHECK(first->module == first->next->next->module);
    CHECK(std::string(first->pattern) == "*.tpc");
    CHECK(std::string(first->description) == "Test picture 1");
    CHECK(std::string(first->next->pattern) == "*.tp2");
    CHECK(std::string(first->next->next->description) == "Test picture 3");

    // Hold one reference of our own: if the list let go of the module more
    // than once, ours would be gone too.
    HMODULE extra = LoadLibraryA(plugin.c_str());
    REQUIRE(extra == first->module);
    FreeLoaderList(list);
    CHECK(GetModuleHandleA(plugin.c_str()) == extra);
    FreeLibrary(extra);
    CHECK(GetModuleHandleA(plugin.c_str()) == nullptr);
}

TEST_CASE("discovery: plug-in texts are taken by their reported length, never beyond the buffer")
{
    DiscoverySettings settings;
    PluginFolder plugins("texts", {{"infofull", "a-full.spi"}, {"infoshort", "b-short.spi"}, {"nodesc", "c-nodesc.spi"}});
    REQUIRE(plugins.installed);
    const std::string& folder = plugins.Folder();

    LoaderList list = LoadersFrom(folder);
    REQUIRE(CountEntries(list) == 4);
    bool sawFull = false, sawShort = false, sawNoDescription = false;
    for (LoaderEntry* e = list->next; e; e = e->next) {
        std::string module = ModulePath(e->module);
        if (module.find("a-full") != std::string::npos) {
            sawFull = true;
            CHECK(std::string(e->pattern) == std::string(1024, 'p'));
            CHECK(std::string(e->description) == std::string(1024, 'd'));
        } else if (module.find("b-short") != std::string::npos) {
            sawShort = true;
            CHECK(std::string(e->pattern) == "*.tpc");
            CHECK(std::string(e->description) == "Test");
        } else if (module.find("c-nodesc") != std::string::npos) {
            sawNoDescription = true;
            CHECK(std::string(e->pattern) == "*.tpc");
            CHECK(std::string(e->description) == "");
        }
    }
    CHECK(sawFull);
    CHECK(sawShort);
    CHECK(sawNoDescription);
    FreeLoaderList(list);
}

TEST_CASE("discovery: a registry folder too long to use counts as absent, whichever part is too long")
{
    DiscoverySettings settings;
    PluginFolder plugins("fallback", {{"tpic", nullptr}});
    REQUIRE(plugins.installed);
    const std::string& folder = plugins.Folder();
    // The pieces before the folder are too long to be folders at all.
    SetEnvironmentVariableA("PATH", (std::string(300, 'z') + ";" + folder).c_str());
    const struct {
        const char* what;
        std::string value;
    } cases[] = {
        {"the folder and its \\*.spi pass 259 characters", "C:\\" + std::string(254, 'x')},
        {"the value passes the buffer", "C:\\" + std::string(400, 'y')},
    };
    for (const auto& c : cases) {
        std::string what = c.what;
        CAPTURE(what);
        SetSusieFolder(c.value.c_str());
        LoaderList list = BuildLoaderList();
        CHECK(CountEntries(list) == 2);  // PATH's plug-in
        FreeLoaderList(list);
    }
}

// Leaves bytes that are not zero where the next call's locals will lie.
__attribute__((noinline)) static void DirtyStack()
{
    volatile char bytes[16384];
    for (size_t i = 0; i < sizeof(bytes); i++)
        bytes[i] = 'Q';
}

TEST_CASE("discovery: a registry value stored without its zero ends where the registry says")
{
    DiscoverySettings settings;
    PluginFolder plugins("unterminated", {{"tpic", nullptr}});
    REQUIRE(plugins.installed);
    const std::string& folder = plugins.Folder();
    HKEY key;
    REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Kobarune\\Susie\\Plug-in", 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr) == ERROR_SUCCESS);
    RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.data()),
                   static_cast<DWORD>(folder.size()));
    RegCloseKey(key);
    DirtyStack();
    LoaderList list = BuildLoaderList();
    CHECK(CountEntries(list) == 2);
    FreeLoaderList(list);
    SetSusieFolder(nullptr);
}
