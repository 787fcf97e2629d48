#include "header_facts.h"

#include <cstdlib>
#include <cstring>

#include "common/susie.h"

// The picture's bytes, read at any position, from memory or from a file at
// an offset; nothing is read past the end of either.
struct ByteSource {
    const BYTE* memory;
    unsigned long long size;
    HANDLE file;
    unsigned long long base;
};

static bool ReadAt(const ByteSource& source, unsigned long long at, void* out, DWORD count)
{
    if (at + count > source.size || at + count < at)
        return false;
    if (source.memory) {
        memcpy(out, source.memory + at, count);
        return true;
    }
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(source.base + at);
    DWORD read = 0;
    return SetFilePointerEx(source.file, position, nullptr, FILE_BEGIN)
        && ReadFile(source.file, out, count, &read, nullptr) && read == count;
}

static unsigned Big16(const BYTE* p) { return (p[0] << 8) | p[1]; }
static unsigned long Big32(const BYTE* p) { return (static_cast<unsigned long>(Big16(p)) << 16) | Big16(p + 2); }
static unsigned Little16(const BYTE* p) { return p[0] | (p[1] << 8); }
static unsigned long Little32(const BYTE* p) { return Little16(p) | (static_cast<unsigned long>(Little16(p + 2)) << 16); }

// Where an embedded ICC profile lies in one piece: a TIFF's tag 34675, a
// WebP's ICCP chunk.
struct ProfileSpan {
    unsigned long long at;
    unsigned long size;
};

// A TIFF structure at `base`: ImageWidth, ImageLength and Orientation of its
// first directory, those it has (the others are left as they are), and
// where asked the place of its colour profile.
static bool ReadFirstDirectory(const ByteSource& source, unsigned long long base, unsigned long long* width,
                               unsigned long long* height, int* orientation, ProfileSpan* profile = nullptr)
{
    BYTE head[8];
    if (!ReadAt(source, base, head, sizeof(head)))
        return false;
    bool big = head[0] == 'M';
    if (memcmp(head, big ? "MM\0*" : "II*\0", 4) != 0)
        return false;
    unsigned long long at = base + (big ? Big32(head + 4) : Little32(head + 4));
    BYTE count[2];
    if (!ReadAt(source, at, count, 2))
        return false;
    unsigned entries = big ? Big16(count) : Little16(count);
    for (unsigned i = 0; i < entries && i < 4096; i++) {
        BYTE entry[12];
        if (!ReadAt(source, at + 2 + i * 12ULL, entry, sizeof(entry)))
            break;
        unsigned tag = big ? Big16(entry) : Little16(entry);
        unsigned type = big ? Big16(entry + 2) : Little16(entry + 2);
        unsigned long value = type == 3 ? (big ? Big16(entry + 8) : Little16(entry + 8))
                                        : (big ? Big32(entry + 8) : Little32(entry + 8));
        if (tag == 256)
            *width = value;
        else if (tag == 257)
            *height = value;
        else if (tag == 274 && value >= 1 && value <= 8)
            *orientation = static_cast<int>(value);
        else if (tag == 34675 && profile && type == 7) {
            profile->size = big ? Big32(entry + 4) : Little32(entry + 4);
            profile->at = base + value;
        }
    }
    return true;
}

// An ICC profile split over APP2 segments: each piece says which it is of
// how many. Where they are is noted while the headers are walked; the bytes
// are read once all are known to be there.
struct ProfilePieces {
    unsigned count;                  // as the pieces declare it; 0 before the first
    unsigned long long at[256];      // where piece i's bytes start, 0 while unseen
    unsigned length[256];
    bool broken;
};

static const char kIccMarker[] = "ICC_PROFILE";  // with its NUL: 12 bytes

static void NotePiece(const ByteSource& source, unsigned long long segment, unsigned segmentLength,
                      ProfilePieces* pieces)
{
    BYTE head[14];
    if (segmentLength < 2 + sizeof(head) || !ReadAt(source, segment + 4, head, sizeof(head))
        || memcmp(head, kIccMarker, sizeof(kIccMarker)) != 0)
        return;
    unsigned index = head[12], count = head[13];
    if (index == 0 || count == 0 || index > count || (pieces->count && pieces->count != count)
        || pieces->at[index - 1])
        pieces->broken = true;
    else {
        pieces->count = count;
        pieces->at[index - 1] = segment + 4 + sizeof(head);
        pieces->length[index - 1] = segmentLength - 2 - sizeof(head);
    }
}

static void JoinPieces(const ByteSource& source, const ProfilePieces& pieces, HeapArray<BYTE>* profile)
{
    if (pieces.broken || pieces.count == 0)
        return;
    size_t total = 0;
    for (unsigned i = 0; i < pieces.count; i++) {
        if (!pieces.at[i])
            return;  // a piece is missing
        total += pieces.length[i];
    }
    if (total > kMaxProfileBytes)
        return;
    // Without the memory for it the picture shows as it is stored, as with
    // no profile.
    if (!profile->Allocate(total, false))
        return;
    size_t offset = 0;
    for (unsigned i = 0; i < pieces.count; i++) {
        if (!ReadAt(source, pieces.at[i], profile->items + offset, pieces.length[i])) {
            profile->Free();
            return;
        }
        offset += pieces.length[i];
    }
}

// What the headers say of an embedded profile, for the containers whose
// profile is read here rather than by the decoder.
struct ProfileSearch {
    bool read;  // a JPEG, TIFF or WebP: whatever it has is in the places below
    ProfilePieces pieces;
    ProfileSpan span;
};

// JPEG: the first start-of-frame marker's size, walking the segments, and
// the orientation of an Exif segment before it; where asked, the places of
// the profile's pieces before it.
static bool JpegFacts(const ByteSource& source, unsigned long long* width, unsigned long long* height,
                      int* orientation, ProfilePieces* pieces)
{
    unsigned long long at = 2;
    BYTE marker[9];
    for (int segments = 0; segments < 4096 && ReadAt(source, at, marker, 4); segments++) {
        if (marker[0] != 0xFF)
            return false;
        BYTE kind = marker[1];
        if (kind == 0xFF) {  // fill byte
            at++;
            continue;
        }
        bool frame = kind >= 0xC0 && kind <= 0xCF && kind != 0xC4 && kind != 0xC8 && kind != 0xCC;
        if (frame) {
            if (!ReadAt(source, at, marker, 9))
                return false;
            *height = Big16(marker + 5);
            *width = Big16(marker + 7);
            return true;
        }
        if (kind == 0xD9 || kind == 0xDA)  // end of image, or scan data before any frame
            return false;
        BYTE exif[6];
        if (kind == 0xE1 && ReadAt(source, at + 4, exif, sizeof(exif)) && memcmp(exif, "Exif\0\0", 6) == 0) {
            unsigned long long ignored = 0;
            ReadFirstDirectory(source, at + 10, &ignored, &ignored, orientation);
        }
        if (kind == 0xE2 && pieces)
            NotePiece(source, at, Big16(marker + 2), pieces);
        at += 2 + Big16(marker + 2);
    }
    return false;
}

// WebP: the canvas of an extended file (VP8X), or the frame of a simple
// lossy (VP8) or lossless (VP8L) one; the orientation of an EXIF chunk, and
// where asked the place of the ICCP chunk. Chunks are walked within the file,
// never past its end.
static bool WebpFacts(const ByteSource& source, unsigned long long* width, unsigned long long* height,
                      int* orientation, ProfileSpan* profile)
{
    unsigned long long at = 12;
    bool sized = false;
    BYTE chunk[8 + 10];
    for (int chunks = 0; chunks < 4096 && ReadAt(source, at, chunk, 8); chunks++) {
        unsigned long size = Little32(chunk + 4);
        if (!sized && memcmp(chunk, "VP8X", 4) == 0) {
            if (size < 10 || !ReadAt(source, at + 8, chunk + 8, 10))
                return false;
            *width = 1 + (chunk[12] | chunk[13] << 8 | static_cast<unsigned long>(chunk[14]) << 16);
            *height = 1 + (chunk[15] | chunk[16] << 8 | static_cast<unsigned long>(chunk[17]) << 16);
            sized = true;
        } else if (!sized && memcmp(chunk, "VP8 ", 4) == 0) {
            // A frame tag of 3 bytes, the start code, then 14-bit sizes.
            if (size < 10 || !ReadAt(source, at + 8, chunk + 8, 10) || chunk[11] != 0x9D || chunk[12] != 0x01
                || chunk[13] != 0x2A)
                return false;
            *width = Little16(chunk + 14) & 0x3FFF;
            *height = Little16(chunk + 16) & 0x3FFF;
            return true;  // a simple file: nothing follows
        } else if (!sized && memcmp(chunk, "VP8L", 4) == 0) {
            if (size < 5 || !ReadAt(source, at + 8, chunk + 8, 5) || chunk[8] != 0x2F)
                return false;
            unsigned long bits = Little32(chunk + 9);
            *width = 1 + (bits & 0x3FFF);
            *height = 1 + (bits >> 14 & 0x3FFF);
            return true;
        } else if (memcmp(chunk, "EXIF", 4) == 0) {
            // Some writers put Exif's own "Exif\0\0" before the TIFF structure.
            unsigned long long tiff = at + 8, ignored = 0;
            BYTE lead[6];
            if (ReadAt(source, tiff, lead, sizeof(lead)) && memcmp(lead, "Exif\0\0", 6) == 0)
                tiff += 6;
            ReadFirstDirectory(source, tiff, &ignored, &ignored, orientation);
        } else if (memcmp(chunk, "ICCP", 4) == 0 && profile) {
            profile->at = at + 8;
            profile->size = size;
        }
        at += 8 + static_cast<unsigned long long>(size) + (size & 1);
    }
    return sized;
}

// GIF: the logical screen, and the first image descriptor placed on it.
static bool GifSize(const ByteSource& source, unsigned long long* width, unsigned long long* height)
{
    BYTE screen[13];
    if (!ReadAt(source, 0, screen, sizeof(screen)))
        return false;
    *width = Little16(screen + 6);
    *height = Little16(screen + 8);
    unsigned long long at = 13;
    if (screen[10] & 0x80)
        at += 3ULL << ((screen[10] & 7) + 1);
    BYTE block[10];
    for (int blocks = 0; blocks < 4096 && ReadAt(source, at, block, 1); blocks++) {
        if (block[0] == 0x2C) {
            if (!ReadAt(source, at, block, 10))
                return true;
            unsigned long long right = Little16(block + 1) + static_cast<unsigned long long>(Little16(block + 5));
            unsigned long long bottom = Little16(block + 3) + static_cast<unsigned long long>(Little16(block + 7));
            if (right > *width)
                *width = right;
            if (bottom > *height)
                *height = bottom;
            return true;
        }
        if (block[0] != 0x21)
            return true;
        at += 2;  // introducer and label, then sub-blocks until an empty one
        BYTE length = 0;
        while (ReadAt(source, at, &length, 1) && length)
            at += 1 + length;
        at++;
    }
    return true;
}

// The size the picture's container declares, read from its headers alone;
// false where the format is not one of those known here or the headers do
// not say (the decoder then decides). JPEG, TIFF and WebP also tell their
// orientation.
static bool DeclaredSize(const ByteSource& source, unsigned long long* width, unsigned long long* height,
                         int* orientation, ProfileSearch* search, HeaderFacts* facts)
{
    BYTE head[26];
    if (!ReadAt(source, 0, head, sizeof(head)))
        return false;
    if (memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0 && memcmp(head + 12, "IHDR", 4) == 0) {
        *width = Big32(head + 16);
        *height = Big32(head + 20);
        return true;
    }
    if (head[0] == 0xFF && head[1] == 0xD8) {
        facts->jpeg = true;
        if (search)
            search->read = true;
        return JpegFacts(source, width, height, orientation, search ? &search->pieces : nullptr);
    }
    if (memcmp(head, "GIF8", 4) == 0)
        return GifSize(source, width, height);
    if (head[0] == 'B' && head[1] == 'M') {
        unsigned long header = Little32(head + 14);
        *width = header == 12 ? Little16(head + 18) : Little32(head + 18);
        long h = static_cast<long>(Little32(head + 22));
        *height = header == 12 ? Little16(head + 20) : static_cast<unsigned long long>(h < 0 ? -static_cast<long long>(h) : h);
        return true;
    }
    if (memcmp(head, "II*\0", 4) == 0 || memcmp(head, "MM\0*", 4) == 0) {
        *width = *height = 0;
        if (search)
            search->read = true;
        return ReadFirstDirectory(source, 0, width, height, orientation, search ? &search->span : nullptr)
            && *width && *height;
    }
    if (memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0) {
        facts->webp = true;
        if (search)
            search->read = true;
        return WebpFacts(source, width, height, orientation, search ? &search->span : nullptr);
    }
    if (Little16(head) == 0 && Little16(head + 2) == 1) {  // icon directory
        unsigned count = Little16(head + 4);
        *width = *height = 0;
        for (unsigned i = 0; i < count && i < 256; i++) {
            BYTE entry[16];
            if (!ReadAt(source, 6 + i * 16ULL, entry, sizeof(entry)))
                break;
            unsigned long long w = entry[0] ? entry[0] : 256, h = entry[1] ? entry[1] : 256;
            if (w * h > *width * *height) {
                *width = w;
                *height = h;
            }
        }
        return true;
    }
    return false;
}

HeaderFacts ReadHeaderFacts(LPCSTR buffer, LONG_PTR length, unsigned flag, bool wantProfile)
{
    HeaderFacts facts;
    facts.sizeCheck = SPI_SUCCESS;
    facts.orientation = 1;
    facts.jpeg = false;
    facts.webp = false;
    facts.profileRead = false;
    facts.width = facts.height = 0;
    ByteSource source = {};
    HANDLE file = INVALID_HANDLE_VALUE;
    if ((flag & 7) == SPI_INPUT_MEMORY) {
        if (!buffer || length <= 0)
            return facts;
        source.memory = reinterpret_cast<const BYTE*>(buffer);
        source.size = static_cast<unsigned long long>(length);
    } else {
        if (!buffer || length < 0)
            return facts;
        file = CreateFileA(buffer, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return facts;  // the decoder reports what is wrong with the file
        LARGE_INTEGER size;
        if (GetFileSizeEx(file, &size) && static_cast<unsigned long long>(size.QuadPart)
                                              >= static_cast<unsigned long long>(length)) {
            source.file = file;
            source.base = static_cast<unsigned long long>(length);
            source.size = static_cast<unsigned long long>(size.QuadPart) - source.base;
        }
    }
    unsigned long long width = 0, height = 0;
    // Large enough to be kept off the stack of a host's thread.
    ProfileSearch* search = wantProfile ? static_cast<ProfileSearch*>(calloc(1, sizeof(ProfileSearch))) : nullptr;
    if (DeclaredSize(source, &width, &height, &facts.orientation, search, &facts)) {
        facts.width = width;
        facts.height = height;
        if (width * height > kMaxPixels)
            facts.sizeCheck = SPI_NO_MEMORY;
    }
    if (search) {
        facts.profileRead = search->read;
        if (facts.sizeCheck == SPI_SUCCESS) {
            JoinPieces(source, search->pieces, &facts.profile);
            const ProfileSpan& span = search->span;
            if (span.size && span.size <= kMaxProfileBytes) {
                if (facts.profile.Allocate(span.size, false) && !ReadAt(source, span.at, facts.profile.items, span.size))
                    facts.profile.Free();
            }
        }
        free(search);
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return facts;
}
