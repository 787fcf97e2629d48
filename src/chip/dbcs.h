// Looking for "\" in ANSI text. In code page 932 the trail byte of a
// double-byte character can be 0x5C ("ソ" is 0x83 0x5C), so the text is
// walked a character at a time with the platform's lead-byte rules.
#pragma once

#include <cstddef>

// Index of the last "\" that is a character of its own in the first `length`
// bytes of text, or -1.
int FindLastSeparator(const char* text, size_t length);

// Whether the last character of the first `length` bytes is a "\".
bool EndsWithSeparator(const char* text, size_t length);
