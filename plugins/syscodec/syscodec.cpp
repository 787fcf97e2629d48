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

#include "color_profile.h"
#include "header_facts.h"
#include "settings.h"
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

// The frame's first colour profile, as its decoder gives it: Wine's and the
// platform's decoders read PNG's iCCP and TIFF's profile tag. Bounded before
// anything is allocated for it.
static void DecoderProfile(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, std::vector<BYTE>* profile)
{
    UINT count = 0;
    if (FAILED(frame->GetColorContexts(0, nullptr, &count)) || count == 0 || count > 16)
        return;
    std::vector<IWICColorContext*> contexts(count, nullptr);
    UINT made = 0;
    while (made < count && SUCCEEDED(factory->CreateColorContext(&contexts[made])))
        made++;
    UINT size = 0;
    WICColorContextType type;
    if (made == count && SUCCEEDED(frame->GetColorContexts(count, contexts.data(), &count))
        && SUCCEEDED(contexts[0]->GetType(&type)) && type == WICColorContextProfile
        && SUCCEEDED(contexts[0]->GetProfileBytes(0, nullptr, &size)) && size > 0 && size <= kMaxProfileBytes) {
        profile->resize(size);
        if (FAILED(contexts[0]->GetProfileBytes(size, profile->data(), &size)) || size != profile->size())
            profile->clear();
    }
    for (UINT i = 0; i < made; i++)
        contexts[i]->Release();
}

// The factory, the picture's first frame, its size as stored and the
// orientation to show it in, for the two calls that decode; for GetPicture
// also the colour profile to convert from, empty when there is none to use.
static int OpenPicture(LPCSTR buffer, LONG_PTR length, unsigned flag, IWICImagingFactory** factory,
                       IWICBitmapFrameDecode** frame, UINT* width, UINT* height, int* orientation,
                       std::vector<BYTE>* profile = nullptr)
{
    CodecSettings settings = ReadCodecSettings();
    bool wantProfile = profile && settings.useColorProfile;
    HeaderFacts facts = ReadHeaderFacts(buffer, length, flag, wantProfile);
    if (facts.sizeCheck != SPI_SUCCESS)
        return facts.sizeCheck;
    *orientation = settings.applyOrientation ? facts.orientation : 1;
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
    if (wantProfile) {
        // A JPEG's and a TIFF's were read with their headers: Wine's JPEG
        // decoder does not give its profile.
        if (facts.profileRead)
            profile->swap(facts.profile);
        else
            DecoderProfile(*factory, *frame, profile);
        if (!ShouldConvert(profile))
            profile->clear();
    }
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
    int orientation = 1;
    int result = OpenPicture(buffer, length, flag, &factory, &frame, &width, &height, &orientation);
    if (result != SPI_SUCCESS)
        return result;
    double dpiX = 96, dpiY = 96;
    frame->GetResolution(&dpiX, &dpiY);
    bool turned = orientation >= 5;
    memset(info, 0, sizeof(*info));
    info->width = static_cast<long>(turned ? height : width);
    info->height = static_cast<long>(turned ? width : height);
    info->xDensity = static_cast<WORD>(turned ? dpiY : dpiX);
    info->yDensity = static_cast<WORD>(turned ? dpiX : dpiY);
    info->colorDepth = 24;
    return SPI_SUCCESS;
}

// Where the stored pixel (x, y) of a width x height picture is shown, for
// each Exif orientation: 2-4 mirror or turn it half round, 5-8 turn it a
// quarter, so the shown picture is height x width.
static void Place(int orientation, UINT x, UINT y, UINT width, UINT height, UINT* shownX, UINT* shownY)
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

// Premultiplied B,G,R,A pixels over white, as 24-bit B,G,R.
static void ComposeOverWhite(const BYTE* bgra, UINT width, BYTE* out)
{
    for (UINT x = 0; x < width; x++, bgra += 4, out += 3) {
        BYTE under = static_cast<BYTE>(255 - bgra[3]);  // white behind what is transparent
        out[0] = static_cast<BYTE>(bgra[0] + under);
        out[1] = static_cast<BYTE>(bgra[1] + under);
        out[2] = static_cast<BYTE>(bgra[2] + under);
    }
}

// Converts the frame to premultiplied BGRA and composes it over white into
// 24-bit rows, bottom row first, turned as `orientation` says; with a table,
// each row's colours are converted to sRGB on the way.
static int DecodeInto(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, UINT width,
                      UINT height, int orientation, SrgbTable* table, BYTE* bits, UINT stride,
                      SusieProgress progress, LONG_PTR data)
{
    UINT shownHeight = orientation >= 5 ? width : height;
    Com<IWICFormatConverter> converter;
    if (FAILED(factory->CreateFormatConverter(&converter))
        || FAILED(converter->Initialize(frame, GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone,
                                        nullptr, 0, WICBitmapPaletteTypeCustom)))
        return SPI_BROKEN_DATA;
    std::vector<BYTE> row(static_cast<size_t>(width) * 4);
    std::vector<BYTE> composed(orientation == 1 ? 0 : static_cast<size_t>(width) * 3);
    for (UINT y = 0; y < height; y++) {
        if (progress && y % kProgressRows == 0 && progress(static_cast<int>(y), static_cast<int>(height), data))
            return SPI_ABORTED;
        WICRect line = {0, static_cast<INT>(y), static_cast<INT>(width), 1};
        if (FAILED(converter->CopyPixels(&line, width * 4, width * 4, row.data())))
            return SPI_BROKEN_DATA;
        // Unturned rows go straight to their place; turned ones through a
        // row of their own, then pixel by pixel.
        BYTE* out = orientation == 1 ? bits + static_cast<size_t>(height - 1 - y) * stride : composed.data();
        ComposeOverWhite(row.data(), width, out);
        if (table)
            ConvertRow(*table, out, width);
        if (orientation == 1)
            continue;
        for (UINT x = 0; x < width; x++) {
            UINT shownX, shownY;
            Place(orientation, x, y, width, height, &shownX, &shownY);
            memcpy(bits + static_cast<size_t>(shownHeight - 1 - shownY) * stride + shownX * 3, &composed[x * 3], 3);
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
    int orientation = 1;
    std::vector<BYTE> profile;
    int result = OpenPicture(buffer, length, flag, &factory, &frame, &width, &height, &orientation, &profile);
    if (result != SPI_SUCCESS)
        return result;
    // A profile the system refuses shows the picture as it is stored.
    SrgbTable table;
    bool convert = !profile.empty() && BuildSrgbTable(profile, &table);
    UINT shownWidth = orientation >= 5 ? height : width;
    UINT shownHeight = orientation >= 5 ? width : height;
    unsigned long long stride = (static_cast<unsigned long long>(shownWidth) * 3 + 3) & ~3ULL;
    unsigned long long size = stride * shownHeight;
    if (size > 0x7FFFFFFFULL)
        return SPI_NO_MEMORY;

    HLOCAL infoBlock = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
    HLOCAL bitsBlock = LocalAlloc(LMEM_MOVEABLE, static_cast<SIZE_T>(size));
    BITMAPINFOHEADER* header = infoBlock ? static_cast<BITMAPINFOHEADER*>(LocalLock(infoBlock)) : nullptr;
    BYTE* pixels = bitsBlock ? static_cast<BYTE*>(LocalLock(bitsBlock)) : nullptr;
    if (header && pixels) {
        header->biSize = sizeof(BITMAPINFOHEADER);
        header->biWidth = static_cast<LONG>(shownWidth);
        header->biHeight = static_cast<LONG>(shownHeight);
        header->biPlanes = 1;
        header->biBitCount = 24;
        header->biCompression = BI_RGB;
        header->biSizeImage = static_cast<DWORD>(size);
        memset(pixels, 255, static_cast<size_t>(size));
        result = DecodeInto(factory.p, frame.p, width, height, orientation, convert ? &table : nullptr, pixels,
                            static_cast<UINT>(stride), progress, data);
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
