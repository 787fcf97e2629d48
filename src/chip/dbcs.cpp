#include "chip/dbcs.h"

#include <windows.h>

int FindLastSeparator(const char* text, size_t length)
{
    int found = -1;
    size_t i = 0;
    while (i < length) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (IsDBCSLeadByte(c) && i + 1 < length) {
            i += 2;
            continue;
        }
        if (c == '\\')
            found = static_cast<int>(i);
        i++;
    }
    return found;
}

bool EndsWithSeparator(const char* text, size_t length)
{
    return length > 0 && FindLastSeparator(text, length) == static_cast<int>(length) - 1;
}
