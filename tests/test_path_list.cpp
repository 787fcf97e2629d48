#include <doctest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "chip/dbcs.h"
#include "chip/path_list.h"

static std::string Line(const char* text, int n)
{
    char out[kPathBufferSize];
    memset(out, 'X', sizeof(out));
    GetPathLine(text, n, out);
    return out;
}

TEST_CASE("path list: lines are runs between CR and LF")
{
    static const struct {
        const char* text;
        int count;
    } cases[] = {
        {"", 0},
        {"\r\n\r\n", 0},
        {"C:\\a.jpg\r\nC:\\b.png\r\n", 2},
        {"C:\\a.jpg\n\nC:\\b.png", 2},
        {"a\rb", 2},
        {"\n\ra\r\n\r\nb\n", 2},
        {"   ", 1},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CHECK(CountPathLines(c.text) == c.count);
    }
    CHECK(CountPathLines(nullptr) == 0);
    CHECK(Line("C:\\a.jpg\r\nC:\\b.png\r\n", 1) == "C:\\b.png");
    CHECK(Line("C:\\a.jpg\n\nC:\\b.png", 1) == "C:\\b.png");
    CHECK(Line("\r\nfirst\r\n", 0) == "first");
}

TEST_CASE("path list: reads beyond the list or the buffer give the empty path")
{
    CHECK(Line("a\r\nb", 2) == "");
    CHECK(Line("a\r\nb", 99) == "");
    CHECK(Line("a\r\nb", -1) == "");
    CHECK(Line(nullptr, 0) == "");

    // 259 characters fit with their zero; 260 would overrun the buffer.
    std::string fits(259, 'f');
    std::string tooLong(260, 'l');
    std::string text = fits + "\r\n" + tooLong + "\r\nC:\\after.jpg";
    CHECK(Line(text.c_str(), 0) == fits);
    CHECK(Line(text.c_str(), 1) == "");
    CHECK(Line(text.c_str(), 2) == "C:\\after.jpg");
    CHECK(CountPathLines(text.c_str()) == 3);
}

TEST_CASE("path list: the host's text is never written, even for a moment")
{
    // On a read-only page any write, however brief, faults the test.
    static const char kText[] = "a\r\nb\r\n\x83\x5c\r\n";
    char* page = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    REQUIRE(page);
    memcpy(page, kText, sizeof(kText));
    DWORD previous = 0;
    REQUIRE(VirtualProtect(page, 4096, PAGE_READONLY, &previous));
    CHECK(CountPathLines(page) == 3);
    CHECK(Line(page, 1) == "b");
    CHECK(Line(page, 2) == "\x83\x5c");
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST_CASE("code page 932: a trail byte 0x5C is not a separator")
{
    // "ソ" is 0x83 0x5C in code page 932.
    const char keepsLast[] = "C:\\\x83\x5c";
    const char endsInSeparator[] = "C:\\\x83\x5c\\";
    CHECK_FALSE(EndsWithSeparator(keepsLast, strlen(keepsLast)));
    CHECK(EndsWithSeparator(endsInSeparator, strlen(endsInSeparator)));
    CHECK(FindLastSeparator(keepsLast, strlen(keepsLast)) == 2);
    CHECK(FindLastSeparator(endsInSeparator, strlen(endsInSeparator)) == 5);
    CHECK(FindLastSeparator("abc", 3) == -1);
    // A lone lead byte at the end is taken as a character of its own.
    CHECK(EndsWithSeparator("a\\", 2));
    CHECK_FALSE(EndsWithSeparator("", 0));
}
