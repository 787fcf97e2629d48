#include <doctest.h>

#include <windows.h>
#include <commdlg.h>
#include <dlgs.h>

#include <cstring>

#include "commands/image_picker.h"
#include "test_support.h"

static std::string FilterBytes(LoaderList list)
{
    HeapArray<char> filter;
    REQUIRE(BuildFileFilter(list, &filter));
    return std::string(filter.items, filter.count);
}

static const std::string kAllImages = "\x91S\x89\xe6\x91\x9c\xcc\xa7\xb2\xd9";  // 全画像ﾌｧｲﾙ

TEST_CASE("picker: the file-type filter, to its exact bytes")
{
    DiscoverySettings settings;
    SetEnvironmentVariableA("PATH", nullptr);
    LoaderList bitmapOnly = BuildLoaderList();
    CHECK(FilterBytes(bitmapOnly) == kAllImages + std::string("\0*.bmp;\0Bitmap\0*.bmp\0\0", 22));
    FreeLoaderList(bitmapOnly);

    PluginFolder plugins("filter", {{"tpic3", nullptr}});
    REQUIRE(plugins.installed);
    LoaderList list = LoadersFrom(plugins.Folder());
    std::string expected = kAllImages + std::string("\0", 1) + "*.bmp;*.tpc;*.tp2;*.tp3;" + std::string("\0", 1)
        + "Bitmap" + std::string("\0", 1) + "*.bmp" + std::string("\0", 1)
        + "Test picture 1" + std::string("\0", 1) + "*.tpc" + std::string("\0", 1)
        + "Test picture 2" + std::string("\0", 1) + "*.tp2" + std::string("\0", 1)
        + "Test picture 3" + std::string("\0", 1) + "*.tp3" + std::string("\0\0", 2);
    CHECK(FilterBytes(list) == expected);
    FreeLoaderList(list);
}

static std::string Folder(const char* text)
{
    char folder[kPathBufferSize];
    memset(folder, 'X', sizeof(folder));
    InitialFolder(text, folder);
    return folder;
}

TEST_CASE("picker: the initial folder is the last line's, with code page 932 rules")
{
    CHECK(Folder(nullptr) == "");
    CHECK(Folder("\r\n") == "");
    CHECK(Folder("D:\\img\\a.jpg") == "D:\\img");
    CHECK(Folder("D:\\img\\a.jpg\r\nE:\\other\\deeper\\b.png\r\n") == "E:\\other\\deeper");
    CHECK(Folder("C:\\x.jpg") == "C:\\x.jpg");  // a drive's root: the whole line
    CHECK(Folder("a.jpg") == "a.jpg");
    CHECK(Folder("\\\\s\\b.jpg") == "\\\\s");
    // "C:\画像ソ\a.jpg": the folder keeps its "ソ" (0x83 0x5C) whole.
    CHECK(Folder("C:\\\x89\xe6\x91\x9c\x83\x5c\\a.jpg") == "C:\\\x89\xe6\x91\x9c\x83\x5c");
    // "C:\ab\ソ": the only real "\" after the drive is at position 5.
    CHECK(Folder("C:\\ab\\\x83\x5c") == "C:\\ab");
    CHECK(Folder("C:\\\x83\x5c") == "C:\\\x83\x5c");
    CHECK(Folder(std::string(300, 'l').c_str()) == "");
}

TEST_CASE("picker: the old text is rebuilt as its lines, each ending in CR LF")
{
    char out[64];
    CHECK(RebuildText("a.jpg\n\nb.jpg", nullptr) == 14);
    size_t length = RebuildText("a.jpg\n\nb.jpg", out);
    CHECK(std::string(out, length) == "a.jpg\r\nb.jpg\r\n");
    length = RebuildText("a\rb\nc", out);
    CHECK(std::string(out, length) == "a\r\nb\r\nc\r\n");
    CHECK(RebuildText("\r\n\r\n", out) == 0);
    CHECK(RebuildText(nullptr, out) == 0);
}

// --- the real dialog ---------------------------------------------------------

struct PickerRun {
    std::vector<std::string> steps;  // texts typed into the name box, one per OK
    bool cancel;
    size_t next;
    int ticksAfterLast;
    std::string startFolder;
    std::vector<std::string> types;
    bool sawDialog;
};

static void TypeName(HWND dialog, const std::string& text)
{
    // The Explorer-style dialog's name box is a combo box (cmb13) or,
    // in some versions, a plain edit (edt1).
    if (!SetDlgItemTextA(dialog, cmb13, text.c_str()))
        SetDlgItemTextA(dialog, edt1, text.c_str());
}

// Types each step and presses Open. A timer message comes only when the
// queue is empty, so by the next tick the dialog has acted on the last Open:
// if it is still there (it refused the names), any message box it raised is
// dismissed and the dialog cancelled.
static bool AnswerPicker(HWND dialog, void* context)
{
    PickerRun* run = static_cast<PickerRun*>(context);
    if (dialog && !GetDlgItem(dialog, cmb1)) {
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        return false;
    }
    if (!dialog)
        return false;
    if (!run->steps.empty() && run->next == run->steps.size()) {
        if (++run->ticksAfterLast >= 2)
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return false;
    }
    if (!run->sawDialog) {
        run->sawDialog = true;
        char folder[MAX_PATH] = "";
        SendMessageA(dialog, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder));
        run->startFolder = folder;
        HWND types = GetDlgItem(dialog, cmb1);
        int count = static_cast<int>(SendMessageA(types, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; i++) {
            char text[256] = "";
            SendMessageA(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            run->types.push_back(text);
        }
    }
    if (run->cancel) {
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        return true;
    }
    if (run->next >= run->steps.size())
        return false;
    TypeName(dialog, run->steps[run->next++]);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    return false;
}

struct PickResult {
    int result;
    EditRecord record;
    PickerRun run;
};

static PickResult Pick(HGLOBAL text, std::vector<std::string> steps, bool cancel = false)
{
    PickResult pick = {0, MakeEditRecord(text), {steps, cancel, 0, 0, "", {}, false}};
    HWND owner = CreateChipWindow(200, 200);
    ArmDialogDriver(AnswerPicker, &pick.run);
    pick.result = EditHelper(owner, pick.record.bytes);
    DisarmDialogDriver();
    FlushEvents();
    DestroyWindow(owner);
    return pick;
}

struct PickerFiles {
    PickerFiles()
        : loaders(BuildLoaderList()), images(ScratchFolder("\x89\xe6\x91\x9c\x83\x5c")),  // 画像ソ
          more(ScratchFolder("more"))
    {
        WriteSolidBmp(images + "\\a.bmp", 2, 2, 0);
        WriteSolidBmp(more + "\\b.bmp", 2, 2, 0);
        WriteSolidBmp(more + "\\c.bmp", 2, 2, 0);
    }
    ~PickerFiles()
    {
        RemoveTree(images);
        RemoveTree(more);
    }
    DiscoverySettings settings;
    ActiveLoaders loaders;
    std::string images;
    std::string more;
};

TEST_CASE("picker: one file chosen for a chip without a text")
{
    PickerFiles files;
    char before[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, before);
    PickResult pick = Pick(nullptr, {files.more + "\\b.bmp"});
    REQUIRE(pick.run.sawDialog);
    CHECK(pick.result == 1);
    std::string expected = files.more + "\\b.bmp";
    CHECK(GlobalBlockText(EditRecordText(pick.record)) == expected);
    CHECK(EditRecordInt(pick.record, 0) == 0);
    CHECK(EditRecordInt(pick.record, 4) == static_cast<int>(expected.size()));
    char after[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, after);
    CHECK(std::string(after) == before);
    REQUIRE(pick.run.types.size() >= 2);
    CHECK(pick.run.types[0] == kAllImages);
    CHECK(pick.run.types[1] == "Bitmap");
    GlobalFree(EditRecordText(pick.record));
}

TEST_CASE("picker: several files from another folder are appended to the old text")
{
    PickerFiles files;
    std::string old = files.images + "\\a.bmp";
    HGLOBAL text = GlobalText(old.c_str());
    PickResult pick = Pick(text, {files.more, "\"b.bmp\" \"c.bmp\""});
    CHECK(pick.run.startFolder == files.images);
    CHECK(pick.result == 1);
    std::string expected = old + "\r\n" + files.more + "\\b.bmp\r\n" + files.more + "\\c.bmp";
    CHECK(GlobalBlockText(EditRecordText(pick.record)) == expected);
    CHECK(EditRecordInt(pick.record, 4) == static_cast<int>(expected.size()));
    CHECK(EditRecordText(pick.record) != text);
    CHECK(GlobalSize(text) == 0);  // the old block was freed
    GlobalFree(EditRecordText(pick.record));
}

TEST_CASE("picker: old texts with stray separators, and empty ones")
{
    PickerFiles files;
    std::string chosen = files.more + "\\c.bmp";
    HGLOBAL text = GlobalText("a.jpg\n\nb.jpg");
    PickResult pick = Pick(text, {chosen});
    CHECK(GlobalBlockText(EditRecordText(pick.record)) == "a.jpg\r\nb.jpg\r\n" + chosen);
    GlobalFree(EditRecordText(pick.record));

    for (const char* old : {"", "\r\n"}) {
        HGLOBAL empty = GlobalText(old);
        pick = Pick(empty, {chosen});
        CHECK(pick.result == 1);
        CHECK(GlobalBlockText(EditRecordText(pick.record)) == chosen);
        CHECK(EditRecordInt(pick.record, 4) == static_cast<int>(chosen.size()));
        GlobalFree(EditRecordText(pick.record));
    }
}

TEST_CASE("picker: a host text without its terminating zero is read no further than its block")
{
    PickerFiles files;
    std::string chosen = files.more + "\\c.bmp";
    HGLOBAL text = GlobalAlloc(GMEM_MOVEABLE, 37);
    REQUIRE(text);
    SIZE_T size = GlobalSize(text);
    char* bytes = static_cast<char*>(GlobalLock(text));
    REQUIRE(bytes);
    memset(bytes, 'q', size);  // every byte the block has, and no zero
    GlobalUnlock(text);
    PickResult pick = Pick(text, {chosen});
    CHECK(pick.result == 1);
    CHECK(GlobalBlockText(EditRecordText(pick.record)) == std::string(size, 'q') + "\r\n" + chosen);
    GlobalFree(EditRecordText(pick.record));
}

TEST_CASE("picker: Cancel leaves the handle and its text untouched")
{
    PickerFiles files;
    std::string old = files.images + "\\a.bmp";
    HGLOBAL text = GlobalText(old.c_str());
    char before[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, before);
    PickResult pick = Pick(text, {}, true);
    CHECK(pick.run.sawDialog);
    CHECK(pick.result == 2);
    CHECK(EditRecordText(pick.record) == text);
    CHECK(EditRecordInt(pick.record, 0) == static_cast<int>(0xEEEEEEEE));
    CHECK(GlobalBlockText(text) == old);
    char after[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, after);
    CHECK(std::string(after) == before);
    GlobalFree(text);
}

TEST_CASE("picker: a selection too large for the buffer counts as a cancel")
{
    PickerFiles files;
    std::string folder = ScratchFolder("many");
    std::string names;
    for (int i = 0; i < 110; i++) {
        char name[128];
        wsprintfA(name, "%03d-%s.bmp", i, std::string(90, 'n').c_str());
        WriteSolidBmp(folder + "\\" + name, 1, 1, 0);
        names += std::string("\"") + name + "\" ";
    }
    HGLOBAL text = GlobalText("C:\\keep.bmp");
    PickResult pick = Pick(text, {folder, names});
    // The dialog either refuses the names (and stays until cancelled by the
    // driver's end) or fails; in no case is the text replaced.
    CHECK(pick.result == 2);
    CHECK(EditRecordText(pick.record) == text);
    CHECK(GlobalBlockText(text) == "C:\\keep.bmp");
    GlobalFree(text);
    RemoveTree(folder);
}

TEST_CASE("picker: no record, or a text that cannot be locked, writes nothing")
{
    CHECK(EditHelper(nullptr, nullptr) == 2);
    HGLOBAL freed = GlobalText("x");
    GlobalFree(freed);
    EditRecord record = MakeEditRecord(freed);
    EditRecord before = record;
    CHECK(EditHelper(nullptr, record.bytes) == 2);
    CHECK(memcmp(record.bytes, before.bytes, sizeof(record.bytes)) == 0);
}
