// ifsyscodec.spi: a Susie import filter on the platform's own image codecs.
// It decodes whatever the Windows Imaging Component can (PNG, GIF, TIFF,
// ICO, JPEG XR, and HEIF, WebP or AVIF where their codecs are installed)
// into the 24-bit bottom-up DIB that Susie hosts expect, transparent pixels
// composed over white; JPEG, the photos' format, through libjpeg-turbo,
// which decodes at the scale a chip shows (the platform's decoder keeps
// the kinds libjpeg-turbo does not read).
#include <windows.h>
#include <wincodec.h>

#include <cstring>

#include "color_profile.h"
#include "common/owners.h"
#include "common/reduce.h"
#include "common/susie.h"
#include "dib_out.h"
#include "header_facts.h"
#include "jpeg_decode.h"
#include "pixel_forms.h"
#include "settings.h"
#include "webp_decode.h"

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

// Fixed-size texts: the list is read once while the plug-in is loaded, and a
// failed allocation anywhere in a host's process must leave it running. A
// decoder's extensions longer than kPatternBytes lose the ones that do not
// fit whole.
const size_t kPatternBytes = 512;
const size_t kDescriptionBytes = 256;
struct Format {
    char pattern[kPatternBytes];          // "*.png;*.apng"
    char description[kDescriptionBytes];  // the codec's friendly name
};

// Appends the narrow form of `text` (count characters) to out, which holds
// *used bytes of `size`; false, with nothing appended, where it would not fit.
static bool AppendNarrow(const wchar_t* text, int count, char* out, size_t size, size_t* used)
{
    int room = static_cast<int>(size - 1 - *used);
    int written = count > 0 && room > 0 ? WideCharToMultiByte(CP_ACP, 0, text, count, out + *used, room, nullptr,
                                                               nullptr)
                                        : 0;
    if (written <= 0) {
        out[*used] = '\0';
        return count == 0;
    }
    *used += static_cast<size_t>(written);
    out[*used] = '\0';
    return true;
}

// ".png,.jpg" becomes "*.png;*.jpg". Windows separates a decoder's
// extensions with ',', Wine with ';': both are taken, spaces around each
// extension dropped.
static void PatternOf(const wchar_t* extensions, char (&pattern)[kPatternBytes])
{
    size_t used = 0;
    pattern[0] = '\0';
    for (const wchar_t* start = extensions; *start;) {
        const wchar_t* end = start;
        while (*end && *end != L',' && *end != L';')
            end++;
        const wchar_t* first = start;
        const wchar_t* last = end;
        while (first < last && *first == L' ')
            first++;
        while (last > first && last[-1] == L' ')
            last--;
        if (first < last) {
            size_t before = used;
            bool fits = AppendNarrow(used ? L";*" : L"*", used ? 2 : 1, pattern, kPatternBytes, &used)
                && (*first == L'.' || AppendNarrow(L".", 1, pattern, kPatternBytes, &used))
                && AppendNarrow(first, static_cast<int>(last - first), pattern, kPatternBytes, &used);
            if (!fits) {
                pattern[before] = '\0';
                return;
            }
        }
        start = *end ? end + 1 : end;
    }
}

// A string value of the key, or empty.
static void RegistryText(HKEY key, const wchar_t* name, wchar_t (&text)[512])
{
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS
        || type != REG_SZ)
        size = 0;
    // The value need not be stored with its zero.
    text[size / sizeof(wchar_t)] = L'\0';
}

// Whether a platform decoder's pattern is one of the formats read here.
static bool IsOwnPattern(const char* pattern, const Format* own, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (lstrcmpiA(pattern, own[i].pattern) == 0)
            return true;
    return false;
}

// The installed decoders, read once per load of the plug-in so that a codec
// installed later shows up without a rebuild. Read from the registry, where
// the imaging component registers its decoders (the decoder category's
// Instance key names each one's CLSID, whose key holds its extensions and
// name): GetPluginInfo is called from hosts' DllMain, under the loader lock,
// where creating COM objects or loading codec DLLs may deadlock. A decoder
// whose DLL is missing is listed still; decoding its files then fails. Where
// the heap refuses, the list ends with the decoders it holds.
static const HeapArray<Format>& Formats()
{
    static HeapArray<Format> formats;
    static bool listed;
    if (listed)
        return formats;
    listed = true;
    // Read by the libraries linked in, whatever codecs the platform has.
    static const Format kOwn[] = {{"*.webp", "WebP"}};
    if (!formats.Allocate(sizeof(kOwn) / sizeof(kOwn[0]), false))
        return formats;
    memcpy(formats.items, kOwn, sizeof(kOwn));
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
        wchar_t keyName[80] = L"CLSID\\";
        lstrcatW(keyName, clsid);
        HKEY decoder;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName, 0, KEY_READ, &decoder) != ERROR_SUCCESS)
            continue;
        Format format;
        wchar_t text[512];
        RegistryText(decoder, L"FileExtensions", text);
        PatternOf(text, format.pattern);
        RegistryText(decoder, L"FriendlyName", text);
        size_t used = 0;
        AppendNarrow(text, lstrlenW(text), format.description, kDescriptionBytes, &used);
        RegCloseKey(decoder);
        if (!format.pattern[0] || IsOwnPattern(format.pattern, kOwn, sizeof(kOwn) / sizeof(kOwn[0])))
            continue;
        if (!formats.Resize(formats.count + 1))
            break;
        formats[formats.count - 1] = format;
    }
    RegCloseKey(instances);
    return formats;
}

// Copies text into the caller's buffer as far as it fits, always terminated,
// and returns the characters written.
static int PutText(LPSTR buffer, int length, const char* text)
{
    if (!buffer || length <= 0)
        return 0;
    int size = lstrlenA(text);
    if (size > length - 1)
        size = length - 1;
    memcpy(buffer, text, size);
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
    const HeapArray<Format>& formats = Formats();
    size_t index = static_cast<size_t>(infono - 2) / 2;
    if (index >= formats.count)
        return 0;
    return PutText(buffer, length, infono % 2 == 0 ? formats[index].pattern : formats[index].description);
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
    HeapArray<wchar_t> name;
    if (size <= 0)
        return SPI_FILE_READ_ERROR;
    if (!name.Allocate(static_cast<size_t>(size), false))
        return SPI_NO_MEMORY;
    MultiByteToWideChar(CP_ACP, 0, buffer, -1, name.items, size);
    if (FAILED(stream->InitializeFromFilename(name.items, GENERIC_READ)))
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

// The frame's first colour profile, as its decoder gives it: Wine's and the
// platform's decoders read PNG's iCCP and TIFF's profile tag. Bounded before
// anything is allocated for it.
static void DecoderProfile(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, HeapArray<BYTE>* profile)
{
    const UINT kMostContexts = 16;
    UINT count = 0;
    if (FAILED(frame->GetColorContexts(0, nullptr, &count)) || count == 0 || count > kMostContexts)
        return;
    IWICColorContext* contexts[kMostContexts] = {};
    UINT made = 0;
    while (made < count && SUCCEEDED(factory->CreateColorContext(&contexts[made])))
        made++;
    UINT size = 0;
    WICColorContextType type;
    if (made == count && SUCCEEDED(frame->GetColorContexts(count, contexts, &count))
        && SUCCEEDED(contexts[0]->GetType(&type)) && type == WICColorContextProfile
        && SUCCEEDED(contexts[0]->GetProfileBytes(0, nullptr, &size)) && size > 0 && size <= kMaxProfileBytes
        && profile->Allocate(size, false)) {
        if (FAILED(contexts[0]->GetProfileBytes(size, profile->items, &size)) || size != profile->count)
            profile->Free();
    }
    for (UINT i = 0; i < made; i++)
        contexts[i]->Release();
}

// What a call learns before any decoder runs: the user's settings, and from
// the picture's headers whether it can be held at all, its orientation as
// it is to be shown, whether it is a JPEG, and its profile where wanted.
struct Preamble {
    HeaderFacts facts;
    int orientation;
    bool wantProfile;
};

static Preamble ReadPreamble(LPCSTR buffer, LONG_PTR length, unsigned flag, bool forDecoding)
{
    CodecSettings settings = ReadCodecSettings();
    Preamble preamble;
    preamble.wantProfile = forDecoding && settings.useColorProfile;
    preamble.facts = ReadHeaderFacts(buffer, length, flag, preamble.wantProfile);
    preamble.orientation = settings.applyOrientation ? preamble.facts.orientation : 1;
    return preamble;
}

// The profile a picture is to be converted from, as a table; false where
// there is none to use or the system refuses it (the picture then shows as
// it is stored).
static bool TableFor(HeapArray<BYTE>* profile, SrgbTable* table)
{
    return ShouldConvert(profile) && BuildSrgbTable(*profile, table);
}

// The factory, the picture's first frame and its size as stored, for the
// two calls that decode; for GetPicture also the colour profile to convert
// from, left in preamble->facts.profile, empty when there is none to use.
static int OpenPicture(LPCSTR buffer, LONG_PTR length, unsigned flag, Preamble* preamble,
                       IWICImagingFactory** factory, IWICBitmapFrameDecode** frame, UINT* width, UINT* height)
{
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
    // A JPEG's and a TIFF's were read with their headers: Wine's JPEG
    // decoder does not give its profile.
    if (preamble->wantProfile && !preamble->facts.profileRead)
        DecoderProfile(*factory, *frame, &preamble->facts.profile);
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
    // Formats read by the libraries linked in, whatever codecs the platform has.
    if (size >= 12 && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0)
        return 1;

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

static void FillInfo(UINT width, UINT height, double dpiX, double dpiY, int orientation, SusiePictureInfo* info)
{
    bool turned = orientation >= 5;
    memset(info, 0, sizeof(*info));
    info->width = static_cast<long>(turned ? height : width);
    info->height = static_cast<long>(turned ? width : height);
    info->xDensity = static_cast<WORD>(turned ? dpiY : dpiX);
    info->yDensity = static_cast<WORD>(turned ? dpiX : dpiY);
    info->colorDepth = 24;
}

PLUGIN_EXPORT int WINAPI GetPictureInfo(LPCSTR buffer, LONG_PTR length, unsigned flag,
                                        SusiePictureInfo* info)
{
    if (!info)
        return SPI_MEMORY_ERROR;
    Preamble preamble = ReadPreamble(buffer, length, flag, false);
    if (preamble.facts.sizeCheck != SPI_SUCCESS)
        return preamble.facts.sizeCheck;
    if (preamble.facts.jpeg) {
        JpegHeader header;
        int result = ReadJpegHeader(buffer, length, flag, &header);
        if (result == SPI_SUCCESS)
            FillInfo(header.width, header.height, header.dpiX, header.dpiY, preamble.orientation, info);
        if (result != kJpegToPlatform)
            return result;
    }
    if (preamble.facts.webp) {
        if (!preamble.facts.width || !preamble.facts.height)
            return SPI_BROKEN_DATA;
        FillInfo(static_cast<UINT>(preamble.facts.width), static_cast<UINT>(preamble.facts.height), 96, 96,
                 preamble.orientation, info);
        return SPI_SUCCESS;
    }
    ComUse com;
    Com<IWICImagingFactory> factory;
    Com<IWICBitmapFrameDecode> frame;
    UINT width = 0, height = 0;
    int result = OpenPicture(buffer, length, flag, &preamble, &factory, &frame, &width, &height);
    if (result != SPI_SUCCESS)
        return result;
    double dpiX = 96, dpiY = 96;
    frame->GetResolution(&dpiX, &dpiY);
    FillInfo(width, height, dpiX, dpiY, preamble.orientation, info);
    return SPI_SUCCESS;
}

// Decoded as premultiplied BGRA to be composed over white, or as straight
// BGRA where the caller composes its transparency itself.
static bool MakeConverter(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, bool straight,
                          IWICFormatConverter** converter)
{
    return SUCCEEDED(factory->CreateFormatConverter(converter))
        && SUCCEEDED((*converter)->Initialize(frame, straight ? GUID_WICPixelFormat32bppBGRA
                                                               : GUID_WICPixelFormat32bppPBGRA,
                                              WICBitmapDitherTypeNone, nullptr, 0, WICBitmapPaletteTypeCustom));
}

// Whether the frame's pixels may be transparent: its format has an alpha
// channel, or a palette with transparent colours (a GIF's).
static bool MayBeTransparent(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame)
{
    static const GUID* const kWithAlpha[] = {
        &GUID_WICPixelFormat32bppBGRA,  &GUID_WICPixelFormat32bppRGBA,     &GUID_WICPixelFormat32bppPBGRA,
        &GUID_WICPixelFormat32bppPRGBA, &GUID_WICPixelFormat64bppRGBA,     &GUID_WICPixelFormat64bppPRGBA,
        &GUID_WICPixelFormat16bppBGRA5551, &GUID_WICPixelFormat128bppRGBAFloat, &GUID_WICPixelFormat128bppPRGBAFloat,
    };
    static const GUID* const kIndexed[] = {&GUID_WICPixelFormat1bppIndexed, &GUID_WICPixelFormat2bppIndexed,
                                           &GUID_WICPixelFormat4bppIndexed, &GUID_WICPixelFormat8bppIndexed};
    WICPixelFormatGUID format;
    if (FAILED(frame->GetPixelFormat(&format)))
        return false;
    for (const GUID* alpha : kWithAlpha)
        if (IsEqualGUID(format, *alpha))
            return true;
    for (const GUID* indexed : kIndexed) {
        if (!IsEqualGUID(format, *indexed))
            continue;
        Com<IWICPalette> palette;
        BOOL hasAlpha = FALSE;
        return SUCCEEDED(factory->CreatePalette(&palette)) && SUCCEEDED(frame->CopyPalette(palette.p))
            && SUCCEEDED(palette->HasAlpha(&hasAlpha)) && hasAlpha;
    }
    return false;
}

// What the rows are decoded into: 3 bytes a pixel composed over white, or 4
// with straight alpha (premultiplied where they are to be averaged).
struct RowForm {
    UINT bytes;
    bool premultiplied;
};

// Decodes the stored pixels x0 .. x1 - 1 of rows y0 .. y1 - 1 of a width x
// height frame, in `form`, and puts each where `orientation` shows it; with
// a table, colours are converted to sRGB on the way. `row` holds x1 - x0
// BGRA pixels, `formed` as many of the form's.
static int DecodeRows(IWICFormatConverter* converter, UINT x0, UINT x1, UINT y0, UINT y1, UINT width, UINT height,
                      int orientation, SrgbTable* table, RowForm form, const ShownRows& target, BYTE* row,
                      BYTE* formed)
{
    UINT count = x1 - x0;
    for (UINT y = y0; y < y1; y++) {
        WICRect line = {static_cast<INT>(x0), static_cast<INT>(y), static_cast<INT>(count), 1};
        if (FAILED(converter->CopyPixels(&line, count * 4, count * 4, row)))
            return SPI_BROKEN_DATA;
        // Unturned rows go straight to their place; turned ones pixel by pixel.
        BYTE* out = orientation == 1 ? RowAt(target, y) + static_cast<size_t>(x0) * form.bytes : formed;
        if (form.bytes == 3)
            ComposeOverWhite(row, count, out);
        else
            memcpy(out, row, static_cast<size_t>(count) * 4);
        if (table)
            ConvertRow(*table, out, count, form.bytes);
        if (form.premultiplied)
            Premultiply(out, count);
        if (orientation != 1)
            PlaceStored(orientation, x0, count, y, width, height, target, formed, form.bytes);
    }
    return SPI_SUCCESS;
}

// Everything a decoding call opens, with the orientation and the table
// when colours are to be converted.
struct OpenedPicture {
    Com<IWICImagingFactory> factory;
    Com<IWICBitmapFrameDecode> frame;
    Com<IWICFormatConverter> converter;
    UINT width = 0, height = 0;  // as stored
    int orientation = 1;
    SrgbTable table;
    bool convert = false;
    bool alpha = false;  // handed over with straight alpha, 32 bits a pixel
    UINT shownWidth() const { return orientation >= 5 ? height : width; }
    UINT shownHeight() const { return orientation >= 5 ? width : height; }
};

static int OpenForDecoding(LPCSTR buffer, LONG_PTR length, unsigned flag, Preamble* preamble,
                           OpenedPicture* picture)
{
    int result = OpenPicture(buffer, length, flag, preamble, &picture->factory, &picture->frame, &picture->width,
                             &picture->height);
    if (result != SPI_SUCCESS)
        return result;
    picture->orientation = preamble->orientation;
    picture->convert = TableFor(&preamble->facts.profile, &picture->table);
    picture->alpha = (flag & kSpiStraightAlpha) && MayBeTransparent(picture->factory.p, picture->frame.p);
    if (!MakeConverter(picture->factory.p, picture->frame.p, picture->alpha, &picture->converter))
        return SPI_BROKEN_DATA;
    return SPI_SUCCESS;
}

// The whole picture into the blocks GetPicture hands over.
static int DecodeWhole(OpenedPicture& picture, HLOCAL* info, HLOCAL* bits, SusieProgress progress, LONG_PTR data)
{
    int result = SPI_SUCCESS;
    DibBlocks blocks;
    RowForm form = {picture.alpha ? 4u : 3u, false};
    HeapArray<BYTE> row, formed;
    if (!row.Allocate(static_cast<size_t>(picture.width) * 4, false)
        || !formed.Allocate(static_cast<size_t>(picture.width) * 4, false)
        || !AllocateDib(picture.shownWidth(), picture.shownHeight(), true, &blocks, static_cast<WORD>(form.bytes * 8)))
        return SPI_NO_MEMORY;
    ShownRows target = RowsOf(blocks, picture.shownHeight());
    for (UINT y = 0; y < picture.height && result == SPI_SUCCESS; y += kProgressRows) {
        if (progress && progress(static_cast<int>(y), static_cast<int>(picture.height), data)) {
            result = SPI_ABORTED;
            break;
        }
        UINT end = picture.height - y < kProgressRows ? picture.height : y + kProgressRows;
        result = DecodeRows(picture.converter.p, 0, picture.width, y, end, picture.width, picture.height,
                            picture.orientation, picture.convert ? &picture.table : nullptr, form, target, row.items,
                            formed.items);
    }
    if (result == SPI_SUCCESS && progress
        && progress(static_cast<int>(picture.height), static_cast<int>(picture.height), data))
        result = SPI_ABORTED;
    return HandOver(&blocks, result, info, bits);
}

// The shown rows a band of the reduced picture is made from are decoded
// into a buffer of about this size, then reduced; the picture is never held
// whole (the platform's decoder may hold its own rows).
static const size_t kBandBytes = 1 << 20;

// The picture area-averaged down to width x height, band by band.
static int DecodeReduced(OpenedPicture& picture, long width, long height, HLOCAL* info, HLOCAL* bits,
                         SusieProgress progress, LONG_PTR data)
{
    int result = SPI_SUCCESS;
    UINT shownWidth = picture.shownWidth(), shownHeight = picture.shownHeight();
    // With alpha the band is premultiplied, so that the average weighs each
    // colour by its alpha; the result is made straight again at the end.
    RowForm form = {picture.alpha ? 4u : 3u, picture.alpha};
    size_t bandStride = (static_cast<size_t>(shownWidth) * form.bytes + 3) & ~static_cast<size_t>(3);
    // Room for at least the rows any one output row covers.
    size_t capacity = kBandBytes / bandStride;
    size_t most = shownHeight / static_cast<UINT>(height) + 2;
    if (capacity < most)
        capacity = most;
    if (capacity > shownHeight)
        capacity = shownHeight;
    if (static_cast<unsigned long long>(bandStride) * capacity > 0x7FFFFFFFULL)
        return SPI_NO_MEMORY;
    HeapArray<BYTE> band, row, formed;
    DibBlocks blocks;
    if (!band.Allocate(bandStride * capacity, false) || !row.Allocate(static_cast<size_t>(picture.width) * 4, false)
        || !formed.Allocate(static_cast<size_t>(picture.width) * 4, false)
        || !AllocateDib(static_cast<UINT>(width), static_cast<UINT>(height), true, &blocks,
                        static_cast<WORD>(form.bytes * 8)))
        return SPI_NO_MEMORY;
    int first = 0, last = 0;
    BYTE* outTop = blocks.pixels + static_cast<size_t>(blocks.stride) * (height - 1);
    for (int y0 = 0, y1 = 0; y0 < height && result == SPI_SUCCESS; y0 = y1) {
        if (progress && progress(y0, static_cast<int>(height), data)) {
            result = SPI_ABORTED;
            break;
        }
        // As many output rows as the band has room for, at least one.
        SourceRowsOf(static_cast<int>(shownHeight), height, y0, y0 + 1, &first, &last);
        for (y1 = y0 + 1; y1 < height; y1++) {
            int nextFirst, nextLast;
            SourceRowsOf(static_cast<int>(shownHeight), height, y0, y1 + 1, &nextFirst, &nextLast);
            if (static_cast<size_t>(nextLast - nextFirst) > capacity)
                break;
            last = nextLast;
        }
        // The stored rows, or columns for a turned picture, that show as rows
        // first .. last - 1.
        UINT a = static_cast<UINT>(first), b = static_cast<UINT>(last);
        UINT x0 = 0, x1 = picture.width, r0 = 0, r1 = picture.height;
        switch (picture.orientation) {
        case 3: case 4: r0 = picture.height - b; r1 = picture.height - a; break;
        case 5: case 6: x0 = a; x1 = b; break;
        case 7: case 8: x0 = picture.width - b; x1 = picture.width - a; break;
        default: r0 = a; r1 = b; break;
        }
        ShownRows target = {band.items, static_cast<ptrdiff_t>(bandStride), first};
        result = DecodeRows(picture.converter.p, x0, x1, r0, r1, picture.width, picture.height, picture.orientation,
                            picture.convert ? &picture.table : nullptr, form, target, row.items, formed.items);
        PixelRows rows = {band.items, static_cast<ptrdiff_t>(bandStride), static_cast<int>(shownWidth),
                          static_cast<int>(shownHeight), static_cast<int>(form.bytes), first};
        if (result == SPI_SUCCESS
            && !ReduceAreaRows(rows, width, height, width, y0, y1, outTop, -static_cast<ptrdiff_t>(blocks.stride),
                               static_cast<int>(form.bytes), picture.alpha))
            result = SPI_NO_MEMORY;
    }
    if (result == SPI_SUCCESS && picture.alpha)
        for (long y = 0; y < height; y++)
            Unpremultiply(blocks.pixels + static_cast<size_t>(blocks.stride) * y, static_cast<UINT>(width));
    if (result == SPI_SUCCESS && progress && progress(static_cast<int>(height), static_cast<int>(height), data))
        result = SPI_ABORTED;
    return HandOver(&blocks, result, info, bits);
}

// The picture whole, or area-averaged down to the size `sizeFor` (when
// given) asks for once it is told the picture's own.
static int DecodePicture(LPCSTR buffer, LONG_PTR length, unsigned flag, ReducedSize sizeFor, LONG_PTR context,
                         HLOCAL* info, HLOCAL* bits, SusieProgress progress, LONG_PTR data)
{
    if (!info || !bits)
        return SPI_MEMORY_ERROR;
    *info = nullptr;
    *bits = nullptr;
    Preamble preamble = ReadPreamble(buffer, length, flag, true);
    if (preamble.facts.sizeCheck != SPI_SUCCESS)
        return preamble.facts.sizeCheck;
    if (preamble.facts.jpeg || preamble.facts.webp) {
        SrgbTable table;
        bool convert = TableFor(&preamble.facts.profile, &table);
        DecodeRequest request = {buffer, length, flag, preamble.orientation, convert ? &table : nullptr,
                                 sizeFor, context, progress, data};
        // WebP is libwebp's alone, whatever codecs the platform has.
        if (preamble.facts.webp)
            return DecodeWebp(request, info, bits);
        int result = DecodeJpeg(request, info, bits);
        if (result != kJpegToPlatform)
            return result;
    }
    ComUse com;
    OpenedPicture picture;
    int result = OpenForDecoding(buffer, length, flag, &preamble, &picture);
    if (result != SPI_SUCCESS)
        return result;
    long shownWidth = static_cast<long>(picture.shownWidth()), shownHeight = static_cast<long>(picture.shownHeight());
    long width = shownWidth, height = shownHeight;
    if (sizeFor)
        sizeFor(shownWidth, shownHeight, &width, &height, context);
    if (width >= shownWidth && height >= shownHeight)
        return DecodeWhole(picture, info, bits, progress, data);
    if (width <= 0 || height <= 0 || width > shownWidth || height > shownHeight)
        return SPI_NOT_IMPLEMENTED;
    return DecodeReduced(picture, width, height, info, bits, progress, data);
}

PLUGIN_EXPORT int WINAPI GetPicture(LPCSTR buffer, LONG_PTR length, unsigned flag, HLOCAL* info,
                                    HLOCAL* bits, SusieProgress progress, LONG_PTR data)
{
    // Other hosts ignore a fourth byte: transparency always comes over white.
    return DecodePicture(buffer, length, flag & ~kSpiStraightAlpha, nullptr, 0, info, bits, progress, data);
}

// Not part of the plug-in interface: the picture as GetPicture gives it, or
// area-averaged down to the size `sizeFor` asks for once it is told the
// picture's own (the size GetPictureInfo reports), decoded and reduced band
// by band. One opening of the file: a decoder may decode the whole picture
// just to say its size. With kSpiStraightAlpha in `flag`, a picture whose
// format can be transparent comes as 32 bits a pixel with straight alpha,
// its reduction averaging colour weighted by alpha. Used by the chip library
// for what a chip shows, which it composes over the chip's own colour.
PLUGIN_EXPORT int WINAPI GetReducedPicture(LPCSTR buffer, LONG_PTR length, unsigned flag, ReducedSize sizeFor,
                                           LONG_PTR context, HLOCAL* info, HLOCAL* bits, SusieProgress progress,
                                           LONG_PTR data)
{
    if (!sizeFor)
        return SPI_MEMORY_ERROR;
    return DecodePicture(buffer, length, flag, sizeFor, context, info, bits, progress, data);
}

// Not part of the plug-in interface: its presence says that every decoding
// call may run on any thread, several at once (each has its own decoder,
// COM where it needs it, and no state but the format list, made once). The
// chip library then reads a slideshow's next picture ahead through it.
PLUGIN_EXPORT int WINAPI DecodesOnAnyThread()
{
    return 1;
}

PLUGIN_EXPORT int WINAPI GetPreview(LPCSTR, LONG_PTR, unsigned, HLOCAL*, HLOCAL*, SusieProgress, LONG_PTR)
{
    return SPI_NOT_IMPLEMENTED;
}
