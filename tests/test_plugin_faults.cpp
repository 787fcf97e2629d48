// Plug-ins that fault: the host process lives on, the faulty plug-in is
// never called again, and every other loader still serves its formats.
#include <doctest.h>

#include <cpuid.h>

#include "plugin_host/plugin_guard.h"
#include "test_support.h"

static COLORREF Teal(int, int)
{
    return RGB(0, 128, 128);
}

// The pictures every fault scene loads: one in the test plug-ins' format,
// one a bitmap.
static void WritePictures(const PluginScene& scene)
{
    REQUIRE(WriteTpic(scene.Path("p.tpc"), 7, 5, Teal));
    REQUIRE(WriteSolidBmp(scene.Path("p.bmp"), 4, 3, RGB(200, 0, 0)));
}

static bool Shows(HBITMAP bitmap)
{
    if (!bitmap)
        return false;
    DeleteObject(bitmap);
    return true;
}

TEST_CASE("plug-in faults: one inside GetPluginInfo drops that plug-in at attach and keeps it loaded")
{
    PluginScene scene({"faultinfo", "tpic"});
    WritePictures(scene);
    REQUIRE(CountEntries(g_module.loaders) == 2);
    CHECK(ModulePath(g_module.loaders->next->module).find("tpic.spi") != std::string::npos);
    CHECK(GetModuleHandleA(scene.folders.front().dir.Path("faultinfo.spi").c_str()) != nullptr);
    CHECK(Shows(scene.Load("p.tpc")));
}

TEST_CASE("plug-in faults: GetPicture faulting ends the load, disables the plug-in, and the others serve on")
{
    const struct {
        const char* variant;
        const char* fault;
        int goodLoadsBeforeFault;
    } cases[] = {
        {"faultbefore", "illegal instruction before allocating", 0},
        {"faultafter", "access violation after handing out its blocks", 0},
        {"faultdeep", "stack overflow", 0},
        {"faultsecond", "access violation on the second call", 1},
    };
    for (const auto& c : cases) {
        std::string fault = c.fault;
        CAPTURE(fault);
        PluginScene scene({c.variant, "tpic"});
        WritePictures(scene);
        REQUIRE(CountEntries(g_module.loaders) == 3);
        LoaderEntry* faultyEntry = g_module.loaders->next;
        TestPluginCounters* faulty = PluginCounters(faultyEntry->module);
        TestPluginCounters* good = PluginCounters(faultyEntry->next->module);
        REQUIRE(faulty);
        REQUIRE(good);

        for (int i = 0; i < c.goodLoadsBeforeFault; i++)
            CHECK(Shows(scene.Load("p.tpc")));
        CHECK_FALSE(faultyEntry->faulted);
        CHECK(scene.Load("p.tpc") == nullptr);  // the faulting call: "load error"
        CHECK(faultyEntry->faulted);
        int probes = faulty->isSupportedCalls;
        int pictures = faulty->getPictureCalls;

        CHECK(Shows(scene.Load("p.tpc")));  // now the good plug-in's
        CHECK(good->getPictureCalls == 1);
        CHECK(Shows(scene.Load("p.bmp")));
        CHECK(faulty->isSupportedCalls == probes);
        CHECK(faulty->getPictureCalls == pictures);
    }
}

TEST_CASE("plug-in faults: IsSupported faulting on one header only is a no, and never asked again")
{
    PluginScene scene({"faultprobe", "tpic"});
    WritePictures(scene);
    const char crash[16] = "CRSH and more";
    REQUIRE(WriteFileBytes(scene.Path("c.tpc"), crash, sizeof(crash)));
    LoaderEntry* faultyEntry = g_module.loaders->next;
    TestPluginCounters* faulty = PluginCounters(faultyEntry->module);

    CHECK(Shows(scene.Load("p.tpc")));  // its own format, before the fault
    CHECK(faulty->getPictureCalls == 1);
    CHECK(scene.Load("c.tpc") == nullptr);
    CHECK(faultyEntry->faulted);
    int probes = faulty->isSupportedCalls;
    CHECK(Shows(scene.Load("p.tpc")));
    CHECK(faulty->isSupportedCalls == probes);
    CHECK(faulty->getPictureCalls == 1);
}

// A picture of the SEH_CASES plug-in whose magic names what it does.
static bool WriteCase(const std::string& path, const char* kind)
{
    if (!WriteTpic(path, 7, 5, Teal))
        return false;
    std::string bytes = ReadFileBytes(path);
    memcpy(&bytes[0], kind, 4);
    return WriteFileBytes(path, bytes.data(), bytes.size());
}

// qemu's i386 emulator, which runs the i686 leg where the kernel refuses
// 32-bit programs, names itself in the processor's brand string. Under it
// Wine cannot tell which fault happened (every memory fault arrives as an
// illegal instruction), so handlers that take access violations only, as
// IsBadReadPtr's does, decline; and two things a plug-in may do end the
// emulated process before Wine sees any fault: an x87 exception, and a
// direction flag left set (qemu does not clear it for Wine's signal handler
// as the kernel does). A real processor runs all of them.
static bool UnderEmulator()
{
    unsigned brand[12] = {};
    for (unsigned i = 0; i < 3; i++)
        __get_cpuid(0x80000002 + i, &brand[i * 4], &brand[i * 4 + 1], &brand[i * 4 + 2], &brand[i * 4 + 3]);
    return strstr(reinterpret_cast<const char*>(brand), "QEMU TCG") != nullptr;
}

TEST_CASE("plug-in faults: the plug-in's own handlers come first, and its finally blocks run")
{
    PluginScene scene({"hardy", "tpic"});
    WritePictures(scene);
    for (const char* kind : {"MEND", "PROB", "DECL"})
        REQUIRE(WriteCase(scene.Path(std::string(kind) + ".tpc"), kind));
    LoaderEntry* hardy = g_module.loaders->next;
    TestPluginCounters* counters = PluginCounters(hardy->module);
    REQUIRE(counters);

    // A fault it mends itself: its picture, twice, and it stays enabled.
    CHECK(Shows(scene.Load("MEND.tpc")));
    CHECK(Shows(scene.Load("MEND.tpc")));
    CHECK(counters->ownHandlerCalls == 2);
    CHECK(counters->getPictureCalls == 2);
    CHECK_FALSE(hardy->faulted);
    // The system's probe handles the fault it provokes itself.
    if (!UnderEmulator()) {
        CHECK(Shows(scene.Load("PROB.tpc")));
        CHECK(counters->probeSaidBad);
        CHECK_FALSE(hardy->faulted);
    }
    // What its handler declines is contained, once its finally blocks ran.
    CHECK(counters->unwindCalls == 0);
    CHECK(scene.Load("DECL.tpc") == nullptr);
    CHECK(counters->ownHandlerCalls == 3);
    CHECK(counters->unwindCalls == 1);
    CHECK(hardy->faulted);
}

struct CpuState {
    WORD x87Control;
    WORD x87Tags;
    DWORD mxcsr;
    bool direction;
};

static CpuState ReadCpuState()
{
    CpuState cpu;
    WORD environment[14];  // fnstenv's 28-byte image: control, status, tags
    asm volatile("fnstenv %0\n\tfldenv %0" : "=m"(environment));
    asm volatile("stmxcsr %0" : "=m"(cpu.mxcsr));
    cpu.x87Control = environment[0];
    cpu.x87Tags = environment[4];
    ULONG_PTR flags;
    asm volatile("pushf\n\tpop %0" : "=r"(flags));
    cpu.direction = (flags & 0x400) != 0;
    return cpu;
}

static COLORREF PictureCorner(HBITMAP bitmap)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    COLORREF pixel = GetPixel(dc, 0, 0);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return pixel;
}

TEST_CASE("plug-in faults: what a faulting plug-in leaves in the processor is not ours, floating-point faults included")
{
    bool emulated = UnderEmulator();
    if (emulated)
        MESSAGE("under the i386 emulator: the direction flag and the x87 division are left out");
    for (const char* kind : {"FPUS", "FDIV"}) {
        if (emulated && kind[1] == 'D')
            continue;
        if (emulated)
            kind = "FPUX";
        CAPTURE(kind);
        PluginScene scene({"hardy", "tpic"});
        WritePictures(scene);
        // A file of its own: the faulting plug-in leaves its handle open.
        std::string file = std::string(kind) + ".tpc";
        REQUIRE(WriteCase(scene.Path(file), kind));
        CpuState before = ReadCpuState();
        CHECK(scene.Load(file.c_str()) == nullptr);
        CpuState after = ReadCpuState();
        CHECK(g_module.loaders->next->faulted);
        CHECK(after.x87Control == before.x87Control);
        CHECK(after.x87Tags == 0xFFFF);  // an empty x87 stack
        CHECK(after.mxcsr == before.mxcsr);
        CHECK_FALSE(after.direction);
        volatile double half = 0.5;
        CHECK(half * 4.0 + 1.0 == 3.0);
        CHECK(PictureCorner(scene.Load("p.bmp")) == RGB(200, 0, 0));
        CHECK(PictureCorner(scene.Load("p.tpc")) == RGB(0, 128, 128));
    }
}

// A window the SEH_CASES plug-in sends WM_APP to from inside GetPicture, as
// a plug-in that shows a message box lets the host run.
static void (*g_onPluginMessage)();

static LRESULT CALLBACK PluginMessageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP && g_onPluginMessage) {
        g_onPluginMessage();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

struct PluginMessages {
    PluginMessages(TestPluginCounters* counters, void (*handler)())
    {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = PluginMessageProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "OvilunePluginMessages";
        RegisterClassA(&wc);  // fails harmlessly when already there
        window = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        counters->window = window;
        g_onPluginMessage = handler;
    }
    ~PluginMessages()
    {
        g_onPluginMessage = nullptr;
        DestroyWindow(window);
    }
    HWND window;
};

static int Paint(const TestChip& chip)
{
    Surface surface;
    if (!CreateSurface(&surface, 64, 48))
        return 0;
    int result = DrawChip(chip.handle, chip.window, surface.dc, chip.text.c_str());
    DestroySurface(&surface);
    return result;
}

static TestChip* g_innerChip;

static void PaintInnerChip()
{
    Paint(*g_innerChip);
}

TEST_CASE("plug-in faults: guards nest: a chip painted from inside a plug-in's message faults, then that plug-in")
{
    PluginScene scene({"faultprobe", "faultbefore", "hardy", "tpic"});
    WritePictures(scene);
    std::string outerFile = scene.Path("outer.tpc"), innerFile = scene.Path("inner.tpc");
    REQUIRE(WriteCase(outerFile, "TPIC"));
    REQUIRE(WriteCase(innerFile, "TPIC"));
    LoaderEntry* probeEntry = g_module.loaders->next;
    LoaderEntry* beforeEntry = probeEntry->next;
    LoaderEntry* hardyEntry = beforeEntry->next;

    // Chips that let go of their pictures, which then turn hostile: the
    // loads that matter happen inside the paints.
    TestChip outer(outerFile, 64, 48, nullptr, RGB(0, 0, 255), 0);
    TestChip inner(innerFile, 64, 48, nullptr, RGB(0, 0, 255), 0);
    REQUIRE(WriteCase(outerFile, "SNDF"));
    REQUIRE(WriteCase(innerFile, "CRSH"));
    g_innerChip = &inner;
    PluginMessages messages(PluginCounters(hardyEntry->module), PaintInnerChip);
    CHECK(Paint(outer) == 1);
    CHECK(probeEntry->faulted);  // the inner guard's
    CHECK(hardyEntry->faulted);  // the outer guard's, after the inner one is gone
    CHECK(StateView(inner.handle)->bitmap == nullptr);
    CHECK(StateView(outer.handle)->bitmap == nullptr);

    // A third plug-in takes the next picture and faults: still contained.
    CHECK_FALSE(beforeEntry->faulted);
    CHECK(scene.Load("p.tpc") == nullptr);
    CHECK(beforeEntry->faulted);
    CHECK(Shows(scene.Load("p.tpc")));  // now the good plug-in's
    CHECK(Paint(outer) == 1);
    CHECK(Paint(inner) == 1);
}

static HLOCAL g_chipToEnd;
static bool g_recordKeptUnderExport;

static void EndChipFromInside()
{
    UnInitializeChip(g_chipToEnd);
    g_recordKeptUnderExport = LocalSize(g_chipToEnd) >= sizeof(ChipState);
}

TEST_CASE("plug-in faults: a chip ended from inside its own paint goes when the paint returns")
{
    PluginScene scene({"hardy", "tpic"});
    WritePictures(scene);
    std::string text = scene.Path("send.tpc");
    REQUIRE(WriteCase(text, "TPIC"));
    PluginMessages messages(PluginCounters(g_module.loaders->next->module), EndChipFromInside);
    long long objects = CountGdiObjects();
    HWND window = CreateChipWindow(64, 48);
    SavedBlock none = {};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), RGB(0, 0, 255), 0, &none);
    HLOCAL chip = nullptr;
    InitializeChip(&chip, window, record.bytes);
    REQUIRE(chip);
    REQUIRE(WriteCase(text, "SEND"));
    g_chipToEnd = chip;
    Surface surface;
    REQUIRE(CreateSurface(&surface, 64, 48));
    CHECK(DrawChip(chip, window, surface.dc, text.c_str()) == 1);
    CHECK(g_recordKeptUnderExport);
    CHECK(LocalSize(chip) == 0);  // freed on the way out
    DestroySurface(&surface);
    DestroyWindow(window);
    CHECK(CountGdiObjects() == objects);
}

TEST_CASE("plug-in faults: two plug-ins overflow their stacks one after the other, and pictures still load")
{
    PluginScene scene({"faultdeep", "hardy", "tpic"});
    WritePictures(scene);
    REQUIRE(WriteCase(scene.Path("over.tpc"), "OVER"));
    LoaderEntry* deepEntry = g_module.loaders->next;
    LoaderEntry* hardyEntry = deepEntry->next;
    CHECK(scene.Load("over.tpc") == nullptr);
    CHECK(hardyEntry->faulted);
    CHECK(scene.Load("p.tpc") == nullptr);  // the other plug-in takes it first, and overflows
    CHECK(deepEntry->faulted);
    CHECK(Shows(scene.Load("p.bmp")));
    CHECK(Shows(scene.Load("p.tpc")));
}

// Runs this program again with `arguments`; its exit code, or ~0 when it did
// not end within `seconds` (it is then ended, not left running).
static DWORD RunChild(const char* arguments, DWORD seconds)
{
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return ~0u;
    DWORD code = ~0u;
    if (WaitForSingleObject(process.hProcess, seconds * 1000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// What the calling thread's stack keeps below its guard page, down to its
// lowest accessible page; -1 without a guard page, or when the stack limit
// is not just above the guard, where the system keeps it while it grows.
static long long StackBelowGuard()
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"  // NtCurrentTeb's header form
    const NT_TIB* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
#pragma GCC diagnostic pop
    volatile int here = 0;  // on the stack asked about
    MEMORY_BASIC_INFORMATION stack, region;
    if (!VirtualQuery(const_cast<int*>(&here), &stack, sizeof(stack)))
        return -1;
    const BYTE* lowest = nullptr;
    for (const BYTE* at = static_cast<const BYTE*>(stack.AllocationBase);
         VirtualQuery(at, &region, sizeof(region)) && region.AllocationBase == stack.AllocationBase;
         at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State != MEM_COMMIT || (region.Protect & PAGE_NOACCESS))
            continue;
        if (!lowest)
            lowest = static_cast<const BYTE*>(region.BaseAddress);
        if (region.Protect & PAGE_GUARD) {
            const BYTE* guard = static_cast<const BYTE*>(region.BaseAddress);
            return tib->StackLimit == guard + region.RegionSize ? guard - lowest : -1;
        }
    }
    return -1;
}

// In a child process (see main): plug-ins that recurse `frames` bytes a
// level ("256,4096,16384") overflow the main thread's stack one after the other,
// each contained; a guard the overflow used up is re-armed with 16 KB below
// it, where the system dispatches the next (under an emulator Wine cannot
// tell the overflow and leaves the guard where it was). Then a bitmap and
// the good plug-in's picture still show. Exits with the number of the step
// that went wrong, 0 when none did (the child then ends with kChildPassed).
int RunOverflowChild(const char* frames)
{
    std::vector<std::string> variants;  // the overflowing ones first, then the good one
    for (const char* at = frames; *at; at += strcspn(at, ","), at += *at == ',')
        variants.push_back(atoi(at) == 16384 ? "faultdeep16k" : atoi(at) == 4096 ? "faultdeep4k" : "faultdeep256");
    int overflows = static_cast<int>(variants.size());
    variants.push_back("tpic");
    PluginScene scene(variants);
    WritePictures(scene);
    int step = 1;
    for (LoaderEntry* entry = g_module.loaders->next; step <= overflows;
         step++, entry = entry->next) {
        long long before = StackBelowGuard();
        if (scene.Load("p.tpc") || !entry->faulted)
            return step;
        long long after = StackBelowGuard();
        if (after < (16 << 10) && (after < 0 || after != before))
            return step;
    }
    if (!Shows(scene.Load("p.bmp")))
        return step;
    return Shows(scene.Load("p.tpc")) ? 0 : step + 1;
}

TEST_CASE("plug-in faults: stacks overflowed again and again by frames of 256 bytes, 4 and 16 KB, in every order, on the host's thread and the read-ahead worker, still dispatch each overflow")
{
    // Each size follows each other one. A hang, or a process ended with no
    // handler run, is what a thread left with too little stack below its
    // guard did; two minutes is far more than the children take.
    CHECK(RunChild("--overflows 256,4096,16384,256", 120) == kChildPassed);
    CHECK(RunChild("--overflows 256,16384,4096,256", 120) == kChildPassed);
    CHECK(RunChild("--worker-overflow", 120) == kChildPassed);
}

TEST_CASE("plug-in faults: the library's own faults are not hidden")
{
    // In a child process of this program (see main): a fault raised in the
    // library's own code under the guard must reach the top level. A child
    // that never ends (a fault the system could not deliver, say) is a
    // failure.
    DWORD code = RunChild("--fault-in-own-code", 60);
    CHECK(code != ~0u);
    // A null read: an access violation on a real processor. Under the i386
    // emulator Wine cannot always tell which fault it was, and the same read
    // arrives as an illegal instruction; either way it is a processor's
    // fault that reached the top level, where a contained one would end 0.
    CHECK(IsHardwareFault(code));
}

static int FaultHere(void*)
{
    return *static_cast<volatile int*>(nullptr);
}

static LONG WINAPI ExitWithCode(EXCEPTION_POINTERS* pointers)
{
    ExitProcess(pointers->ExceptionRecord->ExceptionCode);
}

int RunOwnFaultChild()
{
    SetUnhandledExceptionFilter(ExitWithCode);
    DWORD faulted = 0;
    GuardedPluginCall(FaultHere, nullptr, -1, &faulted);
    return 0;  // contained: the test sees exit code 0 and fails
}
