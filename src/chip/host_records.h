// Byte offsets of the host's records. Integer fields are 32 bits; pointer and
// handle fields are as wide as a pointer, read and written with memcpy so the
// same code serves the 32-bit product and the 64-bit test build.
#pragma once

#include <windows.h>

#include <cstring>

enum ChipUpdateInfoOffset {
    kUpdateText = 72,        // const char*, may be null
    kUpdateBackground = 80,  // COLORREF
    kUpdateKeepPicture = 144,
    kUpdateSavedBlock = 148, // pointer to the SavedSettings bytes
};

enum ChipEditInfoOffset {
    kEditStatus = 0,
    kEditLength = 4,
    kEditText = 8,           // HGLOBAL, may be null
};

enum ChipSpecificationOffset {
    kSpecWidth = 0,
    kSpecHeight = 4,
    kSpecName = 8,           // runs to offset 59
    kSpecNumbers = 60,       // three 32-bit numbers, at 60, 64 and 68
};

inline void* ReadPointerAt(const void* record, size_t offset)
{
    void* value;
    memcpy(&value, static_cast<const char*>(record) + offset, sizeof(value));
    return value;
}

inline void WritePointerAt(void* record, size_t offset, const void* value)
{
    memcpy(static_cast<char*>(record) + offset, &value, sizeof(value));
}

inline int ReadIntAt(const void* record, size_t offset)
{
    int value;
    memcpy(&value, static_cast<const char*>(record) + offset, sizeof(value));
    return value;
}

inline void WriteIntAt(void* record, size_t offset, int value)
{
    memcpy(static_cast<char*>(record) + offset, &value, sizeof(value));
}
