// The chip text as a list of picture paths: lines are the runs of bytes
// between CR and LF, empty lines do not exist, a null text has no lines.
#pragma once

#include <cstddef>

// Every single path is copied into a buffer of this size (259 characters and
// the terminating zero).
const size_t kPathBufferSize = 260;

int CountPathLines(const char* text);

// Copies line n into out. Out of range, and a line too long for the buffer
// (which names no file we could open anyway), give the empty path, which no
// loader accepts.
void GetPathLine(const char* text, int n, char (&out)[kPathBufferSize]);

// Walks the lines of any length: returns false at the end, else the next
// line's start and length and moves the cursor past it.
bool NextPathLine(const char** cursor, const char** start, size_t* length);

// Whether the first `length` bytes of a path name a bitmap file, which the
// platform reads: only the last three characters count, the dot is not
// looked at.
bool HasBitmapSuffix(const char* path, size_t length);
