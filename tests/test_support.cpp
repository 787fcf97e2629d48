#include <doctest.h>

#include "test_support.h"

#include <cstring>

#include "showing/read_ahead.h"
#include "test_main.h"

static COLORREF Stripes(int x, int y)
{
    return (x / 10 + y / 10) % 2 ? RGB(250, 200, 20) : RGB(20, 120, 240);
}

const Pictures& TestPictures()
{
    static Pictures pictures;
    if (pictures.folder.empty()) {
        pictures.folder = ScratchFolder("\x83\x73\x83\x4e\x83\x60\x83\x83");  // ピクチャ
        const struct {
            std::string* path;
            const char* name;
            int width, height;
        } files[] = {
            {&pictures.p640x480, "640x480.bmp", 640, 480},
            {&pictures.p100x50, "100x50.bmp", 100, 50},
            {&pictures.p400x300, "400x300.bmp", 400, 300},
            {&pictures.p5x3, "5x3.bmp", 5, 3},
            {&pictures.p20x10, "20x10.bmp", 20, 10},
        };
        for (const auto& f : files) {
            *f.path = pictures.folder + "\\" + f.name;
            WriteBmp(*f.path, f.width, f.height, Stripes);
        }
    }
    return pictures;
}

TestChip::TestChip(const std::string& chipText, int clientWidth, int clientHeight,
                   const SavedBlock* block, COLORREF colour, int keep)
    : handle(nullptr), window(CreateChipWindow(clientWidth, clientHeight)), text(chipText),
      background(colour)
{
    SavedBlock none = {0, 0, 0, 0, 0, 0, 0};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), background, keep, block ? block : &none);
    InitializeChip(&handle, window, record.bytes);
}

TestChip::~TestChip()
{
    UnInitializeChip(handle);
    DestroyWindow(window);
}

void TestChip::Reconfigure(const SavedBlock* block, int keep)
{
    SavedBlock none = {0, 0, 0, 0, 0, 0, 0};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), background, keep, block ? block : &none);
    Update(handle, window, record.bytes);
}

// Scenes are numbered, so that every one has folders of its own: a
// plug-in that faulted stays loaded, and may still hold a picture open.
static int g_scenes;

static std::string ImagesFolderName(const char* given)
{
    g_scenes++;
    return given ? std::string(given) : "scene" + std::to_string(g_scenes) + "-images";
}

// Installs each variant in a folder of its own and joins their lists in
// that order.
static LoaderList InstallScene(const std::vector<std::string>& variants, std::list<PluginFolder>* folders)
{
    int scenes = g_scenes;
    std::vector<std::string> paths;
    for (const std::string& variant : variants) {
        folders->emplace_back("scene" + std::to_string(scenes) + "-" + std::to_string(folders->size()) + "-" + variant,
                              std::initializer_list<PluginFile>{{variant.c_str(), nullptr}});
        REQUIRE(folders->back().installed);
        paths.push_back(folders->back().Folder());
    }
    LoaderList list = nullptr;
    for (const std::string& path : paths)
        list = Joined({path}, list);
    return list;
}

PluginScene::PluginScene(std::initializer_list<const char*> variants, const char* imagesName)
    : PluginScene(std::vector<std::string>(variants.begin(), variants.end()), imagesName)
{
}

PluginScene::PluginScene(const std::vector<std::string>& variants, const char* imagesName)
    : images(ImagesFolderName(imagesName)), loaders(InstallScene(variants, &folders))
{
}

PluginScene::~PluginScene()
{
    // A decode still held at a gate (a REQUIRE failed before the test let it
    // go) is let go, so that waiting for it ends.
    for (HANDLE event : events)
        SetEvent(event);
    WaitForReadAheadIdle();
    for (size_t i = 0; Entry(i); i++)
        if (TestPluginCounters* counters = Counters(i))
            counters->entered = counters->gate = nullptr;
    for (HANDLE event : events)
        CloseHandle(event);
}

LoaderEntry* PluginScene::Entry(size_t i) const
{
    LoaderEntry* entry = g_module.loaders ? g_module.loaders->next : nullptr;
    for (; entry && i; i--) {
        HMODULE module = entry->module;
        while (entry && entry->module == module)
            entry = entry->next;
    }
    return entry;
}

TestPluginCounters* PluginScene::Counters(size_t i) const
{
    LoaderEntry* entry = Entry(i);
    return entry ? PluginCounters(entry->module) : nullptr;
}

TestPluginCounters* PluginScene::Gate(size_t i)
{
    TestPluginCounters* counters = Counters(i);
    REQUIRE(counters);
    events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    counters->entered = events[events.size() - 2];
    counters->gate = events.back();
    return counters;
}

int RunOwnFaultChild();
int RunOverflowChild(const char* frames);
int RunWorkerOverflowChild();

// What a child run says when all went well: not 0, which a process whose
// main thread the system ended can also report, as Wine does when another
// thread of it outlives that one.
static int ChildResult(int failedStep)
{
    return failedStep ? failedStep : kChildPassed;
}

// The white-box tests run some cases in a child run of themselves; and
// linked in directly, the library's dialog templates are the executable's.
static int BeforeWhiteBoxTests(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--fault-in-own-code") == 0)
        return RunOwnFaultChild();
    if (argc == 3 && strcmp(argv[1], "--overflows") == 0)
        return ChildResult(RunOverflowChild(argv[2]));
    if (argc == 2 && strcmp(argv[1], "--worker-overflow") == 0)
        return ChildResult(RunWorkerOverflowChild());
    g_module.instance = GetModuleHandleA(nullptr);
    return kRunTests;
}

static BeforeTestsHook g_whiteBox(BeforeWhiteBoxTests);
