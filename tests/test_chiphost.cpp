// chiphost render, end to end: the stand-in host run as a program of its own.
#include <doctest.h>

#include <windows.h>
#include <wincodec.h>

#include <cstring>
#include <string>
#include <vector>

#include "hostkit.h"
#include "common/image_io.h"

struct Run {
    DWORD exitCode;
    std::string out;
    std::string err;
};

static std::string ReadAll(HANDLE pipe)
{
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read)
        text.append(buffer, read);
    return text;
}

static std::string BuildFolder()
{
    std::string dxl = DxlPath();
    return dxl.substr(0, dxl.find_last_of('\\'));
}

// Runs chiphost with the arguments, waiting for it to end.
static Run Chiphost(const std::string& arguments)
{
    Run run = {~0u, "", ""};
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string command = "\"" + BuildFolder() + "\\chiphost.exe\" " + arguments;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        // Small outputs: reading one pipe to its end cannot block the other.
        run.out = ReadAll(outRead);
        run.err = ReadAll(errRead);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

struct Png {
    int width = 0, height = 0;
    std::vector<BYTE> bgra;
    COLORREF At(int x, int y) const
    {
        const BYTE* p = &bgra[(y * width + x) * 4];
        return RGB(p[2], p[1], p[0]);
    }
};

static Png ReadPng(const std::string& path)
{
    Png png;
    DecodePixels(path, &png.bgra, &png.width, &png.height);
    return png;
}

static const COLORREF kRed = RGB(220, 30, 30);
static const COLORREF kGreen = RGB(30, 200, 60);
static const char kBg[] = "--bg 102030";
static const COLORREF kBackground = RGB(0x10, 0x20, 0x30);

struct HostFiles {
    HostFiles() : folder(ScratchFolder("\x83\x60\x83\x62\x83\x76\x83\x5c"))  // チップソ
    {
        WriteSolidBmp(folder + "\\red.bmp", 200, 100, kRed);
        WriteSolidBmp(folder + "\\green.bmp", 100, 100, kGreen);
        Write("red.txt", folder + "\\red.bmp\r\n");
        Write("two.txt", folder + "\\red.bmp\r\n" + folder + "\\green.bmp\r\n");
        Write("missing.txt", folder + "\\gone.bmp\r\n");
    }
    ~HostFiles() { RemoveTree(folder); }
    void Write(const char* name, const std::string& text) const
    {
        WriteFileBytes(folder + "\\" + name, text.data(), text.size());
    }
    std::string Path(const char* name) const { return "\"" + folder + "\\" + name + "\""; }
    std::string Render(const char* list, const char* size, const std::string& more, const char* out) const
    {
        return std::string("render --dxl \"") + DxlPath() + "\" --text " + Path(list) + " --size " + size + " "
            + kBg + " " + more + " --out " + Path(out);
    }
    Png Output(const char* out) const { return ReadPng(folder + "\\" + out); }
    std::string folder;
};

TEST_CASE("chiphost: a picture at 100 % sits top-left on the background")
{
    HostFiles files;
    Run run = Chiphost(files.Render("red.txt", "300x200", "", "a.png"));
    CHECK(run.exitCode == 0);
    CHECK(run.out.rfind("chip 300x200 view 10002 pictures 1", 0) == 0);
    CHECK(run.out.find("opened") == std::string::npos);  // no steps, nothing to compare with
    Png png = files.Output("a.png");
    REQUIRE(png.width == 300);
    CHECK(png.height == 200);
    CHECK(png.At(0, 0) == kRed);
    CHECK(png.At(199, 99) == kRed);
    CHECK(png.At(250, 50) == kBackground);
    CHECK(png.At(100, 150) == kBackground);
}

TEST_CASE("chiphost: --menu fits the picture, or resizes the chip to a zoom's display size")
{
    HostFiles files;
    Run fit = Chiphost(files.Render("red.txt", "300x300", "--menu 10006", "fit.png"));
    CHECK(fit.exitCode == 0);
    CHECK(fit.out.find(" view 10006 ") != std::string::npos);
    Png png = files.Output("fit.png");
    REQUIRE(png.width == 300);
    CHECK(png.At(295, 145) == kRed);
    CHECK(png.At(150, 200) == kBackground);

    Run quarter = Chiphost(files.Render("red.txt", "300x300", "--menu 10000", "quarter.png"));
    CHECK(quarter.out.rfind("chip 50x25 view 10000 ", 0) == 0);
    png = files.Output("quarter.png");
    CHECK(png.width == 50);
    CHECK(png.height == 25);
}

TEST_CASE("chiphost: a running slideshow moves on with the ticks, and its settings survive a restart")
{
    HostFiles files;
    Run start = Chiphost(files.Render("two.txt", "200x100", "--menu 10008 --ticks 3 --save " + files.Path("s.bin"), "s.png"));
    CHECK(start.exitCode == 0);
    // Three ticks at interval 3, "X 1": the other picture of two, which the
    // chip's size tells (red is 200 x 100, green 100 x 100).
    bool firstRed = start.out.find("(opened at 200x100)") != std::string::npos;
    CHECK(start.out.find(firstRed ? "(opened at 200x100)" : "(opened at 100x100)") != std::string::npos);
    CHECK(start.out.rfind(firstRed ? "chip 100x100 " : "chip 200x100 ", 0) == 0);
    CHECK(files.Output("s.png").At(10, 10) == (firstRed ? kGreen : kRed));

    std::string saved = ReadFileBytes(files.folder + "\\s.bin");
    REQUIRE(saved.size() == 28);
    const int expected[] = {20, 10002, 3, 1, 1, 0};
    CHECK(memcmp(saved.data(), expected, sizeof(expected)) == 0);

    Run again = Chiphost(files.Render("two.txt", "200x100",
                                      "--menu 10006 --block " + files.Path("s.bin") + " --ticks 2 --save " + files.Path("t.bin"),
                                      "t.png"));
    CHECK(again.exitCode == 0);
    CHECK(again.out.find(" view 10006 ") != std::string::npos);
    // Two ticks: not yet. The picture it opened on is the one it shows.
    bool againRed = again.out.find("(opened at 200x100)") != std::string::npos;
    CHECK(files.Output("t.png").At(10, 10) == (againRed ? kRed : kGreen));
}

TEST_CASE("chiphost: a missing picture renders \"load error\"")
{
    HostFiles files;
    Run run = Chiphost(files.Render("missing.txt", "160x90", "", "e.png"));
    CHECK(run.exitCode == 0);
    CHECK(run.out.rfind("chip 160x90 ", 0) == 0);  // the size of a chip without a picture
    Png png = files.Output("e.png");
    REQUIRE(png.width == 160);
    int ink = 0;
    for (int y = 0; y < png.height; y++)
        for (int x = 0; x < png.width; x++)
            ink += png.At(x, y) != kBackground;
    CHECK(ink > 20);
    CHECK(png.At(0, 0) == kBackground);
    CHECK(png.At(159, 89) == kBackground);
}

TEST_CASE("chiphost: errors are one line and a non-zero exit")
{
    HostFiles files;
    std::string plugin = TestPluginPath("tpic");
    const struct {
        std::string arguments;
        const char* message;
    } cases[] = {
        {"render --dxl \"C:\\nowhere\\x.dxl\" --text " + files.Path("red.txt") + " --size 10x10 --out " + files.Path("x.png"),
         "cannot load"},
        {"render --dxl \"" + plugin + "\" --text " + files.Path("red.txt") + " --size 10x10 --out " + files.Path("x.png"),
         "lacks the export DrawExSpecification"},
        {files.Render("nothing.txt", "10x10", "", "x.png"), "cannot read the list"},
        {files.Render("red.txt", "12by4", "", "x.png"), "malformed size"},
        {files.Render("red.txt", "10x10", "--bg zz00zz", "x.png"), "malformed colour"},
        {files.Render("red.txt", "10x10", "--menu 10009", "x.png"), "settings dialog"},
        {"launch", "unknown mode"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.arguments);
        Run run = Chiphost(c.arguments);
        CHECK(run.exitCode != 0);
        CHECK(run.err.find(c.message) != std::string::npos);
        CHECK(run.err.rfind("chiphost: ", 0) == 0);
    }
}

struct WindowSearch {
    std::string title;
    HWND found;
};

static BOOL CALLBACK FindByTitle(HWND window, LPARAM param)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    // Shown only once the chip has its size.
    if (IsWindowVisible(window) && WindowTextA(window) == search->title) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Starts chiphost run on the list, waits for its chip window, reads the
// window's client size, closes it as a user would, and waits for the exit.
static bool RunAndClose(const HostFiles& files, const char* list, SIZE* client)
{
    std::string listPath = files.folder + "\\" + list;
    std::string command = "\"" + BuildFolder() + "\\chiphost.exe\" run --dxl \"" + DxlPath()
        + "\" --unit-ms 3600000 \"" + listPath + "\"";
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    // Waits for the window to appear (or the child to end), up to a minute.
    WindowSearch search = {listPath, nullptr};
    for (int i = 0; i < 600 && !search.found; i++) {
        EnumWindows(FindByTitle, reinterpret_cast<LPARAM>(&search));
        if (!search.found && WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
            break;
    }
    bool found = search.found != nullptr;
    if (found) {
        RECT rect;
        GetClientRect(search.found, &rect);
        client->cx = rect.right;
        client->cy = rect.bottom;
        PostMessageA(search.found, WM_CLOSE, 0, 0);
    } else {
        TerminateProcess(process.hProcess, 1);
    }
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return found;
}

TEST_CASE("chiphost: run keeps each chip's text and settings in a state file beside its list")
{
    HostFiles files;
    SIZE client = {0, 0};
    REQUIRE(RunAndClose(files, "red.txt", &client));
    // The chip asked for its picture's size at 100 %.
    CHECK(client.cx == 200);
    CHECK(client.cy == 100);
    std::string state = ReadFileBytes(files.folder + "\\red.txt.state");
    REQUIRE(state.size() > 12);
    CHECK(state.compare(0, 4, "OVCS") == 0);
    CHECK(state.find(files.folder + "\\red.bmp") != std::string::npos);

    // A state with the chip at 200 %: read back at the next start.
    std::string block(28, '\0');
    const int saved[] = {20, 10003, 3, 1, 0, 0, 0};
    memcpy(&block[0], saved, sizeof(saved));
    std::string text = files.folder + "\\red.bmp\r\n";
    DWORD size = 28;
    std::string edited = "OVCS" + std::string(reinterpret_cast<char*>(&size), 4) + block;
    size = static_cast<DWORD>(text.size());
    edited += std::string(reinterpret_cast<char*>(&size), 4) + text;
    files.Write("red.txt.state", edited);
    REQUIRE(RunAndClose(files, "red.txt", &client));
    CHECK(client.cx == 400);
    CHECK(client.cy == 200);
}
