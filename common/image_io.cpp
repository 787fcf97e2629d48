#include "common/image_io.h"

#include <wincodec.h>

#include <cstring>
#include <vector>

#include "common/files.h"

// Keeps COM initialised for the calling thread while it lives, when this
// call was the one to initialise it.
struct ComScope {
    ComScope() : initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComScope()
    {
        if (initialised)
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool initialised;
};

template <typename T>
static void Release(T*& object)
{
    if (object)
        object->Release();
    object = nullptr;
}

static GUID ContainerFor(const std::string& path)
{
    size_t dot = path.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : ext)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (ext == "bmp")
        return GUID_ContainerFormatBmp;
    if (ext == "jpg" || ext == "jpeg")
        return GUID_ContainerFormatJpeg;
    if (ext == "gif")
        return GUID_ContainerFormatGif;
    if (ext == "tif" || ext == "tiff")
        return GUID_ContainerFormatTiff;
    return GUID_ContainerFormatPng;
}

bool EncodePixels(const std::string& path, const GUID& container, int width, int height, const BYTE* pixels,
                  UINT stride, int bytesPerPixel, std::string* error)
{
    ComScope com;
    IWICImagingFactory* factory = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    IWICBitmap* source = nullptr;
    const char* step = "create the imaging factory";
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr)) {
        step = "open the output file";
        hr = factory->CreateStream(&stream);
        if (SUCCEEDED(hr))
            hr = stream->InitializeFromFilename(WideFromAnsi(path).c_str(), GENERIC_WRITE);
    }
    if (SUCCEEDED(hr)) {
        step = "create the encoder";
        hr = factory->CreateEncoder(container, nullptr, &encoder);
        if (SUCCEEDED(hr))
            hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    }
    if (SUCCEEDED(hr)) {
        step = "encode the picture";
        // Given as a bitmap, the pixels are converted by the encoder to a
        // form it takes (JPEG has no alpha, GIF wants a palette).
        hr = factory->CreateBitmapFromMemory(width, height,
                                             bytesPerPixel == 4 ? GUID_WICPixelFormat32bppBGRA
                                                                : GUID_WICPixelFormat24bppBGR,
                                             stride, stride * height, const_cast<BYTE*>(pixels), &source);
        if (SUCCEEDED(hr))
            hr = encoder->CreateNewFrame(&frame, nullptr);
        if (SUCCEEDED(hr))
            hr = frame->Initialize(nullptr);
        if (SUCCEEDED(hr))
            hr = frame->SetSize(width, height);
        if (SUCCEEDED(hr))
            hr = frame->WriteSource(source, nullptr);
        if (SUCCEEDED(hr))
            hr = frame->Commit();
        if (SUCCEEDED(hr))
            hr = encoder->Commit();
    }
    Release(source);
    Release(frame);
    Release(encoder);
    Release(stream);
    Release(factory);
    if (FAILED(hr) && error) {
        char code[16];
        wsprintfA(code, "%08lx", static_cast<unsigned long>(hr));
        *error = std::string("cannot ") + step + " for " + path + " (" + code + ")";
    }
    return SUCCEEDED(hr);
}

bool DecodePixels(const std::string& path, std::vector<BYTE>* bgra, int* width, int* height)
{
    ComScope com;
    IWICImagingFactory* factory = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICFormatConverter* converter = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr))
        hr = factory->CreateDecoderFromFilename(WideFromAnsi(path).c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand, &decoder);
    if (SUCCEEDED(hr))
        hr = decoder->GetFrame(0, &frame);
    if (SUCCEEDED(hr))
        hr = factory->CreateFormatConverter(&converter);
    if (SUCCEEDED(hr))
        hr = converter->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0,
                                   WICBitmapPaletteTypeCustom);
    UINT w = 0, h = 0;
    if (SUCCEEDED(hr))
        hr = converter->GetSize(&w, &h);
    if (SUCCEEDED(hr)) {
        bgra->resize(static_cast<size_t>(w) * h * 4);
        hr = converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(bgra->size()), bgra->data());
    }
    *width = SUCCEEDED(hr) ? static_cast<int>(w) : 0;
    *height = SUCCEEDED(hr) ? static_cast<int>(h) : 0;
    if (FAILED(hr))
        bgra->clear();
    Release(converter);
    Release(frame);
    Release(decoder);
    Release(factory);
    return SUCCEEDED(hr);
}

bool SaveBitmapPng(HBITMAP bitmap, const std::string& path, std::string* error)
{
    BITMAP info;
    if (!GetObjectA(bitmap, sizeof(info), &info)) {
        if (error)
            *error = "no picture to write";
        return false;
    }
    int width = info.bmWidth;
    int height = info.bmHeight < 0 ? -info.bmHeight : info.bmHeight;
    UINT stride = (static_cast<UINT>(width) * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
    BITMAPINFO header;
    memset(&header, 0, sizeof(header));
    header.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    header.bmiHeader.biWidth = width;
    header.bmiHeader.biHeight = -height;  // top row first
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = 24;
    header.bmiHeader.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    int rows = GetDIBits(screen, bitmap, 0, height, pixels.data(), &header, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (rows != height) {
        if (error)
            *error = "cannot read the rendered chip's pixels";
        return false;
    }
    return EncodePixels(path, GUID_ContainerFormatPng, width, height, pixels.data(), stride, 3, error);
}

void SamplePixel(int pattern, int x, int y, int width, int height, BYTE* bgr)
{
    int r, g, b;
    switch (pattern % 5) {
    case 0:  // a sky over hills
        r = 90 + 100 * y / height;
        g = 150 + 80 * y / height;
        b = 250 - 60 * y / height;
        if (y > height * 2 / 3 - (x * (width - x)) * height / (3 * width * width)) {
            r = 60;
            g = 140 + 60 * x / width;
            b = 60;
        }
        break;
    case 1:  // a sunset stripe
        r = 250;
        g = 120 + 120 * (height - y) / height;
        b = 40 + 160 * x / width;
        break;
    case 2:  // a check board
        r = g = b = ((x * 8 / width) + (y * 6 / height)) % 2 ? 240 : 40;
        b = 200;
        break;
    case 4: {  // photo-like: soft gradients with fine grain, which neither
               // JPEG nor PNG compresses away
        unsigned grain = static_cast<unsigned>(x) * 2654435761u ^ static_cast<unsigned>(y) * 40503u;
        grain = (grain ^ (grain >> 13)) * 1274126177u;
        int noise = static_cast<int>((grain >> 24) & 31) - 16;
        r = 120 + 100 * x / width - 40 * y / height + noise;
        g = 90 + 120 * y / height + noise;
        b = 200 - 120 * x / width + noise;
        r = r < 0 ? 0 : r > 255 ? 255 : r;
        g = g < 0 ? 0 : g > 255 ? 255 : g;
        b = b < 0 ? 0 : b > 255 ? 255 : b;
        break;
    }
    default: {  // rings
        int dx = x - width / 2, dy = y - height / 2;
        int d = dx * dx + dy * dy;
        int ring = (d / (width * 6 + 1)) % 2;
        r = ring ? 230 : 30;
        g = 80;
        b = ring ? 60 : 220;
        break;
    }
    }
    bgr[0] = static_cast<BYTE>(b);
    bgr[1] = static_cast<BYTE>(g);
    bgr[2] = static_cast<BYTE>(r);
}

bool WriteSamplePicture(const std::string& path, int width, int height, int pattern,
                        std::string* error)
{
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
        if (error)
            *error = "a sample picture needs a size of 1 to 16384 pixels a side";
        return false;
    }
    UINT stride = (static_cast<UINT>(width) * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            SamplePixel(pattern, x, y, width, height, &pixels[y * stride + x * 3]);
    return EncodePixels(path, ContainerFor(path), width, height, pixels.data(), stride, 3, error);
}
