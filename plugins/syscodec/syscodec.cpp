// ifsyscodec.spi: a Susie import filter on the platform's own image codecs.
// It decodes whatever the Windows Imaging Component can (PNG, JPEG, GIF,
// TIFF, ICO, JPEG XR, and HEIF, WebP or AVIF where their codecs are
// installed) with no decoder of its own, into the 24-bit bottom-up DIB
// that Susie hosts expect, transparent pixels composed over white.
#include <windows.h>
#include <wincodec.h>

#include <cstring>
#include <string>
#include <vector>

#include "sources/susie.h"

#define PLUGIN_EXPORT extern "C" __declspec(dllexport)

static const char kVersion[] = "00IN";
static const char kAbout[] = "ifsyscodec.spi: the system's image codecs, for Ovilune";
// Rows between two reports to the progress callback.
static const UINT kProgressRows = 64;

// --- COM and the imaging factory ---------------------------------------------

// Initialises COM for this call only when the calling thread has not, and
// balances it.
struct ComUse {
    ComUse() : ours(false)
    {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        if (CoGetApartmentType(&type, &qualifier) == CO_E_NOTINITIALIZED)
            ours = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    }
    ~ComUse()
    {
        if (ours)
            CoUninitialize();
    }
    ComUse(const ComUse&) = delete;
    ComUse& operator=(const ComUse&) = delete;
    bool ours;
};

template <typename T>
struct Com {
    Com() : p(nullptr) {}
    ~Com()
    {
        if (p)
            p->Release();
    }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    T** operator&() { return &p; }
    T* operator->() const { return p; }
    T* p;
};

static HRESULT CreateFactory(IWICImagingFactory** factory)
{
    return CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IWICImagingFactory, reinterpret_cast<void**>(factory));
}

// --- formats -----------------------------------------------------------------

struct Format {
    std::string pattern;      // "*.png;*.apng"
    std::string description;  // the codec's friendly name
};

static std::string Narrow(const wchar_t* text)
{
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(strlen(narrow.c_str()));
    return narrow;
}

// ".png,.jpg" becomes "*.png;*.jpg". Windows separates a decoder's
// extensions with ',', Wine with ';': both are taken, spaces around each
// extension dropped.
static std::string PatternOf(const std::wstring& extensions)
{
    std::string pattern;
    size_t start = 0;
    while (start <= extensions.size()) {
        size_t end = extensions.find_first_of(L",;", start);
        if (end == std::wstring::npos)
            end = extensions.size();
        std::wstring ext = extensions.substr(start, end - start);
        size_t first = ext.find_first_not_of(L' ');
        size_t last = ext.find_last_not_of(L' ');
        ext = first == std::wstring::npos ? L"" : ext.substr(first, last - first + 1);
        if (!ext.empty()) {
            if (!pattern.empty())
                pattern += ";";
            pattern += "*" + Narrow((ext[0] == L'.' ? ext : L"." + ext).c_str());
        }
        start = end + 1;
    }
    return pattern;
}

// A string value of the key, or empty.
static std::wstring RegistryText(HKEY key, const wchar_t* name)
{
    wchar_t text[512];
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS
        || type != REG_SZ)
        return L"";
    // The value need not be stored with its zero.
    text[size / sizeof(wchar_t)] = L'\0';
    return text;
}

// The installed decoders, read once per load of the plug-in so that a codec
// installed later shows up without a rebuild. Read from the registry, where
// the imaging component registers its decoders (the decoder category's
// Instance key names each one's CLSID, whose key holds its extensions and
// name): GetPluginInfo is called from hosts' DllMain, under the loader lock,
// where creating COM objects or loading codec DLLs may deadlock. A decoder
// whose DLL is missing is listed still; decoding its files then fails.
static const std::vector<Format>& Formats()
{
    static std::vector<Format> formats;
    static bool listed;
    if (listed)
        return formats;
    listed = true;
    HKEY instances;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance", 0,
                      KEY_READ, &instances) != ERROR_SUCCESS)
        return formats;
    for (DWORD index = 0; index < 1024; index++) {
        wchar_t clsid[64];
        DWORD length = 64;
        LONG status = RegEnumKeyExW(instances, index, clsid, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS)
            continue;
        HKEY decoder;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + clsid).c_str(), 0, KEY_READ, &decoder)
            != ERROR_SUCCESS)
            continue;
        Format format = {PatternOf(RegistryText(decoder, L"FileExtensions")),
                         Narrow(RegistryText(decoder, L"FriendlyName").c_str())};
        RegCloseKey(decoder);
        if (!format.pattern.empty())
            formats.push_back(format);
    }
    RegCloseKey(instances);
    return formats;
}

// Copies text into the caller's buffer as far as it fits, always terminated,
// and returns the characters written.
static int PutText(LPSTR buffer, int length, const std::string& text)
{
    if (!buffer || length <= 0)
        return 0;
    int size = static_cast<int>(text.size());
    if (size > length - 1)
        size = length - 1;
    memcpy(buffer, text.data(), size);
    buffer[size] = '\0';
    return size;
}

PLUGIN_EXPORT int WINAPI GetPluginInfo(int infono, LPSTR buffer, int length)
{
    if (infono == 0)
        return PutText(buffer, length, kVersion);
    if (infono == 1)
        return PutText(buffer, length, kAbout);
    if (infono < 2)
        return 0;
    const std::vector<Format>& formats = Formats();
    size_t index = static_cast<size_t>(infono - 2) / 2;
    if (index >= formats.size())
        return 0;
    return PutText(buffer, length, infono % 2 == 0 ? formats[index].pattern : formats[index].description);
}

// --- declared sizes ------------------------------------------------------------

// The most pixels a picture may have: its 24-bit DIB is then at most 768 MB,
// which a 32-bit host can still hold beside itself, and the platform's
// decoders are never started on a picture that could not be delivered.
static const unsigned long long kMaxPixels = 1ULL << 28;

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

// JPEG: the first start-of-frame marker's size, walking the segments.
static bool JpegSize(const ByteSource& source, unsigned long long* width, unsigned long long* height)
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
        at += 2 + Big16(marker + 2);
    }
    return false;
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

// TIFF: ImageWidth and ImageLength of the first directory.
static bool TiffSize(const ByteSource& source, bool big, unsigned long long* width, unsigned long long* height)
{
    BYTE head[8];
    if (!ReadAt(source, 0, head, sizeof(head)))
        return false;
    unsigned long long at = big ? Big32(head + 4) : Little32(head + 4);
    BYTE count[2];
    if (!ReadAt(source, at, count, 2))
        return false;
    unsigned entries = big ? Big16(count) : Little16(count);
    *width = *height = 0;
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
    }
    return *width && *height;
}

// The size the picture's container declares, read from its headers alone;
// false where the format is not one of those known here or the headers do
// not say (the decoder then decides).
static bool DeclaredSize(const ByteSource& source, unsigned long long* width, unsigned long long* height)
{
    BYTE head[26];
    if (!ReadAt(source, 0, head, sizeof(head)))
        return false;
    if (memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0 && memcmp(head + 12, "IHDR", 4) == 0) {
        *width = Big32(head + 16);
        *height = Big32(head + 20);
        return true;
    }
    if (head[0] == 0xFF && head[1] == 0xD8)
        return JpegSize(source, width, height);
    if (memcmp(head, "GIF8", 4) == 0)
        return GifSize(source, width, height);
    if (head[0] == 'B' && head[1] == 'M') {
        unsigned long header = Little32(head + 14);
        *width = header == 12 ? Little16(head + 18) : Little32(head + 18);
        long h = static_cast<long>(Little32(head + 22));
        *height = header == 12 ? Little16(head + 20) : static_cast<unsigned long long>(h < 0 ? -static_cast<long long>(h) : h);
        return true;
    }
    if (memcmp(head, "II*\0", 4) == 0 || memcmp(head, "MM\0*", 4) == 0)
        return TiffSize(source, head[0] == 'M', width, height);
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

// Whether the picture may be decoded: SPI_SUCCESS, or SPI_NO_MEMORY for one
// that declares more pixels than a host can be given.
static int CheckDeclaredSize(LPCSTR buffer, LONG_PTR length, unsigned flag)
{
    ByteSource source = {};
    HANDLE file = INVALID_HANDLE_VALUE;
    if ((flag & 7) == SPI_INPUT_MEMORY) {
        if (!buffer || length <= 0)
            return SPI_SUCCESS;
        source.memory = reinterpret_cast<const BYTE*>(buffer);
        source.size = static_cast<unsigned long long>(length);
    } else {
        if (!buffer || length < 0)
            return SPI_SUCCESS;
        file = CreateFileA(buffer, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        LARGE_INTEGER size;
        if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)
            || static_cast<unsigned long long>(size.QuadPart) < static_cast<unsigned long long>(length)) {
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
            return SPI_SUCCESS;  // the decoder reports what is wrong with the file
        }
        source.file = file;
        source.base = static_cast<unsigned long long>(length);
        source.size = static_cast<unsigned long long>(size.QuadPart) - source.base;
    }
    unsigned long long width = 0, height = 0;
    bool known = DeclaredSize(source, &width, &height);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (known && width * height > kMaxPixels)
        return SPI_NO_MEMORY;
    return SPI_SUCCESS;
}

// --- sources -----------------------------------------------------------------

// Opens the picture: a file from an offset (flag 0) or an image in memory
// (flag 1), as a stream for a decoder.
static int OpenSource(IWICImagingFactory* factory, LPCSTR buffer, LONG_PTR length, unsigned flag,
                      IWICStream** source)
{
    *source = nullptr;
    Com<IWICStream> stream;
    if (FAILED(factory->CreateStream(&stream)))
        return SPI_NO_MEMORY;
    if ((flag & 7) == SPI_INPUT_MEMORY) {
        if (!buffer || length <= 0)
            return SPI_BROKEN_DATA;
        if (FAILED(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(buffer)),
                                                static_cast<DWORD>(length))))
            return SPI_MEMORY_ERROR;
        *source = stream.p;
        stream.p = nullptr;
        return SPI_SUCCESS;
    }
    if ((flag & 7) != SPI_INPUT_FILE || !buffer || length < 0)
        return SPI_NOT_IMPLEMENTED;
    int size = MultiByteToWideChar(CP_ACP, 0, buffer, -1, nullptr, 0);
    std::wstring name(size > 0 ? size : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, buffer, -1, &name[0], size);
    if (FAILED(stream->InitializeFromFilename(name.c_str(), GENERIC_READ)))
        return SPI_FILE_READ_ERROR;
    if (length == 0) {
        *source = stream.p;
        stream.p = nullptr;
        return SPI_SUCCESS;
    }
    // The picture starts at an offset in the file (behind a wrapper).
    Com<IWICStream> region;
    ULARGE_INTEGER offset, rest;
    offset.QuadPart = static_cast<ULONGLONG>(length);
    rest.QuadPart = ~0ULL >> 1;
    if (FAILED(factory->CreateStream(&region))
        || FAILED(region->InitializeFromIStreamRegion(stream.p, offset, rest)))
        return SPI_FILE_READ_ERROR;
    *source = region.p;
    region.p = nullptr;
    return SPI_SUCCESS;
}

static int OpenFrame(IWICImagingFactory* factory, LPCSTR buffer, LONG_PTR length, unsigned flag,
                     IWICBitmapFrameDecode** frame)
{
    Com<IWICStream> source;
    int result = OpenSource(factory, buffer, length, flag, &source);
    if (result != SPI_SUCCESS)
        return result;
    Com<IWICBitmapDecoder> decoder;
    HRESULT hr = factory->CreateDecoderFromStream(source.p, nullptr, WICDecodeMetadataCacheOnDemand,
                                                  &decoder);
    if (FAILED(hr))
        return hr == WINCODEC_ERR_COMPONENTNOTFOUND ? SPI_UNKNOWN_FORMAT : SPI_BROKEN_DATA;
    if (FAILED(decoder->GetFrame(0, frame)))
        return SPI_BROKEN_DATA;
    return SPI_SUCCESS;
}

// The factory, the picture's first frame and its size, for the two calls
// that decode.
static int OpenPicture(LPCSTR buffer, LONG_PTR length, unsigned flag, IWICImagingFactory** factory,
                       IWICBitmapFrameDecode** frame, UINT* width, UINT* height)
{
    int declared = CheckDeclaredSize(buffer, length, flag);
    if (declared != SPI_SUCCESS)
        return declared;
    if (FAILED(CreateFactory(factory)))
        return SPI_INTERNAL_ERROR;
    int result = OpenFrame(*factory, buffer, length, flag, frame);
    if (result != SPI_SUCCESS)
        return result;
    if (FAILED((*frame)->GetSize(width, height)) || *width == 0 || *height == 0
        || *width > 0x7FFFFFFF || *height > 0x7FFFFFFF)
        return SPI_BROKEN_DATA;
    if (static_cast<unsigned long long>(*width) * *height > kMaxPixels)
        return SPI_NO_MEMORY;
    return SPI_SUCCESS;
}

// --- the interface -------------------------------------------------------------

// Decides from the file's leading bytes, never its name. The probe is a file
// handle (its position is put back) or, in the usual form, a pointer to the
// file's first 2 KB, of which nothing past 2 KB is read.
PLUGIN_EXPORT int WINAPI IsSupported(LPCSTR /*name*/, void* probe)
{
    BYTE head[kSusieProbeSize];
    DWORD size = sizeof(head);
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(probe);
    if (value == 0)
        return 0;
    if ((value & ~static_cast<ULONG_PTR>(0xFFFF)) == 0) {
        HANDLE file = reinterpret_cast<HANDLE>(value);
        LARGE_INTEGER zero = {}, position;
        if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT))
            return 0;
        DWORD read = 0;
        BOOL ok = ReadFile(file, head, sizeof(head), &read, nullptr);
        SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
        if (!ok || read == 0)
            return 0;
        size = read;
    } else {
        memcpy(head, probe, sizeof(head));
    }

    ComUse com;
    Com<IWICImagingFactory> factory;
    Com<IWICStream> stream;
    Com<IEnumUnknown> decoders;
    if (FAILED(CreateFactory(&factory)) || FAILED(factory->CreateStream(&stream))
        || FAILED(stream->InitializeFromMemory(head, size))
        || FAILED(factory->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateDefault, &decoders)))
        return 0;
    for (;;) {
        Com<IUnknown> item;
        ULONG fetched = 0;
        if (decoders->Next(1, &item, &fetched) != S_OK || fetched != 1)
            return 0;
        Com<IWICBitmapDecoderInfo> info;
        if (FAILED(item->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(&info))))
            continue;
        BOOL matches = FALSE;
        LARGE_INTEGER start = {};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        if (SUCCEEDED(info->MatchesPattern(stream.p, &matches)) && matches)
            return 1;
    }
}

PLUGIN_EXPORT int WINAPI GetPictureInfo(LPCSTR buffer, LONG_PTR length, unsigned flag,
                                        SusiePictureInfo* info)
{
    if (!info)
        return SPI_MEMORY_ERROR;
    ComUse com;
    Com<IWICImagingFactory> factory;
    Com<IWICBitmapFrameDecode> frame;
    UINT width = 0, height = 0;
    int result = OpenPicture(buffer, length, flag, &factory, &frame, &width, &height);
    if (result != SPI_SUCCESS)
        return result;
    double dpiX = 96, dpiY = 96;
    frame->GetResolution(&dpiX, &dpiY);
    memset(info, 0, sizeof(*info));
    info->width = static_cast<long>(width);
    info->height = static_cast<long>(height);
    info->xDensity = static_cast<WORD>(dpiX);
    info->yDensity = static_cast<WORD>(dpiY);
    info->colorDepth = 24;
    return SPI_SUCCESS;
}

// Converts the frame to premultiplied BGRA and composes it over white into
// 24-bit rows, bottom row first.
static int DecodeInto(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, UINT width,
                      UINT height, BYTE* bits, UINT stride, SusieProgress progress, LONG_PTR data)
{
    Com<IWICFormatConverter> converter;
    if (FAILED(factory->CreateFormatConverter(&converter))
        || FAILED(converter->Initialize(frame, GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone,
                                        nullptr, 0, WICBitmapPaletteTypeCustom)))
        return SPI_BROKEN_DATA;
    std::vector<BYTE> row(static_cast<size_t>(width) * 4);
    for (UINT y = 0; y < height; y++) {
        if (progress && y % kProgressRows == 0 && progress(static_cast<int>(y), static_cast<int>(height), data))
            return SPI_ABORTED;
        WICRect line = {0, static_cast<INT>(y), static_cast<INT>(width), 1};
        if (FAILED(converter->CopyPixels(&line, width * 4, width * 4, row.data())))
            return SPI_BROKEN_DATA;
        BYTE* out = bits + static_cast<size_t>(height - 1 - y) * stride;
        for (UINT x = 0; x < width; x++) {
            const BYTE* p = &row[x * 4];
            BYTE under = static_cast<BYTE>(255 - p[3]);  // white behind what is transparent
            out[x * 3] = static_cast<BYTE>(p[0] + under);
            out[x * 3 + 1] = static_cast<BYTE>(p[1] + under);
            out[x * 3 + 2] = static_cast<BYTE>(p[2] + under);
        }
    }
    if (progress && progress(static_cast<int>(height), static_cast<int>(height), data))
        return SPI_ABORTED;
    return SPI_SUCCESS;
}

PLUGIN_EXPORT int WINAPI GetPicture(LPCSTR buffer, LONG_PTR length, unsigned flag, HLOCAL* info,
                                    HLOCAL* bits, SusieProgress progress, LONG_PTR data)
{
    if (!info || !bits)
        return SPI_MEMORY_ERROR;
    *info = nullptr;
    *bits = nullptr;
    ComUse com;
    Com<IWICImagingFactory> factory;
    Com<IWICBitmapFrameDecode> frame;
    UINT width = 0, height = 0;
    int result = OpenPicture(buffer, length, flag, &factory, &frame, &width, &height);
    if (result != SPI_SUCCESS)
        return result;
    unsigned long long stride = (static_cast<unsigned long long>(width) * 3 + 3) & ~3ULL;
    unsigned long long size = stride * height;
    if (size > 0x7FFFFFFFULL)
        return SPI_NO_MEMORY;

    HLOCAL infoBlock = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
    HLOCAL bitsBlock = LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(size));
    BITMAPINFOHEADER* header = infoBlock ? static_cast<BITMAPINFOHEADER*>(LocalLock(infoBlock)) : nullptr;
    BYTE* pixels = bitsBlock ? static_cast<BYTE*>(LocalLock(bitsBlock)) : nullptr;
    if (header && pixels) {
        header->biSize = sizeof(BITMAPINFOHEADER);
        header->biWidth = static_cast<LONG>(width);
        header->biHeight = static_cast<LONG>(height);
        header->biPlanes = 1;
        header->biBitCount = 24;
        header->biCompression = BI_RGB;
        header->biSizeImage = static_cast<DWORD>(size);
        memset(pixels, 255, static_cast<size_t>(size));
        result = DecodeInto(factory.p, frame.p, width, height, pixels, static_cast<UINT>(stride),
                            progress, data);
    } else {
        result = SPI_NO_MEMORY;
    }
    if (header)
        LocalUnlock(infoBlock);
    if (pixels)
        LocalUnlock(bitsBlock);
    if (result != SPI_SUCCESS) {
        if (infoBlock)
            LocalFree(infoBlock);
        if (bitsBlock)
            LocalFree(bitsBlock);
        return result;
    }
    // Both blocks are the caller's from here.
    *info = infoBlock;
    *bits = bitsBlock;
    return SPI_SUCCESS;
}

PLUGIN_EXPORT int WINAPI GetPreview(LPCSTR, LONG_PTR, unsigned, HLOCAL*, HLOCAL*, SusieProgress, LONG_PTR)
{
    return SPI_NOT_IMPLEMENTED;
}
