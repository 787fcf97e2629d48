#include "common/reduce.h"

#include <cstring>

#include <emmintrin.h>

// Weights are fixed-point fractions of 1 << 16. Along each axis the weights
// of one output pixel are differences of one rounded running total, so they
// always add up to exactly 1 << 16: a flat area stays exactly its value.
static const unsigned kOne = 1u << 16;

struct Tap {
    int source;       // the source pixel (column or row)
    unsigned weight;  // its share of the output pixel
};

// The taps of `outCount` outputs over `sourceCount` source pixels: output i's
// taps are taps[starts[i]] up to taps[starts[i + 1]].
struct Axis {
    Tap* taps;
    int* starts;
};

// Taps needed for `outCount` outputs: each output covers at most
// ceil(source / out) + 1 pixels, and neighbours share at most one.
static size_t TapCount(int sourceCount, int outCount)
{
    return static_cast<size_t>(sourceCount) + static_cast<size_t>(outCount);
}

// Output i covers [i * S, (i + 1) * S) in units in which a source pixel is D
// wide (S source pixels, D outputs); source pixel s covers [s * D, (s + 1) * D).
static void BuildAxis(int sourceCount, int outCount, int usedOutputs, Axis* axis)
{
    long long S = sourceCount;
    long long D = outCount;
    int next = 0;
    for (int i = 0; i < usedOutputs; i++) {
        axis->starts[i] = next;
        long long begin = i * S;
        long long end = begin + S;
        long long first = begin / D;
        long long last = (end + D - 1) / D;  // exclusive
        unsigned previous = 0;
        for (long long s = first; s < last; s++) {
            long long hi = (s + 1) * D < end ? (s + 1) * D : end;
            unsigned total = static_cast<unsigned>((hi - begin) * kOne / S);
            if (total == previous && s + 1 < last)
                continue;  // a sliver too thin to weigh anything
            axis->taps[next].source = static_cast<int>(s);
            axis->taps[next].weight = total - previous;
            previous = total;
            next++;
        }
    }
    axis->starts[usedOutputs] = next;
}

bool RowsOfDib(const BITMAPINFOHEADER& header, const void* bits, PixelRows* rows)
{
    if (header.biCompression != BI_RGB || (header.biBitCount != 24 && header.biBitCount != 32)
        || header.biWidth <= 0 || header.biHeight == 0 || !bits)
        return false;
    int height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    ptrdiff_t stride = static_cast<ptrdiff_t>((static_cast<size_t>(header.biWidth) * header.biBitCount + 31) / 32 * 4);
    const BYTE* base = static_cast<const BYTE*>(bits);
    rows->width = header.biWidth;
    rows->height = height;
    rows->bytesPerPixel = header.biBitCount / 8;
    rows->firstRow = 0;
    if (header.biHeight > 0) {
        rows->top = base + stride * (height - 1);
        rows->step = -stride;
    } else {
        rows->top = base;
        rows->step = stride;
    }
    return true;
}

// Adds weight x the first `columns` pixels of `row` into sums, kChannels
// per pixel (the fourth, alpha, only where it is kept); the first tap of an
// output row sets them instead.
template <int kBytes, int kChannels>
static void AddRow(const BYTE* row, unsigned weight, int columns, unsigned* sums, bool first)
{
    if (first) {
        for (int x = 0; x < columns; x++, row += kBytes, sums += kChannels)
            for (int c = 0; c < kChannels; c++)
                sums[c] = weight * row[c];
        return;
    }
    for (int x = 0; x < columns; x++, row += kBytes, sums += kChannels)
        for (int c = 0; c < kChannels; c++)
            sums[c] += weight * row[c];
}

// One output row from the column sums: each sum, a value with 16 bits of
// fraction, is cut to 8 bits of fraction first so the second weighing stays
// inside 32 bits (65280 x 65536 < 2^32).
// Writes pixel x of a row of `bytes` (3 or 4) a pixel. A 3-byte pixel is
// written as 4 bytes, the fourth overwritten by the next pixel, except the
// last, which must not touch the row's padding (or the next row, being
// written by the other thread).
static inline void PutPixel(BYTE* row, int x, int bytes, int width, DWORD value)
{
    if (bytes == 4)
        memcpy(row + static_cast<size_t>(x) * 4, &value, 4);
    else if (x + 1 < width)
        memcpy(row + static_cast<size_t>(x) * 3, &value, 4);
    else
        memcpy(row + static_cast<size_t>(x) * 3, &value, 3);
}

static void ReduceColumns(const unsigned* sums, int channels, const Axis& columns, int visibleWidth, BYTE* out,
                          int outBytes)
{
    for (int x = 0; x < visibleWidth; x++) {
        unsigned total[4] = {0, 0, 0, 0};
        for (int t = columns.starts[x]; t < columns.starts[x + 1]; t++) {
            const unsigned* sum = sums + columns.taps[t].source * channels;
            unsigned weight = columns.taps[t].weight;
            for (int c = 0; c < channels; c++)
                total[c] += weight * ((sum[c] + 128) >> 8);
        }
        DWORD pixel = 0;
        for (int c = 0; c < channels; c++)
            pixel |= ((total[c] + (1u << 23)) >> 24) << (8 * c);
        PutPixel(out, x, outBytes, visibleWidth, pixel);
    }
}

// --- the vector path ---------------------------------------------------------
// The held copy is reduced again at every size a fit chip is dragged to, and
// a photo's rows at every load, so both take a vector path: each value is
// weighed as 8.8 fixed point in 16-bit lanes (pmulhuw of value x 256 by a
// 16-bit weight). Each tap's flooring costs under 1/256 of a level; with at
// most kVectorTaps taps an output stays within a level of the exact average,
// and longer reductions take the exact path above.
static const int kVectorTaps = 16;

// A weight of exactly 1 << 16 (a tap that is the whole output) does not fit
// 16 bits; 65535 of it loses less than 1/256 of a level.
static inline unsigned short Weight16(unsigned weight)
{
    return static_cast<unsigned short>(weight >= kOne ? kOne - 1 : weight);
}

static int MostTaps(const Axis& axis, int outputs)
{
    int most = 0;
    for (int i = 0; i < outputs; i++)
        if (axis.starts[i + 1] - axis.starts[i] > most)
            most = axis.starts[i + 1] - axis.starts[i];
    return most;
}

// The weighed sum of output row y's source rows, byte by byte (the rows'
// layout does not matter here), as 8.8 values into line[0 .. bytes).
__attribute__((target("sse2"))) static void SumRowsVector(const PixelRows& source, const Axis& rows, int y,
                                                        int bytes, unsigned short* line)
{
    const BYTE* taps[kVectorTaps];
    unsigned short weights[kVectorTaps];
    __m128i wide[kVectorTaps];
    int count = rows.starts[y + 1] - rows.starts[y];
    for (int t = 0; t < count; t++) {
        const Tap& tap = rows.taps[rows.starts[y] + t];
        taps[t] = source.top + source.step * (tap.source - source.firstRow);
        weights[t] = Weight16(tap.weight);
        wide[t] = _mm_set1_epi16(static_cast<short>(weights[t]));
    }
    const __m128i zero = _mm_setzero_si128();
    int x = 0;
    for (; x + 16 <= bytes; x += 16) {
        __m128i low = zero, high = zero;
        for (int t = 0; t < count; t++) {
            __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(taps[t] + x));
            low = _mm_add_epi16(low, _mm_mulhi_epu16(_mm_unpacklo_epi8(zero, values), wide[t]));
            high = _mm_add_epi16(high, _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, values), wide[t]));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(line + x), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(line + x + 8), high);
    }
    for (; x < bytes; x++) {
        unsigned sum = 0;
        for (int t = 0; t < count; t++)
            sum += (static_cast<unsigned>(taps[t][x]) << 8) * weights[t] >> 16;
        line[x] = static_cast<unsigned short>(sum);
    }
}

// The column taps laid out for four outputs at a time: every output gets the
// same number of taps (`count`, the most any has; the rest weigh nothing).
// For the outputs 4q .. 4q + 3 and tap k, offsets[(q * count + k) * 4 + j]
// is where output 4q + j's tap lies in the row sums, and weights[q * count +
// k] holds the four outputs' weights, four lanes each (two registers).
struct QuadColumns {
    int count;
    int* offsets;
    __m128i (*weights)[2];
    void* block;  // where both lie, for HeapFree
};

static bool LayColumns(const Axis& columns, int visibleWidth, int lanes, QuadColumns* quads)
{
    int count = MostTaps(columns, visibleWidth);
    int groups = (visibleWidth + 3) / 4;
    unsigned long long bytes =
        static_cast<unsigned long long>(groups) * count * (2 * sizeof(__m128i) + 4 * sizeof(int)) + 16;
    if (bytes > 0x7FFFFFFFULL)
        return false;
    BYTE* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(bytes)));
    if (!block)
        return false;
    quads->count = count;
    quads->block = block;
    quads->weights =
        reinterpret_cast<__m128i(*)[2]>((reinterpret_cast<ULONG_PTR>(block) + 15) & ~static_cast<ULONG_PTR>(15));
    quads->offsets = reinterpret_cast<int*>(quads->weights + static_cast<size_t>(groups) * count);
    for (int x = 0; x < groups * 4; x++) {
        int output = x < visibleWidth ? x : visibleWidth - 1;  // the last quad is filled with the last output
        int first = columns.starts[output];
        int taps = columns.starts[output + 1] - first;
        for (int k = 0; k < count; k++) {
            const Tap& tap = columns.taps[first + (k < taps ? k : taps - 1)];
            unsigned short weight = k < taps ? Weight16(tap.weight) : 0;
            size_t slot = static_cast<size_t>(x / 4) * count + k;
            quads->offsets[slot * 4 + x % 4] = tap.source * lanes;
            unsigned short* laneOf = reinterpret_cast<unsigned short*>(quads->weights[slot]);
            for (int lane = 0; lane < 4; lane++)
                laneOf[(x % 4) * 4 + lane] = weight;
        }
    }
    return true;
}

// Rounds four outputs' 8.8 sums (sixteen lanes, two registers) and writes
// the visible ones; the fourth lane read of each pixel is masked off unless
// it is an alpha that is kept (`keep`, a mask of the lanes to keep).
// Kept inline: a call passes the two registers through memory.
__attribute__((target("sse2"), always_inline)) static inline void PutQuad(__m128i low, __m128i high, int x,
                                                                       int visibleWidth, BYTE* target, int outBytes,
                                                                       DWORD keep)
{
    const __m128i half = _mm_set1_epi16(128);
    low = _mm_srli_epi16(_mm_add_epi16(low, half), 8);
    high = _mm_srli_epi16(_mm_add_epi16(high, half), 8);
    __m128i bytes = _mm_and_si128(_mm_packus_epi16(low, high), _mm_set1_epi32(static_cast<int>(keep)));
    if (outBytes == 4 && x + 4 <= visibleWidth) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + static_cast<size_t>(x) * 4), bytes);
        return;
    }
    DWORD pixels[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), bytes);
    for (int j = 0; j < 4 && x + j < visibleWidth; j++)
        PutPixel(target, x + j, outBytes, visibleWidth, pixels[j]);
}

// One output row from the weighed row sums, four pixels at a time, two to a
// register.
__attribute__((target("sse2"))) static void SumColumnsVector(const unsigned short* line, const QuadColumns& quads,
                                                           int visibleWidth, BYTE* target, int outBytes, DWORD keep)
{
    const int count = quads.count;
    for (int x = 0; x < visibleWidth; x += 4) {
        __m128i low = _mm_setzero_si128(), high = _mm_setzero_si128();
        size_t slot = static_cast<size_t>(x / 4) * count;
        for (int k = 0; k < count; k++) {
            const int* at = quads.offsets + (slot + k) * 4;
            const __m128i* weights = quads.weights[slot + k];
            __m128i first = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + at[0])),
                                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + at[1])));
            __m128i second = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + at[2])),
                                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + at[3])));
            low = _mm_add_epi16(low, _mm_mulhi_epu16(first, weights[0]));
            high = _mm_add_epi16(high, _mm_mulhi_epu16(second, weights[1]));
        }
        PutQuad(low, high, x, visibleWidth, target, outBytes, keep);
    }
}

static bool HasSse2()
{
#if defined(__x86_64__)
    return true;
#else
    return IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
#endif
}

// Output rows yBegin .. yEnd of a vector reduction, taken kChunkRows at a
// time from a count shared by the threads that share the work.
struct Band {
    const PixelRows* source;
    const Axis* rows;
    const QuadColumns* quads;
    int bytes;
    int visibleWidth;
    int yBegin;
    int yEnd;
    BYTE* out;
    ptrdiff_t outStep;
    int outBytes;
    DWORD keep;                 // the bytes of each output pixel kept: alpha too, or not
    volatile LONG* nextChunk;   // the next chunk to take
    volatile LONG* chunksDone;  // chunks finished, by any thread
    HANDLE finished;            // set by whoever finishes the last chunk, when shared
};

static const int kChunkRows = 4;

static int ChunkCount(const Band& band)
{
    return (band.yEnd - band.yBegin + kChunkRows - 1) / kChunkRows;
}

// Takes chunks until none is left, summing rows into `line`.
static void ReduceChunks(const Band& band, unsigned short* line)
{
    for (;;) {
        LONG chunk = InterlockedIncrement(band.nextChunk) - 1;
        if (chunk >= ChunkCount(band))
            return;
        int first = band.yBegin + chunk * kChunkRows;
        int last = first + kChunkRows < band.yEnd ? first + kChunkRows : band.yEnd;
        for (int y = first; y < last; y++) {
            BYTE* target = band.out + band.outStep * y;
            SumRowsVector(*band.source, *band.rows, y, band.bytes, line);
            SumColumnsVector(line, *band.quads, band.visibleWidth, target, band.outBytes, band.keep);
        }
        if (InterlockedIncrement(band.chunksDone) == ChunkCount(band) && band.finished)
            SetEvent(band.finished);
    }
}

// What the pool worker owns with the caller: the last of the two to let go
// frees it. The worker may start late, or not before the caller is done (a
// new worker waits for the loader lock, which the caller may hold): it then
// finds no chunk left and touches nothing but this.
struct Helper {
    Band band;
    volatile LONG nextChunk;
    volatile LONG chunksDone;
    volatile LONG owners;
    HMODULE module;
    unsigned short line[1];  // as long as the row sums need
};

static void LetGo(Helper* helper)
{
    if (InterlockedDecrement(&helper->owners) == 0) {
        CloseHandle(helper->band.finished);
        HeapFree(GetProcessHeap(), 0, helper);
    }
}

// A pool thread's stack is only 4-byte aligned on i386; the vector code
// keeps 16-byte values on it. The work holds a reference to this module,
// let go only once the callback has returned, so that the library cannot be
// unloaded under it.
__attribute__((force_align_arg_pointer)) static VOID CALLBACK HelperWork(PTP_CALLBACK_INSTANCE instance,
                                                                        void* argument)
{
    Helper* helper = static_cast<Helper*>(argument);
    HMODULE module = helper->module;
    ReduceChunks(helper->band, helper->line);
    LetGo(helper);
    FreeLibraryWhenCallbackReturns(instance, module);
}

// The reduction's own pool of one worker, kept while the library is loaded.
// The system's shared pool lets an idle worker go after a few seconds and
// starts another for the next large paint: under Wine each start took close
// to a millisecond and committed 3-4 MB afresh (a gone thread's memory is
// given back only later). Made on first use, by whichever painting thread
// gets there first.
struct ReductionPool {
    PTP_POOL pool;
    TP_CALLBACK_ENVIRON environment;
};

static ReductionPool* volatile g_pool;

static PTP_CALLBACK_ENVIRON PoolEnvironment()
{
    ReductionPool* made = g_pool;
    if (made)
        return &made->environment;
    made = static_cast<ReductionPool*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ReductionPool)));
    if (!made)
        return nullptr;
    made->pool = CreateThreadpool(nullptr);
    // The worker runs only the reduction's loops: 64 KB of stack, 16 KB
    // committed, instead of the process default's megabyte reserved.
    TP_POOL_STACK_INFORMATION stack = {64 * 1024, 16 * 1024};
    if (!made->pool || !SetThreadpoolStackInformation(made->pool, &stack)) {
        if (made->pool)
            CloseThreadpool(made->pool);
        HeapFree(GetProcessHeap(), 0, made);
        return nullptr;
    }
    SetThreadpoolThreadMaximum(made->pool, 1);
    SetThreadpoolThreadMinimum(made->pool, 1);
    InitializeThreadpoolEnvironment(&made->environment);
    SetThreadpoolCallbackPool(&made->environment, made->pool);
    ReductionPool* earlier = static_cast<ReductionPool*>(
        InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&g_pool), made, nullptr));
    if (!earlier)
        return &made->environment;
    DestroyThreadpoolEnvironment(&made->environment);
    CloseThreadpool(made->pool);
    HeapFree(GetProcessHeap(), 0, made);
    return &earlier->environment;
}

void ReleaseReductionPool()
{
    ReductionPool* made = g_pool;
    g_pool = nullptr;
    if (!made)
        return;
    // No work of ours is running: each holds the library loaded until its
    // callback has returned. The idle worker leaves on its own.
    DestroyThreadpoolEnvironment(&made->environment);
    CloseThreadpool(made->pool);
    HeapFree(GetProcessHeap(), 0, made);
}

static bool HasSecondProcessor()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors >= 2;
}

// A large reduction (a full-screen chip dragged) takes twice as long on one
// processor as on two: the worker of the reduction's pool takes rows with
// this thread, a few at a time, so that neither waits for the other when
// the window system keeps a processor busy. A pool worker that is already
// running starts within tens of microseconds; a new thread took close to a
// millisecond under Wine, a fifth of a drag step. This thread never waits for
// the worker to start (a new worker waits for the loader lock, which the
// caller may hold), only for a chunk it has taken to be finished. Below a
// megapixel all rows are done here: a single thread takes under 3 ms there,
// and the worker costs the process 3-4 MB under Wine (its thread data,
// committed whole), which a library that never paints a large chip saves.
static const long long kThreadedPixels = 1 << 20;

static void RunBands(const Band& whole, unsigned short* line, size_t lineBytes)
{
    Helper* helper = nullptr;
    if (static_cast<long long>(whole.visibleWidth) * (whole.yEnd - whole.yBegin) >= kThreadedPixels
        && HasSecondProcessor())
        helper = static_cast<Helper*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Helper) + lineBytes));
    bool submitted = false;
    if (helper) {
        helper->band = whole;
        helper->nextChunk = 0;
        helper->chunksDone = 0;
        helper->owners = 2;
        helper->module = nullptr;
        helper->band.nextChunk = &helper->nextChunk;
        helper->band.chunksDone = &helper->chunksDone;
        helper->band.finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        PTP_CALLBACK_ENVIRON environment = PoolEnvironment();
        if (helper->band.finished && environment
            && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&HelperWork),
                                  &helper->module))
            submitted = TrySubmitThreadpoolCallback(HelperWork, helper, environment) != FALSE;
        if (!submitted) {
            if (helper->module)
                FreeLibrary(helper->module);
            if (helper->band.finished)
                CloseHandle(helper->band.finished);
            HeapFree(GetProcessHeap(), 0, helper);
            helper = nullptr;
        }
    }
    if (!helper) {
        volatile LONG nextChunk = 0, chunksDone = 0;
        Band alone = whole;
        alone.nextChunk = &nextChunk;
        alone.chunksDone = &chunksDone;
        alone.finished = nullptr;
        ReduceChunks(alone, line);
        return;
    }
    ReduceChunks(helper->band, line);
    // The worker is at most one chunk behind, or has not started at all. It
    // is waited for, not spun on: a worker that has lost its processor to
    // another thread then moves to this one, which a spin would keep busy
    // (spinning cost 0.5-0.9 ms a drag step; waiting, 0.01-0.3 ms).
    if (helper->chunksDone < ChunkCount(helper->band))
        WaitForSingleObject(helper->band.finished, INFINITE);
    LetGo(helper);
}

void SourceRowsOf(int sourceHeight, int outHeight, int yBegin, int yEnd, int* first, int* last)
{
    // As BuildAxis has it: output i covers [i * S, (i + 1) * S) where a
    // source row is D wide.
    long long S = sourceHeight, D = outHeight > 0 ? outHeight : 1;
    *first = static_cast<int>(yBegin * S / D);
    long long end = (yEnd * S + D - 1) / D;
    *last = static_cast<int>(end < S ? end : S);
}

bool ReduceArea(const PixelRows& source, int outWidth, int outHeight, int visibleWidth, int visibleHeight,
                BYTE* out, ptrdiff_t outStep, int outBytes, bool alpha)
{
    return ReduceAreaRows(source, outWidth, outHeight, visibleWidth, 0, visibleHeight, out, outStep, outBytes, alpha);
}

bool ReduceAreaRows(const PixelRows& source, int outWidth, int outHeight, int visibleWidth, int yBegin, int yEnd,
                    BYTE* out, ptrdiff_t outStep, int outBytes, bool alpha)
{
    if (source.width <= 0 || source.height <= 0 || outWidth <= 0 || outHeight <= 0
        || outWidth > source.width || outHeight > source.height || visibleWidth <= 0 || yBegin < 0
        || yEnd <= yBegin || visibleWidth > outWidth || yEnd > outHeight
        || (source.bytesPerPixel != 3 && source.bytesPerPixel != 4) || (outBytes != 3 && outBytes != 4)
        || (alpha && (source.bytesPerPixel != 4 || outBytes != 4)))
        return false;
    int channels = alpha ? 4 : 3;
    // Rows are set up from the top so that every band's taps are those of
    // the whole reduction.
    int visibleHeight = yEnd;

    size_t columnTaps = TapCount(source.width, outWidth);
    size_t rowTaps = TapCount(source.height, outHeight);
    // Only the source columns the visible outputs reach are summed.
    long long reach = (static_cast<long long>(visibleWidth) * source.width + outWidth - 1) / outWidth;
    int usedColumns = static_cast<int>(reach < source.width ? reach : source.width);
    // Counted in 64 bits: a row a plug-in claims to be hundreds of millions
    // of pixels wide must fail here, not wrap a 32-bit size.
    unsigned long long wanted = (static_cast<unsigned long long>(columnTaps) + rowTaps) * sizeof(Tap)
        + (static_cast<unsigned long long>(visibleWidth) + visibleHeight + 2) * sizeof(int)
        + (static_cast<unsigned long long>(usedColumns) + 1) * channels * sizeof(unsigned);
    if (wanted > 0x7FFFFFFFULL)
        return false;
    BYTE* work = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(wanted)));
    if (!work)
        return false;
    Axis columns = {reinterpret_cast<Tap*>(work), nullptr};
    Axis rows = {columns.taps + columnTaps, nullptr};
    columns.starts = reinterpret_cast<int*>(rows.taps + rowTaps);
    rows.starts = columns.starts + visibleWidth + 1;
    unsigned* sums = reinterpret_cast<unsigned*>(rows.starts + visibleHeight + 1);
    BuildAxis(source.width, outWidth, visibleWidth, &columns);
    BuildAxis(source.height, outHeight, visibleHeight, &rows);
    if (HasSse2() && MostTaps(columns, visibleWidth) <= kVectorTaps && MostTaps(rows, visibleHeight) <= kVectorTaps) {
        // The 16-bit sums take the room of the 32-bit ones, which is at
        // least the row's bytes and the one lane read past the last pixel.
        unsigned short* line = reinterpret_cast<unsigned short*>(sums);
        QuadColumns quads;
        if (LayColumns(columns, visibleWidth, source.bytesPerPixel, &quads)) {
            Band band = {&source, &rows, &quads, usedColumns * source.bytesPerPixel, visibleWidth, yBegin, yEnd,
                         out, outStep, outBytes, alpha ? 0xFFFFFFFFu : 0x00FFFFFFu, nullptr, nullptr, nullptr};
            RunBands(band, line, (static_cast<size_t>(usedColumns) + 1) * channels * sizeof(unsigned));
            HeapFree(GetProcessHeap(), 0, quads.block);
            HeapFree(GetProcessHeap(), 0, work);
            return true;
        }
    }
    for (int y = yBegin; y < yEnd; y++) {
        for (int t = rows.starts[y]; t < rows.starts[y + 1]; t++) {
            const BYTE* row = source.top + source.step * (rows.taps[t].source - source.firstRow);
            bool first = t == rows.starts[y];
            if (source.bytesPerPixel == 3)
                AddRow<3, 3>(row, rows.taps[t].weight, usedColumns, sums, first);
            else if (!alpha)
                AddRow<4, 3>(row, rows.taps[t].weight, usedColumns, sums, first);
            else
                AddRow<4, 4>(row, rows.taps[t].weight, usedColumns, sums, first);
        }
        ReduceColumns(sums, channels, columns, visibleWidth, out + outStep * y, outBytes);
    }
    HeapFree(GetProcessHeap(), 0, work);
    return true;
}
