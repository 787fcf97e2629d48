// The area-averaging reduction, on tiny inline pictures whose rows lie as
// plug-ins and the platform hand them over: 24-bit rows padded to four
// bytes, 32-bit rows, bottom-up and top-down.
#include <doctest.h>

#include <vector>

#include "pictures/picture_form.h"
#include "common/reduce.h"
#include "test_support.h"

// A deterministic pixel with fine detail: neighbours differ by a lot.
static DWORD Pattern(int x, int y)
{
    return ((x * 97 + y * 31) & 0xFF) | (((x * y * 13 + 7) & 0xFF) << 8) | ((((x ^ y) * 71) & 0xFF) << 16);
}

// width x height of Pattern as rows of `bytes` per pixel, padded to four
// bytes, bottom-up or top-down.
static std::vector<BYTE> Rows(int width, int height, int bytes, bool bottomUp, size_t* stride)
{
    *stride = (static_cast<size_t>(width) * bytes + 3) & ~size_t(3);
    std::vector<BYTE> data(*stride * height, 0xEE);  // padding that must not be read as pixels
    for (int y = 0; y < height; y++) {
        BYTE* row = &data[*stride * (bottomUp ? height - 1 - y : y)];
        for (int x = 0; x < width; x++) {
            DWORD pixel = Pattern(x, y);
            memcpy(row + x * bytes, &pixel, 3);
        }
    }
    return data;
}

// A reduction large enough to be shared with a second thread, at an
// inexact ratio, against the exact area average of every seventh row (rows
// are handed out four at a time: seven reaches every place in a handful).
static void CheckLargeReduction()
{
    const int W = 2403, H = 1801, w = 1201, h = 900;
    std::vector<DWORD> source(static_cast<size_t>(W) * H);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            source[static_cast<size_t>(y) * W + x] = Pattern(x, y);
    PixelRows rows = {reinterpret_cast<const BYTE*>(source.data()), W * 4, W, H, 4, 0};
    std::vector<DWORD> out(static_cast<size_t>(w) * h);
    REQUIRE(ReduceArea(rows, w, h, w, h, reinterpret_cast<BYTE*>(out.data()), w * 4));
    const int step = 7;
    std::vector<DWORD> exact = AreaAverage(source.data(), W, H, W, w, h, step);
    int distant = 0;
    for (int y = 0; y < h; y += step)
        distant += CountFarPixels(&out[static_cast<size_t>(y) * w], &exact[static_cast<size_t>(y) * w], w, 1);
    CHECK(distant == 0);
}

TEST_CASE("reduce: odd sizes, both row orders and both depths come within a level of the area average")
{
    const int sizes[][4] = {{7, 5, 3, 2}, {7, 5, 1, 1}, {7, 5, 7, 5}, {5, 3, 2, 3}, {13, 11, 4, 5}, {1, 9, 1, 4}};
    for (const auto& s : sizes)
        for (int bytes = 3; bytes <= 4; bytes++)
            for (int bottomUp = 0; bottomUp < 2; bottomUp++) {
                CAPTURE(s[0]);
                CAPTURE(s[2]);
                CAPTURE(bytes);
                CAPTURE(bottomUp);
                size_t stride;
                std::vector<BYTE> data = Rows(s[0], s[1], bytes, bottomUp, &stride);
                BITMAPINFOHEADER header = {sizeof(header), s[0], bottomUp ? s[1] : -s[1], 1, WORD(bytes * 8), BI_RGB,
                                           0, 0, 0, 0, 0};
                PixelRows rows;
                REQUIRE(RowsOfDib(header, data.data(), &rows));
                std::vector<DWORD> out(static_cast<size_t>(s[2]) * s[3], 0xDEADBEEF);
                REQUIRE(ReduceArea(rows, s[2], s[3], s[2], s[3], reinterpret_cast<BYTE*>(out.data()), s[2] * 4));
                std::vector<DWORD> source(static_cast<size_t>(s[0]) * s[1]);
                for (int y = 0; y < s[1]; y++)
                    for (int x = 0; x < s[0]; x++)
                        source[static_cast<size_t>(y) * s[0] + x] = Pattern(x, y);
                std::vector<DWORD> exact = AreaAverage(source.data(), s[0], s[1], s[0], s[2], s[3]);
                CHECK(CountFarPixels(out.data(), exact.data(), s[2] * s[3], 1) == 0);
                for (DWORD pixel : out)
                    CHECK((pixel >> 24) == 0);
                // As 24-bit rows: the same pixels, and the rows' padding untouched.
                size_t outStride = (static_cast<size_t>(s[2]) * 3 + 3) & ~size_t(3);
                std::vector<BYTE> packed(outStride * s[3] + 4, 0xEE);
                REQUIRE(ReduceArea(rows, s[2], s[3], s[2], s[3], packed.data(), outStride, 3));
                for (int y = 0; y < s[3]; y++) {
                    for (int x = 0; x < s[2]; x++)
                        CHECK(memcmp(&packed[outStride * y + x * 3], &out[static_cast<size_t>(y) * s[2] + x], 3) == 0);
                    for (size_t pad = s[2] * 3; pad < outStride; pad++)
                        CHECK(packed[outStride * y + pad] == 0xEE);
                }
            }

    // Large enough to be split between two threads, at an inexact ratio.
    CheckLargeReduction();

    // A part of the output: only the visible corner is written.
    size_t stride;
    std::vector<BYTE> data = Rows(9, 9, 3, true, &stride);
    BITMAPINFOHEADER header = {sizeof(header), 9, 9, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    PixelRows rows;
    REQUIRE(RowsOfDib(header, data.data(), &rows));
    DWORD corner[3 * 3];
    for (DWORD& pixel : corner)
        pixel = 0x01020304;
    REQUIRE(ReduceArea(rows, 3, 3, 2, 2, reinterpret_cast<BYTE*>(corner), 3 * 4));
    CHECK(corner[2] == 0x01020304);
    CHECK(corner[6] == 0x01020304);
    CHECK(corner[0] != 0x01020304);

    // Sizes it cannot honour write nothing.
    CHECK_FALSE(ReduceArea(rows, 10, 3, 10, 3, reinterpret_cast<BYTE*>(corner), 40));
    CHECK_FALSE(ReduceArea(rows, 3, 3, 4, 3, reinterpret_cast<BYTE*>(corner), 12));
    CHECK_FALSE(ReduceArea(rows, 0, 3, 0, 3, reinterpret_cast<BYTE*>(corner), 12));
}

TEST_CASE("picture form: 24-bit rows of odd widths (padded) are widened exactly, whole or reduced")
{
    for (int width : {1, 3, 5}) {
        for (int bottomUp = 0; bottomUp < 2; bottomUp++) {
            CAPTURE(width);
            CAPTURE(bottomUp);
            const int height = 4;
            size_t stride;
            std::vector<BYTE> data = Rows(width, height, 3, bottomUp, &stride);
            BITMAPINFO info = {};
            info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, bottomUp ? height : -height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
            HBITMAP whole = PictureFromDib(&info, data.data(), nullptr, DisplaySize{0, 0});
            REQUIRE(whole);
            PixelRows rows;
            REQUIRE(PictureRows(whole, &rows));
            for (int y = 0; y < height; y++)
                for (int x = 0; x < width; x++) {
                    DWORD pixel;
                    memcpy(&pixel, rows.top + rows.step * y + x * 4, 4);
                    CHECK(pixel == Pattern(x, y));
                }
            DeleteObject(whole);

            HBITMAP half = PictureFromDib(&info, data.data(), nullptr, DisplaySize{(width + 1) / 2, 2});
            REQUIRE(half);
            BITMAP size = {};
            GetObjectA(half, sizeof(size), &size);
            CHECK(size.bmWidth == (width + 1) / 2);
            CHECK(size.bmHeight == 2);
            DeleteObject(half);
        }
    }
}

TEST_CASE("reduce: under the loader lock, where no new thread can start, a large reduction still finishes")
{
    // A host may paint from inside a DLL's attach; a new thread then waits
    // for the loader lock before it runs a line of ours.
    LoaderLockHeld lock;
    REQUIRE(lock.held);
    CheckLargeReduction();
}

TEST_CASE("reduce: with alpha kept, the fourth byte is averaged as the colours are, by the vector and the exact path")
{
    // 7 x 5 to 3 x 2 takes the vector path; 40 wide to 2 passes its 16 taps.
    const int sizes[][4] = {{7, 5, 3, 2}, {40, 17, 2, 1}};
    for (const auto& s : sizes) {
        CAPTURE(s[0]);
        std::vector<DWORD> source(static_cast<size_t>(s[0]) * s[1]), alphas(source.size());
        for (int y = 0; y < s[1]; y++)
            for (int x = 0; x < s[0]; x++) {
                DWORD alpha = (x * 37 + y * 11) & 0xFF;
                source[static_cast<size_t>(y) * s[0] + x] = Pattern(x, y) | alpha << 24;
                alphas[static_cast<size_t>(y) * s[0] + x] = alpha;
            }
        PixelRows rows = {reinterpret_cast<const BYTE*>(source.data()), s[0] * 4, s[0], s[1], 4, 0};
        std::vector<DWORD> out(static_cast<size_t>(s[2]) * s[3]);
        REQUIRE(ReduceArea(rows, s[2], s[3], s[2], s[3], reinterpret_cast<BYTE*>(out.data()), s[2] * 4, 4, true));
        std::vector<DWORD> colours = AreaAverage(source.data(), s[0], s[1], s[0], s[2], s[3]);
        std::vector<DWORD> alpha = AreaAverage(alphas.data(), s[0], s[1], s[0], s[2], s[3]);
        for (size_t i = 0; i < out.size(); i++) {
            CHECK(CountFarPixels(&out[i], &colours[i], 1, 1) == 0);
            CHECK(abs(static_cast<int>(out[i] >> 24) - static_cast<int>(alpha[i] & 0xFF)) <= 1);
        }
    }
}
