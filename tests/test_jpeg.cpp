// JPEG in ifsyscodec.spi, decoded by libjpeg-turbo: every form its encoder
// writes, against its own decode and the platform's; at the scale a chip
// holds, in every orientation; and files cut short, broken or hostile.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // jpeglib.h's `boolean` must not meet rpcndr.h's
#endif
#include <doctest.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "common/image_io.h"
#include "common/reduce.h"
#include "syscodec_support.h"

// A photo-like picture: soft gradients running a different way in each
// channel, so that a picture turned the wrong way shows, with fine grain
// as a photograph has; `components` bytes a pixel: grey, R,G,B or C,M,Y,K.
static std::vector<BYTE> Pattern(int width, int height, int components)
{
    static const int kAcross[4] = {100, -120, 40, 70}, kDown[4] = {-40, 120, 90, -60};
    std::vector<BYTE> pixels(static_cast<size_t>(width) * height * components);
    BYTE* p = pixels.data();
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            unsigned grain = static_cast<unsigned>(x) * 2654435761u ^ static_cast<unsigned>(y) * 40503u;
            grain = (grain ^ (grain >> 13)) * 1274126177u;
            int noise = static_cast<int>((grain >> 24) & 31) - 16;
            for (int c = 0; c < components; c++) {
                int value = 128 + kAcross[c] * (2 * x - width) / (2 * width) + kDown[c] * (2 * y - height) / (2 * height)
                    + noise;
                *p++ = static_cast<BYTE>(value < 0 ? 0 : value > 255 ? 255 : value);
            }
        }
    return pixels;
}

struct Form {
    const char* name;
    J_COLOR_SPACE space;
    int h, v;  // the first component's sampling (and the fourth's, of four)
    bool progressive, arithmetic;
    int restartRows;
    bool adobe;  // CMYK written with Adobe's marker: its values count as inverted
    int quality;
};

static std::string EncodeJpeg(const Form& form, int width, int height)
{
    int components = form.space == JCS_GRAYSCALE ? 1 : form.space == JCS_CMYK || form.space == JCS_YCCK ? 4 : 3;
    std::vector<BYTE> pixels = Pattern(width, height, components);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    errors.output_message = [](j_common_ptr) {};  // "tables too coarse for baseline": meant
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, form.space);
    int quality = form.quality ? form.quality : 90;
    jpeg_set_quality(&cinfo, quality, quality >= 25);  // below 25, 16-bit tables: extended sequential
    cinfo.comp_info[0].h_samp_factor = form.h;
    cinfo.comp_info[0].v_samp_factor = form.v;
    if (components == 4) {
        cinfo.comp_info[3].h_samp_factor = form.h;
        cinfo.comp_info[3].v_samp_factor = form.v;
    }
    if (form.space == JCS_CMYK)
        cinfo.write_Adobe_marker = form.adobe;
    if (form.progressive)
        jpeg_simple_progression(&cinfo);
    cinfo.arith_code = form.arithmetic;
    cinfo.restart_in_rows = form.restartRows;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = &pixels[static_cast<size_t>(cinfo.next_scanline) * width * components];
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::string bytes(reinterpret_cast<char*>(out), size);
    jpeg_destroy_compress(&cinfo);
    free(out);
    return bytes;
}

// libjpeg-turbo's own decode with its defaults, as djpeg makes it: top row
// first, B,G,R.
static std::vector<BYTE> OwnDecode(const std::string& jpeg)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&cinfo);
    std::vector<BYTE> pixels(static_cast<size_t>(cinfo.output_width) * cinfo.output_height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &pixels[static_cast<size_t>(cinfo.output_scanline) * cinfo.output_width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return pixels;
}

// A decode's pixels, top row first, B,G,R, without padding.
static std::vector<BYTE> TopDown(const Decoded& d)
{
    std::vector<BYTE> pixels;
    for (int y = d.height - 1; y >= 0; y--)
        pixels.insert(pixels.end(), d.bits.begin() + y * d.stride, d.bits.begin() + y * d.stride + d.width * 3);
    return pixels;
}

// The platform's decode of the file, top row first, B,G,R.
static std::vector<BYTE> PlatformDecode(const std::string& path)
{
    std::vector<BYTE> bgra, bgr;
    int width = 0, height = 0;
    DecodePixels(path, &bgra, &width, &height);
    for (size_t i = 0; i < bgra.size(); i += 4)
        bgr.insert(bgr.end(), &bgra[i], &bgra[i] + 3);
    return bgr;
}

static int MostDifferent(const std::vector<BYTE>& a, const std::vector<BYTE>& b)
{
    int most = a.size() == b.size() ? 0 : 256;
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        most = std::max(most, abs(a[i] - b[i]));
    return most;
}

TEST_CASE("jpeg: every form decodes as libjpeg-turbo's own defaults do; full-resolution colour as the platform's decoder does")
{
    SysCodec codec;
    std::string folder = ScratchFolder("jpeg-forms");
    const Form forms[] = {
        {"grey", JCS_GRAYSCALE, 1, 1, false, false, 0, false, 0},
        {"ycc444", JCS_YCbCr, 1, 1, false, false, 0, false, 0},
        {"ycc422", JCS_YCbCr, 2, 1, false, false, 0, false, 0},
        {"ycc420", JCS_YCbCr, 2, 2, false, false, 0, false, 0},
        {"ycc440", JCS_YCbCr, 1, 2, false, false, 0, false, 0},
        {"ycc411", JCS_YCbCr, 4, 1, false, false, 0, false, 0},
        {"extended", JCS_YCbCr, 2, 2, false, false, 0, false, 10},
        {"rgb", JCS_RGB, 1, 1, false, false, 0, false, 0},
        {"progressive", JCS_YCbCr, 2, 2, true, false, 0, false, 0},
        {"restarts", JCS_YCbCr, 2, 2, false, false, 1, false, 0},
        {"arithmetic", JCS_YCbCr, 2, 1, false, true, 0, false, 0},
        {"arithmetic-progressive", JCS_YCbCr, 1, 1, true, true, 0, false, 0},
        {"cmyk-inverted", JCS_CMYK, 1, 1, false, false, 0, true, 0},
        {"cmyk", JCS_CMYK, 1, 1, false, false, 0, false, 0},
        {"ycck", JCS_YCCK, 1, 1, false, false, 0, true, 0},
    };
    for (const Form& form : forms) {
        std::string name = form.name;
        CAPTURE(name);
        std::string bytes = EncodeJpeg(form, 61, 47);  // partial blocks on both sides
        std::string path = folder + "\\" + name + ".jpg";
        REQUIRE(WriteFileBytes(path, bytes.data(), bytes.size()));
        Decoded d = Decode(codec, path);
        REQUIRE(d.result == SPI_SUCCESS);
        CHECK(d.width == 61);
        CHECK(d.height == 47);
        bool fourComponents = form.space == JCS_CMYK || form.space == JCS_YCCK;
        if (!fourComponents)
            CHECK(TopDown(d) == OwnDecode(bytes));
        // The platform's decoder upsamples colour otherwise; at full
        // resolution every conversion gives its numbers, CMYK's included,
        // YCbCr's within a level of rounding.
        if (form.h == 1 && form.v == 1)
            CHECK(MostDifferent(TopDown(d), PlatformDecode(path)) <= (form.space == JCS_YCbCr ? 1 : 0));
    }
    RemoveTree(folder);
}

// A reduced decode through GetReducedPicture, top row first, B,G,R; empty
// when it fails.
static std::vector<BYTE> ReducedDecode(const SysCodec& codec, const std::string& path, Wanted* wanted)
{
    ReducedGetPicture getReduced = codec.getReduced;
    HLOCAL info = nullptr, bits = nullptr;
    if (!getReduced)
        return std::vector<BYTE>();
    int result = getReduced(path.c_str(), 0, SPI_INPUT_FILE, Wanted::Answer, reinterpret_cast<LONG_PTR>(wanted), &info,
                            &bits, nullptr, 0);
    Decoded d = TakeBlocks(result, info, bits);
    return d.result == SPI_SUCCESS && d.width == wanted->width && d.height == wanted->height ? TopDown(d)
                                                                                            : std::vector<BYTE>();
}

// The exact area average of a whole decode, top row first, B,G,R.
static std::vector<BYTE> AreaAverage(const Decoded& whole, int width, int height)
{
    BITMAPINFOHEADER header = {sizeof(header), whole.width, whole.height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    PixelRows rows;
    std::vector<BYTE> out(static_cast<size_t>(width) * height * 3);
    if (!RowsOfDib(header, whole.bits.data(), &rows) || !ReduceArea(rows, width, height, width, height, out.data(), width * 3, 3))
        out.clear();
    return out;
}

static double Psnr(const std::vector<BYTE>& a, const std::vector<BYTE>& b, double* mean)
{
    double squares = 0, sum = 0;
    for (size_t i = 0; i < a.size(); i++) {
        double d = static_cast<double>(a[i]) - b[i];
        squares += d * d;
        sum += fabs(d);
    }
    *mean = sum / a.size();
    return squares == 0 ? 99 : 10 * log10(255.0 * 255.0 * a.size() / squares);
}

TEST_CASE("jpeg: decoded at the scale asked for, in every orientation, within 44 dB of the whole decode's area average; profiles on the reduced pixels")
{
    SysCodec codec;
    std::string folder = ScratchFolder("jpeg-reduced");
    const Form ycc420 = {"ycc420", JCS_YCbCr, 2, 2, false, false, 0, false, 0};
    const Form progressive = {"progressive", JCS_YCbCr, 2, 2, true, false, 0, false, 0};
    const Form cmyk = {"cmyk", JCS_CMYK, 1, 1, false, false, 0, true, 0};
    const std::string swap = ColordProfile("SwappedRedAndGreen.icc");
    REQUIRE(swap.size() > 132);
    const struct {
        const Form& form;
        int orientation;
    } cases[] = {{ycc420, 1}, {ycc420, 2}, {ycc420, 3}, {ycc420, 4}, {ycc420, 5}, {ycc420, 6}, {ycc420, 7},
                 {ycc420, 8}, {progressive, 1}, {cmyk, 6}};
    for (const auto& c : cases) {
        std::string name = c.form.name;
        CAPTURE(name);
        CAPTURE(c.orientation);
        std::string path = folder + "\\photo.jpg";
        std::string bytes = WithExifOrientation(EncodeJpeg(c.form, 803, 601), c.orientation);
        REQUIRE(WriteFileBytes(path, bytes.data(), bytes.size()));
        Decoded whole = Decode(codec, path);
        REQUIRE(whole.result == SPI_SUCCESS);
        // Decoded at 2/8, then reduced by about 1.5, as a photo is for a
        // fit chip.
        Wanted wanted = {whole.width / 6 + 1, whole.height / 6 + 1, 0, 0};
        std::vector<BYTE> reduced = ReducedDecode(codec, path, &wanted);
        REQUIRE(!reduced.empty());
        CHECK(wanted.toldWidth == whole.width);
        CHECK(wanted.toldHeight == whole.height);
        double mean = 0, psnr = Psnr(reduced, AreaAverage(whole, wanted.width, wanted.height), &mean);
        CAPTURE(psnr);
        CHECK(psnr >= 44);
        CHECK(mean <= 1.0);

        // The profile converts the reduced pixels as it converts whole ones.
        if (c.orientation == 6) {
            std::string profiled = WithJpegProfile(bytes, swap, {1}, 1);
            REQUIRE(WriteFileBytes(path, profiled.data(), profiled.size()));
            std::vector<BYTE> converted = ReducedDecode(codec, path, &wanted);
            REQUIRE(converted.size() == reduced.size());
            for (size_t i = 0; i < reduced.size(); i += 3)
                std::swap(reduced[i + 1], reduced[i + 2]);
            CHECK(MostDifferent(converted, reduced) <= 2);
        }
    }
    RemoveTree(folder);
}

// Where the first segment of `marker` starts, or npos.
static size_t FindMarker(const std::string& jpeg, unsigned char marker)
{
    for (size_t at = 2; at + 4 <= jpeg.size();) {
        if (static_cast<unsigned char>(jpeg[at]) != 0xFF)
            return std::string::npos;
        if (static_cast<unsigned char>(jpeg[at + 1]) == marker)
            return at;
        at += 2 + (static_cast<unsigned char>(jpeg[at + 2]) << 8 | static_cast<unsigned char>(jpeg[at + 3]));
    }
    return std::string::npos;
}

// Whether the first `length` bytes end inside a scan's coded data: after an
// SOS segment, with no marker but restarts since. A file cut there shows the
// rows its scans hold; one cut inside the tables between two scans may be
// broken data.
static bool EndsInScanData(const std::string& jpeg, size_t length)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(jpeg.data());
    for (size_t at = length; at-- > 2;) {
        if (b[at - 1] != 0xFF || b[at] == 0x00 || (b[at] >= 0xD0 && b[at] <= 0xD7))
            continue;
        if (b[at] != 0xDA || at + 3 > jpeg.size())
            return false;  // the last marker before the end is not a scan's
        return length >= at + 1 + (b[at + 1] << 8 | b[at + 2]);
    }
    return false;
}

static bool Grey(const std::vector<BYTE>& pixels, int width, int y)
{
    for (int i = 0; i < width * 3; i++)
        if (pixels[static_cast<size_t>(y) * width * 3 + i] != 128)
            return false;
    return true;
}

TEST_CASE("jpeg: a file cut short shows what it holds over grey; broken headers, huge coefficient buffers and forms libjpeg-turbo does not read")
{
    SysCodec codec;
    std::string folder = ScratchFolder("jpeg-cut");
    const Form ycc420 = {"ycc420", JCS_YCbCr, 2, 2, false, false, 0, false, 0};
    std::string bytes = EncodeJpeg(ycc420, 64, 256);
    std::string path = folder + "\\cut.jpg";
    std::vector<BYTE> full = OwnDecode(bytes);
    for (int quarter = 1; quarter <= 3; quarter++) {
        CAPTURE(quarter);
        REQUIRE(WriteFileBytes(path, bytes.data(), bytes.size() * quarter / 4));
        Decoded cut = Decode(codec, path);
        REQUIRE(cut.result == SPI_SUCCESS);
        std::vector<BYTE> shown = TopDown(cut);
        int firstGrey = 0;
        while (firstGrey < 256 && !Grey(shown, 64, firstGrey))
            firstGrey++;
        CHECK(firstGrey > 32 * (quarter - 1));
        CHECK(firstGrey < 256);
        for (int y = firstGrey; y < 256; y++)
            REQUIRE(Grey(shown, 64, y));
        // What was there shows as it does whole, but for the row group the
        // data ended in.
        size_t whole = static_cast<size_t>(firstGrey > 16 ? firstGrey - 16 : 0) * 64 * 3;
        CHECK(std::equal(shown.begin(), shown.begin() + whole, full.begin()));
        Wanted half = {32, 128, 0, 0};
        CHECK(ReducedDecode(codec, path, &half).size() == 32 * 128 * 3);
    }

    std::string header = bytes.substr(0, 100);
    std::string noComponents = bytes;
    size_t frame = FindMarker(bytes, 0xC0);
    REQUIRE(frame != std::string::npos);
    noComponents[frame + 9] = 0;
    for (const std::string* broken : {&header, &noComponents}) {
        REQUIRE(WriteFileBytes(path, broken->data(), broken->size()));
        CHECK(Decode(codec, path).result == SPI_BROKEN_DATA);
        SusiePictureInfo info = {};
        CHECK(codec.getPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_BROKEN_DATA);
    }

    // 16000 x 16000 progressive at 4:4:4: under the pixels a host may hold,
    // but its coefficients alone would take 1.5 GB.
    const Form progressive = {"progressive", JCS_YCbCr, 1, 1, true, false, 0, false, 0};
    std::string huge = EncodeJpeg(progressive, 64, 64);
    frame = FindMarker(huge, 0xC2);
    REQUIRE(frame != std::string::npos);
    const char size[4] = {'\x3E', '\x80', '\x3E', '\x80'};
    huge.replace(frame + 5, 4, size, 4);
    REQUIRE(WriteFileBytes(path, huge.data(), huge.size()));
    PROCESS_MEMORY_COUNTERS before = {}, after = {};
    before.cb = after.cb = sizeof(before);
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before));
    CHECK(Decode(codec, path).result == SPI_NO_MEMORY);
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after));
    CHECK(after.PeakWorkingSetSize - before.PeakWorkingSetSize < (64u << 20));

    // A colour transform marker of a later libjpeg that libjpeg-turbo does
    // not read: the platform's decoder has the file, and adds the green
    // back that the transform took off.
    const Form rgb = {"rgb", JCS_RGB, 1, 1, false, false, 0, false, 0};
    std::string transformed = EncodeJpeg(rgb, 40, 30);
    const char lse[] = {'\xFF', '\xF8', 0, 24, 13, 0, '\xFF', 3, 'G', 'R', 'B', '\x80', 0, 0, 0, 0,
                        0, 0, 1, 0, 0, 0, 0, 1, 0, 0};
    size_t scan = FindMarker(transformed, 0xDA);
    REQUIRE(scan != std::string::npos);
    transformed.insert(scan, lse, sizeof(lse));
    REQUIRE(WriteFileBytes(path, transformed.data(), transformed.size()));
    Decoded fallen = Decode(codec, path);
    REQUIRE(fallen.result == SPI_SUCCESS);
    std::vector<BYTE> platform = PlatformDecode(path);
    REQUIRE(platform.size() == 40 * 30 * 3);
    CHECK(TopDown(fallen) == platform);
    CHECK(MostDifferent(platform, OwnDecode(EncodeJpeg(rgb, 40, 30))) > 16);
    RemoveTree(folder);
}

TEST_CASE("jpeg: a hostile sweep of cut files and flipped bits in headers and scans gives pictures or clean failures, and keeps nothing")
{
    SysCodec codec;
    ReducedGetPicture getReduced = codec.getReduced;
    bool exported = getReduced != nullptr;
    REQUIRE(exported);
    const Form forms[] = {
        {"restarts", JCS_YCbCr, 2, 2, false, false, 1, false, 0},
        {"progressive", JCS_YCbCr, 2, 1, true, false, 0, false, 0},
        {"arithmetic", JCS_YCbCr, 1, 1, true, true, 0, false, 0},
        {"cmyk", JCS_CMYK, 1, 1, false, false, 0, true, 0},
    };
    // Every sixteenth of each file, each header byte with one bit flipped
    // (a different bit each time), and 150 bits across each file's scans.
    // A file cut before its first scan shows nothing; one cut inside a
    // scan's coded data shows what it holds.
    std::vector<std::string> cases, cut;
    std::vector<int> cutShows;  // 0 or 2 pictures (whole, reduced); -1 either
    for (const Form& form : forms) {
        std::string bytes = EncodeJpeg(form, 40, 24);
        size_t scan = FindMarker(bytes, 0xDA);
        REQUIRE(scan != std::string::npos);
        for (int sixteenth = 0; sixteenth < 16; sixteenth++) {
            cut.push_back(bytes.substr(0, bytes.size() * sixteenth / 16));
            size_t length = cut.back().size();
            cutShows.push_back(length < scan + 14 ? 0 : EndsInScanData(bytes, length) ? 2 : -1);
        }
        for (size_t at = 2; at < scan + 14; at++) {
            cases.push_back(bytes);
            cases.back()[at] = static_cast<char>(cases.back()[at] ^ (1 << (at % 8)));
        }
        for (int i = 0; i < 150; i++) {
            size_t at = scan + 14 + (bytes.size() - scan - 16) * i / 150;
            cases.push_back(bytes);
            cases.back()[at] = static_cast<char>(cases.back()[at] ^ (1 << (i * 3 % 8)));
        }
    }
    cases.insert(cases.end(), cut.begin(), cut.end());
    // The first round lets the platform's decoder and the heap settle; the
    // files cut short are also read as files.
    std::string folder = ScratchFolder("jpeg-hostile");
    std::string path = folder + "\\cut.jpg";
    long long handles = 0, committed = 0;
    int unclean = 0;
    for (int round = 0; round < 2; round++) {
        if (round == 1) {
            handles = CountKernelHandles();
            committed = CommittedPrivateBytes();
        }
        for (const std::string& bytes : cases)
            unclean += !DecodesCleanly(codec, getReduced, bytes);
        for (size_t i = 0; i < cut.size(); i++) {
            int pictures = 0;
            unclean += !WriteFileBytes(path, cut[i].data(), cut[i].size())
                || !DecodesCleanly(codec, getReduced, cut[i], path.c_str(), &pictures);
            CAPTURE(i);
            if (cutShows[i] >= 0)
                CHECK(pictures == cutShows[i]);
        }
    }
    CHECK(unclean == 0);
    CHECK(CountKernelHandles() == handles);
    CHECK(CommittedPrivateBytes() - committed < (1 << 20));
    RemoveTree(folder);
}
