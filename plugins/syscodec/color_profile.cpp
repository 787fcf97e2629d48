#include "color_profile.h"

#include <icm.h>

#include <cstring>

// Grid points per channel: 33 (steps of 255/32) keep the interpolated
// colours within a level or two of the system's own conversion.
static const unsigned kPoints = 33;
static const unsigned kLast = kPoints - 1;
static const DWORD kColorSpaceSrgb = 0x73524742;  // 'sRGB'

static unsigned long Big32(const BYTE* p)
{
    return (static_cast<unsigned long>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// The text of the profile's description tag mentions sRGB, in ASCII (its
// 'desc' form) or UTF-16 (its 'mluc' form).
static bool DescribedAsSrgb(const HeapArray<BYTE>& profile)
{
    unsigned long tags = Big32(&profile[128]);
    for (unsigned long i = 0; i < tags && 132 + (i + 1) * 12 <= profile.count; i++) {
        const BYTE* entry = &profile[132 + i * 12];
        if (memcmp(entry, "desc", 4) != 0)
            continue;
        unsigned long at = Big32(entry + 4), size = Big32(entry + 8);
        if (at > profile.count || size > profile.count - at)
            return false;
        static const char ascii[] = "sRGB";
        static const char wide[] = {0, 's', 0, 'R', 0, 'G', 0, 'B'};
        const BYTE* text = &profile[at];
        for (unsigned long k = 0; k + sizeof(wide) <= size; k++)
            if (memcmp(text + k, ascii, 4) == 0 || memcmp(text + k, wide, sizeof(wide)) == 0)
                return true;
        return false;
    }
    return false;
}

bool ShouldConvert(HeapArray<BYTE>* profile)
{
    if (profile->count < 132)
        return false;
    const BYTE* header = profile->items;
    unsigned long declared = Big32(header);
    if (declared < 132 || declared > profile->count || memcmp(header + 36, "acsp", 4) != 0
        || memcmp(header + 16, "RGB ", 4) != 0)
        return false;
    profile->Resize(declared);  // never grows: cannot fail
    unsigned long tags = Big32(header + 128);
    if (tags == 0 || tags > (declared - 132) / 12)
        return false;
    return !DescribedAsSrgb(*profile);
}

// The system's colour management, loaded only for pictures that need it.
struct Mscms {
    HMODULE module;
    decltype(&OpenColorProfileW) open;
    decltype(&CloseColorProfile) close;
    decltype(&GetStandardColorSpaceProfileW) standard;
    decltype(&CreateMultiProfileTransform) create;
    decltype(&DeleteColorTransform) destroy;
    decltype(&TranslateBitmapBits) translate;
};

template <typename F>
static bool Find(HMODULE module, const char* name, F* function)
{
    *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return *function != nullptr;
}

static bool LoadMscms(Mscms* mscms)
{
    mscms->module = LoadLibraryW(L"mscms.dll");
    if (!mscms->module)
        return false;
    if (Find(mscms->module, "OpenColorProfileW", &mscms->open) && Find(mscms->module, "CloseColorProfile", &mscms->close)
        && Find(mscms->module, "GetStandardColorSpaceProfileW", &mscms->standard)
        && Find(mscms->module, "CreateMultiProfileTransform", &mscms->create)
        && Find(mscms->module, "DeleteColorTransform", &mscms->destroy)
        && Find(mscms->module, "TranslateBitmapBits", &mscms->translate))
        return true;
    FreeLibrary(mscms->module);
    return false;
}

// Every grid point through the system's transform, in one call.
static bool SampleGrid(const Mscms& mscms, HTRANSFORM transform, SrgbTable* table)
{
    const DWORD points = kPoints * kPoints * kPoints;
    HeapArray<BYTE> input;
    if (!input.Allocate(points * 3, false) || !table->grid.Allocate(points * 3, false)
        || !table->cacheKeys.Allocate(1u << kCacheBits) || !table->cacheValues.Allocate(1u << kCacheBits))
        return false;
    BYTE* p = input.items;
    for (unsigned r = 0; r < kPoints; r++)
        for (unsigned g = 0; g < kPoints; g++)
            for (unsigned b = 0; b < kPoints; b++, p += 3) {
                p[0] = static_cast<BYTE>((b * 255 + kLast / 2) / kLast);
                p[1] = static_cast<BYTE>((g * 255 + kLast / 2) / kLast);
                p[2] = static_cast<BYTE>((r * 255 + kLast / 2) / kLast);
            }
    // BM_RGBTRIPLETS is the DIB's own order: blue, green, red in memory.
    return mscms.translate(transform, input.items, BM_RGBTRIPLETS, points, 1, points * 3, table->grid.items,
                           BM_RGBTRIPLETS, points * 3, nullptr, 0)
        != FALSE;
}

bool BuildSrgbTable(const HeapArray<BYTE>& profile, SrgbTable* table)
{
    Mscms mscms;
    if (!LoadMscms(&mscms))
        return false;
    bool built = false;
    PROFILE embedded = {PROFILE_MEMBUFFER, profile.items, static_cast<DWORD>(profile.count)};
    HPROFILE source = mscms.open(&embedded, PROFILE_READ, FILE_SHARE_READ, OPEN_EXISTING);
    WCHAR srgbPath[MAX_PATH];
    DWORD pathSize = sizeof(srgbPath);
    if (source && mscms.standard(nullptr, kColorSpaceSrgb, srgbPath, &pathSize)) {
        PROFILE screen = {PROFILE_FILENAME, srgbPath, static_cast<DWORD>((lstrlenW(srgbPath) + 1) * sizeof(WCHAR))};
        HPROFILE target = mscms.open(&screen, PROFILE_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (target) {
            HPROFILE both[2] = {source, target};
            DWORD intent = INTENT_PERCEPTUAL;
            HTRANSFORM transform = mscms.create(both, 2, &intent, 1, BEST_MODE, INDEX_DONT_CARE);
            if (transform) {
                built = SampleGrid(mscms, transform, table);
                mscms.destroy(transform);
            }
            mscms.close(target);
        }
    }
    if (source)
        mscms.close(source);
    FreeLibrary(mscms.module);
    return built;
}

// Where each channel value falls on the grid: the offset of the cell below
// it in the table, and how far into that cell, in 256ths. The top value
// sits at the far end of the last cell, so the cell above is never read.
struct GridSteps {
    unsigned offset[3][256];  // by channel: blue, green, red
    unsigned fraction[256];
    GridSteps()
    {
        const unsigned stride[3] = {3, kPoints * 3, kPoints * kPoints * 3};
        for (unsigned v = 0; v < 256; v++) {
            unsigned scaled = (v * kLast * 256 + 127) / 255;
            unsigned cell = scaled >> 8;
            fraction[v] = scaled & 255;
            if (cell == kLast) {
                cell = kLast - 1;
                fraction[v] = 256;
            }
            for (int k = 0; k < 3; k++)
                offset[k][v] = cell * stride[k];
        }
    }
};

// Tetrahedral interpolation: the cell is cut into six tetrahedra along its
// diagonal, and the order of the three fractions picks one. Indexed by the
// comparisons (blue >= green, green >= red, blue >= red), each entry names
// the fractions largest first and the steps to the two middle corners; two
// of the eight comparisons cannot happen together and repeat a neighbour.
struct Tetrahedron {
    unsigned char first, second, third;  // channel indices: 0 blue, 1 green, 2 red
    unsigned corner1, corner2;
};

static const unsigned kDb = 3, kDg = kPoints * 3, kDr = kPoints * kPoints * 3;
static const Tetrahedron kTetrahedra[8] = {
    {2, 1, 0, kDr, kDr + kDg},  // r > g > b
    {2, 0, 1, kDr, kDr + kDb},  // b >= g, r > g, r > b: r > b >= g
    {1, 2, 0, kDg, kDr + kDg},  // g >= r > b
    {1, 2, 0, kDg, kDr + kDg},  // cannot be: b >= g >= r yet r > b
    {2, 1, 0, kDr, kDr + kDg},  // cannot be: b < g < r yet b >= r
    {0, 2, 1, kDb, kDr + kDb},  // b >= r > g
    {1, 0, 2, kDg, kDg + kDb},  // g > b >= r
    {0, 1, 2, kDb, kDg + kDb},  // b >= g >= r
};

static inline DWORD Interpolate(const BYTE* grid, const GridSteps& steps, unsigned b, unsigned g, unsigned r)
{
    unsigned f[3] = {steps.fraction[b], steps.fraction[g], steps.fraction[r]};
    const Tetrahedron& t = kTetrahedra[(f[0] >= f[1]) | (f[1] >= f[2]) << 1 | (f[0] >= f[2]) << 2];
    const BYTE* c0 = grid + steps.offset[0][b] + steps.offset[1][g] + steps.offset[2][r];
    const BYTE* c1 = c0 + t.corner1;
    const BYTE* c2 = c0 + t.corner2;
    const BYTE* c3 = c0 + kDr + kDg + kDb;
    // As weights of the four corners: all positive, summing to 256.
    int w0 = 256 - f[t.first], w1 = f[t.first] - f[t.second], w2 = f[t.second] - f[t.third], w3 = f[t.third];
    DWORD out = 0;
    for (unsigned k = 0; k < 3; k++)
        out |= static_cast<DWORD>((w0 * c0[k] + w1 * c1[k] + w2 * c2[k] + w3 * c3[k] + 128) >> 8) << (8 * k);
    return out;
}

static void ConvertWith(const BYTE* grid, DWORD* keys, DWORD* values, BYTE* pixels, unsigned width, unsigned step)
{
    static const GridSteps steps;
    DWORD lastKey = 0, out = 0;
    for (unsigned x = 0; x < width; x++, pixels += step) {
        unsigned b = pixels[0], g = pixels[1], r = pixels[2];
        DWORD key = b | g << 8 | r << 16 | 0x1000000u;  // never 0, the empty slot
        DWORD slot = ((key * 2654435761u) >> (32 - kCacheBits));
        if (key == lastKey) {
            // as the pixel before
        } else if (keys[slot] == key) {
            out = values[slot];
        } else {
            out = Interpolate(grid, steps, b, g, r);
            keys[slot] = key;
            values[slot] = out;
        }
        lastKey = key;
        pixels[0] = static_cast<BYTE>(out);
        pixels[1] = static_cast<BYTE>(out >> 8);
        pixels[2] = static_cast<BYTE>(out >> 16);
    }
}

void ConvertRow(SrgbTable& table, BYTE* pixels, unsigned width, unsigned step)
{
    ConvertWith(table.grid.items, table.cacheKeys.items, table.cacheValues.items, pixels, width, step);
}

// --- converting beside a decoder ---------------------------------------------

static const unsigned kPipeRows = 32;
static const unsigned long long kPipedPixels = 1 << 20;

// Shared by the caller and the worker; the last of the two to let go frees
// it. A worker that starts after the caller is done finds no chunk left and
// touches nothing but this.
struct ConversionPipe {
    const BYTE* grid;
    DWORD* keys[2];  // the caller's (the table's own), the worker's
    DWORD* values[2];
    BYTE* base;
    ptrdiff_t rowStep;
    unsigned width, height, pixelStep;
    LONG chunks;
    volatile LONG ready;      // rows made
    volatile LONG next;       // the next chunk to take
    volatile LONG done;       // chunks finished
    volatile LONG cancelled;  // taken chunks are counted, not converted
    volatile LONG owners;
    volatile LONG waiting;  // the worker waits for rows: the next rows wake it
    HANDLE moved;     // auto-reset: more rows, or the end; only the worker waits on it
    HANDLE finished;  // manual: the last chunk is done
    HMODULE module;
};

static void LetGo(ConversionPipe* pipe)
{
    if (InterlockedDecrement(&pipe->owners) != 0)
        return;
    if (pipe->moved)
        CloseHandle(pipe->moved);
    if (pipe->finished)
        CloseHandle(pipe->finished);
    HeapFree(GetProcessHeap(), 0, pipe);
}

// Takes chunks of rows in order until none is left; `who` names the cache.
static void TakeChunks(ConversionPipe* pipe, int who)
{
    for (;;) {
        LONG chunk = InterlockedIncrement(&pipe->next) - 1;
        if (chunk >= pipe->chunks)
            return;
        unsigned first = static_cast<unsigned>(chunk) * kPipeRows;
        unsigned last = pipe->height - first < kPipeRows ? pipe->height : first + kPipeRows;
        // Said before it looks again, so that rows made in between wake it:
        // waking the worker for every row the decoder makes would cost a
        // round trip to the system each time.
        while (!pipe->cancelled && static_cast<unsigned>(pipe->ready) < last) {
            InterlockedExchange(&pipe->waiting, 1);
            if (pipe->cancelled || static_cast<unsigned>(pipe->ready) >= last)
                break;
            WaitForSingleObject(pipe->moved, INFINITE);
        }
        if (!pipe->cancelled)
            for (unsigned y = first; y < last; y++)
                ConvertWith(pipe->grid, pipe->keys[who], pipe->values[who], pipe->base + pipe->rowStep * y,
                            pipe->width, pipe->pixelStep);
        if (InterlockedIncrement(&pipe->done) == pipe->chunks)
            SetEvent(pipe->finished);
    }
}

// The work holds a reference to this module, let go once the callback has
// returned: the plug-in cannot be unloaded under it.
__attribute__((force_align_arg_pointer)) static VOID CALLBACK PipeWork(PTP_CALLBACK_INSTANCE instance,
                                                                      void* argument)
{
    ConversionPipe* pipe = static_cast<ConversionPipe*>(argument);
    HMODULE module = pipe->module;
    TakeChunks(pipe, 1);
    LetGo(pipe);
    FreeLibraryWhenCallbackReturns(instance, module);
}

ConversionPipe* StartConversion(SrgbTable* table, BYTE* base, ptrdiff_t rowStep, unsigned width, unsigned height,
                                unsigned pixelStep)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    if (static_cast<unsigned long long>(width) * height < kPipedPixels || system.dwNumberOfProcessors < 2)
        return nullptr;
    // The worker's cache lies after the record, zeroed: every slot empty.
    size_t cacheBytes = sizeof(DWORD) << kCacheBits;
    ConversionPipe* pipe = static_cast<ConversionPipe*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ConversionPipe) + 2 * cacheBytes));
    if (!pipe)
        return nullptr;
    pipe->grid = table->grid.items;
    pipe->keys[0] = table->cacheKeys.items;
    pipe->values[0] = table->cacheValues.items;
    pipe->keys[1] = reinterpret_cast<DWORD*>(pipe + 1);
    pipe->values[1] = pipe->keys[1] + (1u << kCacheBits);
    pipe->base = base;
    pipe->rowStep = rowStep;
    pipe->width = width;
    pipe->height = height;
    pipe->pixelStep = pixelStep;
    pipe->chunks = static_cast<LONG>((height + kPipeRows - 1) / kPipeRows);
    pipe->owners = 2;
    pipe->moved = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    pipe->finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool submitted = pipe->moved && pipe->finished
        && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&PipeWork),
                              &pipe->module)
        && TrySubmitThreadpoolCallback(PipeWork, pipe, nullptr);
    if (!submitted) {
        if (pipe->module)
            FreeLibrary(pipe->module);
        pipe->owners = 1;
        LetGo(pipe);
        return nullptr;
    }
    return pipe;
}

void RowsReady(ConversionPipe* pipe, unsigned ready)
{
    InterlockedExchange(&pipe->ready, static_cast<LONG>(ready));
    if (InterlockedExchange(&pipe->waiting, 0))
        SetEvent(pipe->moved);
}

void FinishConversion(ConversionPipe* pipe, bool convertRest)
{
    if (!convertRest)
        InterlockedExchange(&pipe->cancelled, 1);
    RowsReady(pipe, pipe->height);
    TakeChunks(pipe, 0);
    // Every chunk is taken; the worker may still be converting one.
    if (pipe->done < pipe->chunks)
        WaitForSingleObject(pipe->finished, INFINITE);
    LetGo(pipe);
}

void ConvertRows(SrgbTable& table, BYTE* base, ptrdiff_t rowStep, unsigned width, unsigned height,
                 unsigned pixelStep)
{
    ConversionPipe* pipe = StartConversion(&table, base, rowStep, width, height, pixelStep);
    if (pipe) {
        FinishConversion(pipe, true);
        return;
    }
    for (unsigned y = 0; y < height; y++)
        ConvertRow(table, base + rowStep * y, width, pixelStep);
}
