#include "commands/image_picker.h"

#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <cstring>

#include "chip/dbcs.h"
#include "chip/host_records.h"
#include "chip/texts.h"
#include "common/owners.h"

static const DWORD kFileBufferSize = 10240;
// Room behind the buffer the dialog is told about. Windows fails a selection
// that does not fit; Wine's dialog writes it out past nMaxFile instead. The
// slack keeps such a write inside our block, and a result reaching past
// kFileBufferSize is then refused as Windows would refuse it.
static const DWORD kFileBufferSlack = 64 * 1024;
static const DWORD kPickerFlags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY;

static_assert(kPickerFlags == 0x81204, "the picker's flags are OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT | OFN_HIDEREADONLY, 0x81204");
#ifndef _WIN64
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "the 32-bit OPENFILENAMEA is 76 bytes, without the Windows 2000 tail");
#endif

bool BuildFileFilter(LoaderList loaders, HeapArray<char>* filter)
{
    size_t total = sizeof(kTextAllImages);
    for (const LoaderEntry* e = loaders; e; e = e->next)
        total += strlen(e->pattern) + 1;
    total += 1;
    for (const LoaderEntry* e = loaders; e; e = e->next)
        total += strlen(e->description) + 1 + strlen(e->pattern) + 1;
    total += 1;

    if (!filter->Allocate(total, false))
        return false;
    char* p = filter->items;
    memcpy(p, kTextAllImages, sizeof(kTextAllImages));
    p += sizeof(kTextAllImages);
    for (const LoaderEntry* e = loaders; e; e = e->next) {
        size_t length = strlen(e->pattern);
        memcpy(p, e->pattern, length);
        p += length;
        *p++ = ';';
    }
    *p++ = '\0';
    for (const LoaderEntry* e = loaders; e; e = e->next) {
        size_t length = strlen(e->description) + 1;
        memcpy(p, e->description, length);
        p += length;
        length = strlen(e->pattern) + 1;
        memcpy(p, e->pattern, length);
        p += length;
    }
    *p++ = '\0';
    return true;
}

void InitialFolder(const char* text, char (&folder)[kPathBufferSize])
{
    folder[0] = '\0';
    const char* cursor = text;
    const char* start = nullptr;
    size_t length = 0;
    const char* lastStart = nullptr;
    size_t lastLength = 0;
    while (NextPathLine(&cursor, &start, &length)) {
        lastStart = start;
        lastLength = length;
    }
    if (!lastStart || lastLength >= kPathBufferSize)
        return;
    memcpy(folder, lastStart, lastLength);
    folder[lastLength] = '\0';
    // Below position 3 the "\" is a drive's root ("C:\a.jpg"): keep the
    // whole line then, as the dialog has always been given it.
    int separator = FindLastSeparator(folder, lastLength);
    if (separator >= 3)
        folder[separator] = '\0';
}

size_t RebuildText(const char* text, char* out)
{
    size_t total = 0;
    const char* cursor = text;
    const char* start;
    size_t length;
    while (NextPathLine(&cursor, &start, &length)) {
        if (out) {
            memcpy(out + total, start, length);
            out[total + length] = '\r';
            out[total + length + 1] = '\n';
        }
        total += length + 2;
    }
    return total;
}

// The chosen files as lines: one full path, or folder + "\" + name for each
// of several, separated by CR LF with none after the last. out may be null to
// measure.
static size_t ChosenLines(const char* buffer, WORD fileOffset, char* out)
{
    if (fileOffset > 0 && buffer[fileOffset - 1] != '\0') {
        size_t length = strlen(buffer);
        if (out)
            memcpy(out, buffer, length);
        return length;
    }
    const char* folder = buffer;
    size_t folderLength = strlen(folder);
    size_t total = 0;
    for (const char* name = folder + folderLength + 1; *name; name += strlen(name) + 1) {
        size_t nameLength = strlen(name);
        if (total) {
            if (out) {
                out[total] = '\r';
                out[total + 1] = '\n';
            }
            total += 2;
        }
        if (out) {
            memcpy(out + total, folder, folderLength);
            out[total + folderLength] = '\\';
            memcpy(out + total + folderLength + 1, name, nameLength);
        }
        total += folderLength + 1 + nameLength;
    }
    return total;
}

// Puts the process's current directory back however the picker returns:
// the file dialog moves it to wherever the user browsed.
struct CurrentDirectoryKeeper {
    CurrentDirectoryKeeper()
    {
        DWORD size = GetCurrentDirectoryA(0, nullptr);
        if (size == 0 || !saved.Allocate(size, false) || GetCurrentDirectoryA(size, saved.items) >= size)
            saved.Free();
    }
    ~CurrentDirectoryKeeper()
    {
        if (!saved.Empty())
            SetCurrentDirectoryA(saved.items);
    }
    CurrentDirectoryKeeper(const CurrentDirectoryKeeper&) = delete;
    CurrentDirectoryKeeper& operator=(const CurrentDirectoryKeeper&) = delete;

    HeapArray<char> saved;
};

// Whether the dialog's result, up to its closing empty name, lies inside the
// buffer it was given.
static bool ResultFits(const char* buffer, WORD fileOffset)
{
    size_t end;
    if (fileOffset > 0 && buffer[fileOffset - 1] != '\0') {
        end = strnlen(buffer, kFileBufferSize + kFileBufferSlack) + 1;
    } else {
        end = 0;
        do {
            end += strnlen(buffer + end, kFileBufferSize + kFileBufferSlack - end) + 1;
        } while (end < kFileBufferSize + kFileBufferSlack && buffer[end] != '\0');
        end++;
    }
    return end <= kFileBufferSize;
}

// Runs the dialog; true with the chosen files in buffer.
static bool AskForFiles(HWND owner, LoaderList loaders, const char* initialFolder, char* buffer, WORD* fileOffset)
{
    HeapArray<char> filter;
    if (!BuildFileFilter(loaders, &filter))
        return false;
    OPENFILENAMEA ofn;
    memset(&ofn, 0, sizeof(ofn));
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.items;
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = buffer;
    ofn.nMaxFile = kFileBufferSize;
    ofn.lpstrInitialDir = initialFolder[0] ? initialFolder : nullptr;
    ofn.Flags = kPickerFlags;
    ofn.lpstrDefExt = "bmp";
    // A selection too large for the buffer makes the dialog fail: a cancel.
    BOOL chosen = GetOpenFileNameA(&ofn);
    *fileOffset = ofn.nFileOffset;
    return chosen != FALSE && ResultFits(buffer, ofn.nFileOffset);
}

// Builds the new text block: the old text's lines, then the chosen files.
static HGLOBAL NewTextBlock(const char* oldText, const char* chosen, WORD fileOffset, size_t* length)
{
    size_t oldLength = RebuildText(oldText, nullptr);
    size_t newLength = ChosenLines(chosen, fileOffset, nullptr);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, oldLength + newLength + 1);
    if (!block)
        return nullptr;
    char* text = static_cast<char*>(GlobalLock(block));
    if (!text) {
        GlobalFree(block);
        return nullptr;
    }
    RebuildText(oldText, text);
    ChosenLines(chosen, fileOffset, text + oldLength);
    text[oldLength + newLength] = '\0';
    GlobalUnlock(block);
    *length = oldLength + newLength;
    return block;
}

// The host's text as a terminated copy of our own (empty for no block),
// read no further than its block reaches: a block whose text lacks its zero
// must not lead any scan past its end. False when the block cannot be read.
static bool CopyHostText(HGLOBAL block, HeapArray<char>* copy)
{
    if (!block)
        return true;
    SIZE_T size = GlobalSize(block);
    const char* text = static_cast<const char*>(GlobalLock(block));
    if (!text)
        return false;
    size_t length = strnlen(text, size);
    bool copied = copy->Allocate(length + 1, false) && length < copy->count;
    if (copied) {
        memcpy(copy->items, text, length);
        copy->items[length] = '\0';
    }
    GlobalUnlock(block);
    return copied;
}

int EditChipText(HWND owner, void* info, LoaderList loaders)
{
    if (!info)
        return 2;
    CurrentDirectoryKeeper keeper;

    HGLOBAL oldBlock = static_cast<HGLOBAL>(ReadPointerAt(info, kEditText));
    HeapArray<char> oldText;
    if (!CopyHostText(oldBlock, &oldText))
        return 2;
    char folder[kPathBufferSize] = "";
    if (!oldText.Empty())
        InitialFolder(oldText.items, folder);

    HeapArray<char> chosen;
    WORD fileOffset = 0;
    if (!chosen.Allocate(kFileBufferSize + kFileBufferSlack + 2)
        || !AskForFiles(owner, loaders, folder, chosen.items, &fileOffset))
        return 2;
    size_t length = 0;
    HGLOBAL newBlock = NewTextBlock(oldText.items, chosen.items, fileOffset, &length);
    if (!newBlock)
        return 2;
    if (oldBlock)
        GlobalFree(oldBlock);
    // The host owns the new block from here.
    WritePointerAt(info, kEditText, newBlock);
    WriteIntAt(info, kEditStatus, 0);
    WriteIntAt(info, kEditLength, static_cast<int>(length));
    return 1;
}
