// WebP through libwebp in ifsyscodec.spi, against Debian's own tools: the
// pictures and the reference decodes are made before this program runs
// (tests/webp_pictures.py), beside it in webp\.
#include <doctest.h>

#include <cstring>

#include "common/reduce.h"
#include "syscodec_support.h"

static std::string WebpFile(const char* name)
{
    std::string exe = DxlPath();  // ...\Ovilune.dxl, one folder above the tests
    return exe.substr(0, exe.find_last_of('\\')) + "\\tests\\webp\\" + name;
}

// A PAM file of tests/webp_pictures.py: R,G,B,A, top row first.
struct Pam {
    int width = 0, height = 0;
    std::string rgba;
    const BYTE* At(int x, int y) const { return reinterpret_cast<const BYTE*>(rgba.data()) + (y * width + x) * 4; }
};

static Pam ReadPam(const char* name)
{
    Pam pam;
    std::string bytes = ReadFileBytes(WebpFile(name));
    size_t end = bytes.find("ENDHDR\n");
    if (end == std::string::npos || sscanf(bytes.c_str(), "P7\nWIDTH %d\nHEIGHT %d", &pam.width, &pam.height) != 2)
        return Pam();
    pam.rgba = bytes.substr(end + 7);
    if (pam.rgba.size() != static_cast<size_t>(pam.width) * pam.height * 4)
        return Pam();
    return pam;
}

// A straight R,G,B,A pixel composed over white, as GetPicture shows it.
static COLORREF OverWhite(const BYTE* rgba)
{
    auto over = [&](int c) { return (rgba[c] * rgba[3] + 255 * (255 - rgba[3]) + 127) / 255; };
    return RGB(over(0), over(1), over(2));
}

// The largest difference of a channel between a decode and what the
// reference shows over white.
static int MostApart(const Decoded& d, const Pam& reference)
{
    int most = 0;
    for (int y = 0; y < reference.height; y++)
        for (int x = 0; x < reference.width; x++) {
            COLORREF seen = d.Pixel(x, y), wanted = OverWhite(reference.At(x, y));
            for (int shift = 0; shift < 24; shift += 8) {
                int apart = abs(static_cast<int>((seen >> shift) & 255) - static_cast<int>((wanted >> shift) & 255));
                most = apart > most ? apart : most;
            }
        }
    return most;
}

// GetReducedPicture at `wanted`, with straight alpha asked for: the blocks'
// bit count and bottom-up B,G,R(,A) rows.
static Decoded Reduced(const SysCodec& codec, const std::string& path, Wanted* wanted)
{
    HLOCAL info = nullptr, bits = nullptr;
    int result = codec.getReduced(path.c_str(), 0, SPI_INPUT_FILE | kSpiStraightAlpha, Wanted::Answer,
                                  reinterpret_cast<LONG_PTR>(wanted), &info, &bits, nullptr, 0);
    return TakeBlocks(result, info, bits);
}

TEST_CASE("webp: lossy, lossless, alpha and an animation's first frame decode as Debian's own decoder gives them")
{
    SysCodec codec;
    bool exported = codec.getReduced != nullptr;
    REQUIRE(exported);
    const struct {
        const char* file;
        const char* reference;  // the source of a lossless file, dwebp's decode of a lossy one
        bool alpha;
    } cases[] = {
        {"lossy.webp", "lossy.pam", false},           {"lossless.webp", "photo.pam", false},
        {"lossy-alpha.webp", "lossy-alpha.pam", true}, {"lossless-alpha.webp", "alpha.pam", true},
        {"animated.webp", "photo.pam", false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.file);
        std::string path = WebpFile(c.file);
        Pam reference = ReadPam(c.reference);
        REQUIRE(reference.width == 96);
        SusiePictureInfo info = {};
        CHECK(codec.getPictureInfo(path.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_SUCCESS);
        CHECK(info.width == 96);
        CHECK(info.height == 64);

        Decoded whole = Decode(codec, path);
        REQUIRE(whole.result == SPI_SUCCESS);
        CHECK(whole.width == 96);
        CHECK(whole.bitCount == 24);
        CHECK(MostApart(whole, reference) <= 1);

        // With straight alpha, as the chip library asks: the numbers dwebp gives.
        Wanted same = {96, 64, 0, 0};
        Decoded straight = Reduced(codec, path, &same);
        REQUIRE(straight.result == SPI_SUCCESS);
        CHECK(straight.bitCount == (c.alpha ? 32 : 24));
        int most = 0;
        for (int y = 0; y < 64; y++)
            for (int x = 0; x < 96; x++) {
                const BYTE* seen = &straight.bits[(63 - y) * straight.stride + x * (straight.bitCount / 8)];
                const BYTE* wanted = reference.At(x, y);
                for (int ch = 0; ch < (c.alpha ? 4 : 3); ch++) {
                    int apart = abs(seen[ch < 3 ? 2 - ch : 3] - wanted[ch]);
                    // Where nothing shows, a colour is not kept exactly.
                    if (wanted[3] > 16 || ch == 3)
                        most = apart > most ? apart : most;
                }
            }
        CHECK(most <= 1);

        // Shown smaller: at the held size, near the area average of the whole.
        Wanted half = {48, 32, 0, 0};
        Decoded small = Reduced(codec, path, &half);
        REQUIRE(small.result == SPI_SUCCESS);
        CHECK(half.toldWidth == 96);
        CHECK(small.width == 48);
        CHECK(small.height == 32);
        if (!c.alpha) {
            std::vector<BYTE> average(48 * 32 * 3);
            PixelRows rows = {whole.bits.data() + (whole.height - 1) * whole.stride, -whole.stride, 96, 64, 3, 0};
            REQUIRE(ReduceArea(rows, 48, 32, 48, 32, average.data(), 48 * 3, 3));
            long total = 0;
            for (int y = 0; y < 32; y++)
                for (int x = 0; x < 48 * 3; x++)
                    total += abs(small.bits[(31 - y) * small.stride + x] - average[y * 48 * 3 + x]);
            CHECK(total / (48.0 * 32 * 3) <= 2.0);
        }
    }
}

TEST_CASE("webp: EXIF orientation turns the picture, an ICC profile is converted, the filter lists *.webp, and huge canvases are refused")
{
    SysCodec codec;
    Pam photo = ReadPam("photo.pam");
    REQUIRE(photo.width == 96);

    // Orientation 6: shown (x, y) is stored (y, 63 - x), 64 x 96.
    std::string turned = WebpFile("turned.webp");
    SusiePictureInfo info = {};
    CHECK(codec.getPictureInfo(turned.c_str(), 0, SPI_INPUT_FILE, &info) == SPI_SUCCESS);
    CHECK(info.width == 64);
    CHECK(info.height == 96);
    Decoded d = Decode(codec, turned);
    REQUIRE(d.result == SPI_SUCCESS);
    REQUIRE(d.width == 64);
    REQUIRE(d.height == 96);
    int wrong = 0;
    for (int y = 0; y < 96; y++)
        for (int x = 0; x < 64; x++)
            wrong += d.Pixel(x, y) != OverWhite(photo.At(y, 63 - x));
    CHECK(wrong == 0);
    Wanted small = {32, 48, 0, 0};
    CHECK(Reduced(codec, turned, &small).width == 32);
    CHECK(small.toldWidth == 64);

    Decoded swapped = Decode(codec, WebpFile("swapped.webp"));
    REQUIRE(swapped.result == SPI_SUCCESS);
    wrong = 0;
    for (int y = 0; y < 64; y += 7)
        for (int x = 0; x < 96; x += 5) {
            COLORREF stored = OverWhite(photo.At(x, y));
            wrong += !Near(swapped.Pixel(x, y), RGB(GetGValue(stored), GetRValue(stored), GetBValue(stored)), 3);
        }
    CHECK(wrong == 0);

    char text[64] = "";
    CHECK(codec.getInfo(2, text, sizeof(text)) > 0);
    CHECK(std::string(text) == "*.webp");
    std::string head = ReadFileBytes(WebpFile("lossy.webp"));
    head.resize(kSusieProbeSize);
    CHECK(codec.isSupported("x.bin", &head[0]) == 1);

    // A canvas of 2^24 x 2^24 declared: refused before anything is allocated.
    std::string huge = std::string("RIFF\x16\0\0\0WEBPVP8X\x0a\0\0\0\0\0\0\0\xff\xff\xff\xff\xff\xff", 30);
    CHECK(codec.getPictureInfo(huge.data(), static_cast<LONG_PTR>(huge.size()), SPI_INPUT_MEMORY, &info)
          == SPI_NO_MEMORY);
    HLOCAL blocks[2] = {nullptr, nullptr};
    CHECK(codec.getPicture(huge.data(), static_cast<LONG_PTR>(huge.size()), SPI_INPUT_MEMORY, &blocks[0], &blocks[1],
                           nullptr, 0)
          == SPI_NO_MEMORY);
    CHECK(blocks[0] == nullptr);
}

TEST_CASE("webp: a hostile sweep of cut files and flipped bits gives pictures or clean failures, and keeps nothing")
{
    SysCodec codec;
    bool exported = codec.getReduced != nullptr;
    REQUIRE(exported);
    // 2,000 cases: every 64th of each file, each of its first 48 bytes with
    // one bit flipped, and the rest of the flips spread over its data.
    std::vector<std::string> cases;
    const char* files[] = {"lossy.webp", "lossless.webp", "lossy-alpha.webp", "animated.webp"};
    for (const char* file : files) {
        std::string bytes = ReadFileBytes(WebpFile(file));
        REQUIRE(bytes.size() > 200);
        for (int part = 0; part < 64; part++)
            cases.push_back(bytes.substr(0, bytes.size() * part / 64));
        for (size_t at = 0; at < 48; at++) {
            cases.push_back(bytes);
            cases.back()[at] = static_cast<char>(cases.back()[at] ^ (1 << (at % 8)));
        }
        for (int i = 0; i < 500 - 64 - 48; i++) {
            size_t at = 48 + (bytes.size() - 48) * i / (500 - 64 - 48);
            cases.push_back(bytes);
            cases.back()[at] = static_cast<char>(cases.back()[at] ^ (1 << (i * 3 % 8)));
        }
    }
    CHECK(cases.size() == 2000);
    long long handles = 0, committed = 0;
    int unclean = 0;
    for (int round = 0; round < 2; round++) {
        if (round == 1) {
            handles = CountKernelHandles();
            committed = CommittedPrivateBytes();
        }
        for (const std::string& bytes : cases)
            unclean += !DecodesCleanly(codec, codec.getReduced, bytes);
    }
    CHECK(unclean == 0);
    CHECK(CountKernelHandles() == handles);
    CHECK(CommittedPrivateBytes() - committed < (1 << 20));
}
