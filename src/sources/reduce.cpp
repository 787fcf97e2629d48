#include "sources/reduce.h"

#include <cstring>

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
    if (header.biHeight > 0) {
        rows->top = base + stride * (height - 1);
        rows->step = -stride;
    } else {
        rows->top = base;
        rows->step = stride;
    }
    return true;
}

// Adds weight x the first `columns` pixels of `row` into sums, three per
// pixel; the first tap of an output row sets them instead.
template <int kBytes>
static void AddRow(const BYTE* row, unsigned weight, int columns, unsigned* sums, bool first)
{
    if (first) {
        for (int x = 0; x < columns; x++, row += kBytes, sums += 3) {
            sums[0] = weight * row[0];
            sums[1] = weight * row[1];
            sums[2] = weight * row[2];
        }
        return;
    }
    for (int x = 0; x < columns; x++, row += kBytes, sums += 3) {
        sums[0] += weight * row[0];
        sums[1] += weight * row[1];
        sums[2] += weight * row[2];
    }
}

// One output row from the column sums: each sum, a value with 16 bits of
// fraction, is cut to 8 bits of fraction first so the second weighing stays
// inside 32 bits (65280 x 65536 < 2^32).
static void ReduceColumns(const unsigned* sums, const Axis& columns, int visibleWidth, DWORD* out)
{
    for (int x = 0; x < visibleWidth; x++) {
        unsigned b = 0, g = 0, r = 0;
        for (int t = columns.starts[x]; t < columns.starts[x + 1]; t++) {
            const unsigned* sum = sums + columns.taps[t].source * 3;
            unsigned weight = columns.taps[t].weight;
            b += weight * ((sum[0] + 128) >> 8);
            g += weight * ((sum[1] + 128) >> 8);
            r += weight * ((sum[2] + 128) >> 8);
        }
        out[x] = ((b + (1u << 23)) >> 24) | (((g + (1u << 23)) >> 24) << 8) | (((r + (1u << 23)) >> 24) << 16);
    }
}

bool ReduceArea(const PixelRows& source, int outWidth, int outHeight, int visibleWidth, int visibleHeight,
                BYTE* out, ptrdiff_t outStep)
{
    if (source.width <= 0 || source.height <= 0 || outWidth <= 0 || outHeight <= 0
        || outWidth > source.width || outHeight > source.height || visibleWidth <= 0 || visibleHeight <= 0
        || visibleWidth > outWidth || visibleHeight > outHeight
        || (source.bytesPerPixel != 3 && source.bytesPerPixel != 4))
        return false;

    size_t columnTaps = TapCount(source.width, outWidth);
    size_t rowTaps = TapCount(source.height, outHeight);
    // Only the source columns the visible outputs reach are summed.
    long long reach = (static_cast<long long>(visibleWidth) * source.width + outWidth - 1) / outWidth;
    int usedColumns = static_cast<int>(reach < source.width ? reach : source.width);
    size_t bytes = (columnTaps + rowTaps) * sizeof(Tap) + (static_cast<size_t>(visibleWidth) + visibleHeight + 2) * sizeof(int)
        + static_cast<size_t>(usedColumns) * 3 * sizeof(unsigned);
    BYTE* work = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (!work)
        return false;
    Axis columns = {reinterpret_cast<Tap*>(work), nullptr};
    Axis rows = {columns.taps + columnTaps, nullptr};
    columns.starts = reinterpret_cast<int*>(rows.taps + rowTaps);
    rows.starts = columns.starts + visibleWidth + 1;
    unsigned* sums = reinterpret_cast<unsigned*>(rows.starts + visibleHeight + 1);
    BuildAxis(source.width, outWidth, visibleWidth, &columns);
    BuildAxis(source.height, outHeight, visibleHeight, &rows);

    for (int y = 0; y < visibleHeight; y++) {
        for (int t = rows.starts[y]; t < rows.starts[y + 1]; t++) {
            const BYTE* row = source.top + source.step * rows.taps[t].source;
            bool first = t == rows.starts[y];
            if (source.bytesPerPixel == 3)
                AddRow<3>(row, rows.taps[t].weight, usedColumns, sums, first);
            else
                AddRow<4>(row, rows.taps[t].weight, usedColumns, sums, first);
        }
        ReduceColumns(sums, columns, visibleWidth, reinterpret_cast<DWORD*>(out + outStep * y));
    }
    HeapFree(GetProcessHeap(), 0, work);
    return true;
}
