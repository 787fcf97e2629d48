// ifsyscodec.spi against the platform decoding the same file itself, and
// Ovilune's picture change through the plug-in against that raw decode.
// Prints one line per case: median of several runs in one process.
#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "resource.h"
#include "hostkit.h"
#include "image_io.h"
#include "sources/loaders.h"
#include "sources/susie.h"
#include "surface/exports.h"

static const int kRuns = 7;


// The platform alone: decode the file into 32-bit pixels and make a bitmap
// of them, as a program using WIC directly would.
static void DecodeDirect(IWICImagingFactory* factory, const std::wstring& path)
{
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICFormatConverter* converter = nullptr;
    UINT w = 0, h = 0;
    if (SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder))
        && SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(factory->CreateFormatConverter(&converter))
        && SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone,
                                           nullptr, 0, WICBitmapPaletteTypeCustom))
        && SUCCEEDED(converter->GetSize(&w, &h))) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = static_cast<LONG>(w);
        info.bmiHeader.biHeight = -static_cast<LONG>(h);
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (bitmap) {
            converter->CopyPixels(nullptr, w * 4, w * 4 * h, static_cast<BYTE*>(bits));
            DeleteObject(bitmap);
        }
    }
    if (converter) converter->Release();
    if (frame) frame->Release();
    if (decoder) decoder->Release();
}

int main()
{
    g_hInstance = GetModuleHandleA(nullptr);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IWICImagingFactory* factory = nullptr;
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                     reinterpret_cast<void**>(&factory));

    std::string exe = DxlPath();
    std::string plugins = exe.substr(0, exe.find_last_of('\\')) + "\\plugins";
    SetEnvironmentVariableA("PATH", plugins.c_str());
    g_loaders = BuildLoaderList();
    HMODULE plugin = g_loaders && g_loaders->next ? g_loaders->next->module : nullptr;
    SusieGetPicture getPicture = plugin ? reinterpret_cast<SusieGetPicture>(
        reinterpret_cast<void*>(GetProcAddress(plugin, "GetPicture"))) : nullptr;
    if (!factory || !getPicture) {
        printf("decode bench: the platform's imaging component or ifsyscodec.spi is missing\n");
        return 1;
    }

    std::string folder = ScratchFolder("decode-bench");
    HWND window = CreateChipWindow(800, 600);
    for (const char* name : {"photo.jpg", "photo.png"}) {
        std::string path = folder + "\\" + name;
        std::string error;
        if (!WriteSamplePicture(path, 4000, 3000, 0, &error)) {
            printf("%s\n", error.c_str());
            return 1;
        }
        std::wstring wide(path.begin(), path.end());
        double direct = Median([&] { DecodeDirect(factory, wide); }, kRuns);
        double viaPlugin = Median([&] {
            HLOCAL info = nullptr, bits = nullptr;
            if (getPicture(path.c_str(), 0, SPI_INPUT_FILE, &info, &bits, nullptr, 0) == SPI_SUCCESS) {
                LocalFree(info);
                LocalFree(bits);
            }
        }, kRuns);
        printf("4000x3000 %s: plug-in %8.1f ms, WIC directly %8.1f ms, ratio %5.2f (target <= 1.10)\n",
               name + 6, viaPlugin, direct, viaPlugin / direct);

        std::string text = path + "\r\n" + path;
        HLOCAL chip = nullptr;
        UpdateRecord record = MakeUpdateRecord(text.c_str(), 0, 1, nullptr);
        InitializeChip(&chip, window, record.bytes);
        DoDrawExMenu(chip, window, IDM_FIT);
        HDC dc = GetDC(window);
        double change = Median([&] {
            DoDrawExMenu(chip, window, IDM_CHANGE_IMAGE);
            DrawChip(chip, window, dc, text.c_str());
        }, kRuns);
        ReleaseDC(window, dc);
        UnInitializeChip(chip);
        printf("  picture change in an 800x600 chip: %8.1f ms, ratio to the raw decode %5.2f\n", change,
               change / direct);
    }
    DestroyWindow(window);
    FreeLoaderList(g_loaders);
    factory->Release();
    CoUninitialize();
    RemoveTree(folder);
    return 0;
}
