#include "dib_out.h"

#include <cstring>

#include "common/susie.h"

bool AllocateDib(UINT width, UINT height, bool white, DibBlocks* blocks, WORD bitCount)
{
    unsigned long long stride = (static_cast<unsigned long long>(width) * (bitCount / 8) + 3) & ~3ULL;
    unsigned long long size = stride * height;
    blocks->info = nullptr;
    blocks->bits = nullptr;
    if (size > 0x7FFFFFFFULL)
        return false;
    blocks->info = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
    blocks->bits = LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(size));
    BITMAPINFOHEADER* header = blocks->info ? static_cast<BITMAPINFOHEADER*>(LocalLock(blocks->info)) : nullptr;
    blocks->pixels = blocks->bits ? static_cast<BYTE*>(LocalLock(blocks->bits)) : nullptr;
    if (header) {
        header->biSize = sizeof(BITMAPINFOHEADER);
        header->biWidth = static_cast<LONG>(width);
        header->biHeight = static_cast<LONG>(height);
        header->biPlanes = 1;
        header->biBitCount = bitCount;
        header->biCompression = BI_RGB;
        header->biSizeImage = static_cast<DWORD>(size);
        LocalUnlock(blocks->info);
    }
    if (!header || !blocks->pixels) {
        if (blocks->pixels)
            LocalUnlock(blocks->bits);
        if (blocks->info)
            LocalFree(blocks->info);
        if (blocks->bits)
            LocalFree(blocks->bits);
        blocks->info = nullptr;
        blocks->bits = nullptr;
        return false;
    }
    blocks->stride = static_cast<UINT>(stride);
    if (white)
        memset(blocks->pixels, 255, static_cast<size_t>(size));
    return true;
}

int HandOver(DibBlocks* blocks, int result, HLOCAL* info, HLOCAL* bits)
{
    LocalUnlock(blocks->bits);
    if (result != SPI_SUCCESS) {
        LocalFree(blocks->info);
        LocalFree(blocks->bits);
        return result;
    }
    *info = blocks->info;
    *bits = blocks->bits;
    return SPI_SUCCESS;
}

ShownRows RowsOf(const DibBlocks& blocks, UINT height)
{
    ShownRows rows = {blocks.pixels + static_cast<size_t>(blocks.stride) * (height - 1),
                      -static_cast<ptrdiff_t>(blocks.stride), 0};
    return rows;
}

void Place(int orientation, UINT x, UINT y, UINT width, UINT height, UINT* shownX, UINT* shownY)
{
    switch (orientation) {
    case 2: *shownX = width - 1 - x; *shownY = y; break;
    case 3: *shownX = width - 1 - x; *shownY = height - 1 - y; break;
    case 4: *shownX = x; *shownY = height - 1 - y; break;
    case 5: *shownX = y; *shownY = x; break;
    case 6: *shownX = height - 1 - y; *shownY = x; break;
    case 7: *shownX = height - 1 - y; *shownY = width - 1 - x; break;
    case 8: *shownX = y; *shownY = width - 1 - x; break;
    default: *shownX = x; *shownY = y; break;
    }
}

void PlaceStored(int orientation, UINT x0, UINT count, UINT y, UINT width, UINT height, const ShownRows& target,
                 const BYTE* pixels, UINT bytes)
{
    if (orientation == 1) {
        memcpy(RowAt(target, y) + static_cast<size_t>(x0) * bytes, pixels, static_cast<size_t>(count) * bytes);
        return;
    }
    for (UINT i = 0; i < count; i++) {
        UINT shownX, shownY;
        Place(orientation, x0 + i, y, width, height, &shownX, &shownY);
        memcpy(RowAt(target, shownY) + static_cast<size_t>(shownX) * bytes, pixels + static_cast<size_t>(i) * bytes,
               bytes);
    }
}
