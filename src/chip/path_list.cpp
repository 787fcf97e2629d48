#include "chip/path_list.h"

#include <windows.h>

#include <cstring>

static bool IsSeparator(char c)
{
    return c == '\r' || c == '\n';
}

bool NextPathLine(const char** cursor, const char** start, size_t* length)
{
    const char* p = *cursor;
    if (!p)
        return false;
    while (IsSeparator(*p))
        p++;
    if (!*p) {
        *cursor = p;
        return false;
    }
    const char* begin = p;
    while (*p && !IsSeparator(*p))
        p++;
    *start = begin;
    *length = static_cast<size_t>(p - begin);
    *cursor = p;
    return true;
}

int CountPathLines(const char* text)
{
    int count = 0;
    const char* cursor = text;
    const char* start;
    size_t length;
    while (NextPathLine(&cursor, &start, &length))
        count++;
    return count;
}

void GetPathLine(const char* text, int n, char (&out)[kPathBufferSize])
{
    out[0] = '\0';
    if (n < 0)
        return;
    const char* cursor = text;
    const char* start;
    size_t length;
    for (int i = 0; NextPathLine(&cursor, &start, &length); i++) {
        if (i != n)
            continue;
        if (length < kPathBufferSize) {
            memcpy(out, start, length);
            out[length] = '\0';
        }
        return;
    }
}

bool HasBitmapSuffix(const char* path, size_t length)
{
    return length >= 3 && lstrcmpiA(path + length - 3, "bmp") == 0;
}
