#include "common/dxl_api.h"

#include <cstring>

template <typename F>
static bool Find(HMODULE module, const char* name, F* out, std::string* error)
{
    *out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!*out && error && error->empty())
        *error = std::string("the library lacks the export ") + name;
    return *out != nullptr;
}

bool LoadDxlApi(DxlApi* api, const std::string& path, std::string* error)
{
    memset(api, 0, sizeof(*api));
    HMODULE m = LoadLibraryA(path.c_str());
    if (!m) {
        if (error) {
            char code[16];
            wsprintfA(code, "%lu", GetLastError());
            *error = "cannot load " + path + " (error " + code + ")";
        }
        return false;
    }
    api->module = m;
    bool all = true;
    all &= Find(m, "DrawExSpecification", &api->DrawExSpecification, error);
    all &= Find(m, "DrawExConfigure", &api->DrawExConfigure, error);
    all &= Find(m, "DrawExAbout", &api->DrawExAbout, error);
    all &= Find(m, "InitializeChip", &api->InitializeChip, error);
    all &= Find(m, "UnInitializeChip", &api->UnInitializeChip, error);
    all &= Find(m, "Update", &api->Update, error);
    all &= Find(m, "GetSaveData", &api->GetSaveData, error);
    all &= Find(m, "Zoom", &api->Zoom, error);
    all &= Find(m, "CalcDefaultRect", &api->CalcDefaultRect, error);
    all &= Find(m, "Resize", &api->Resize, error);
    all &= Find(m, "DrawChip", &api->DrawChip, error);
    all &= Find(m, "GetDrawExMenu", &api->GetDrawExMenu, error);
    all &= Find(m, "DoDrawExMenu", &api->DoDrawExMenu, error);
    all &= Find(m, "GetTimerSpan", &api->GetTimerSpan, error);
    all &= Find(m, "DoTimer", &api->DoTimer, error);
    all &= Find(m, "EditHelper", &api->EditHelper, error);
    all &= Find(m, "MouseClik", &api->MouseClik, error);
    all &= Find(m, "ExchangeSendString", &api->ExchangeSendString, error);
    all &= Find(m, "GetMemoString", &api->GetMemoString, error);
    if (!all)
        UnloadDxlApi(api);
    return all;
}

void UnloadDxlApi(DxlApi* api)
{
    if (api->module)
        FreeLibrary(api->module);
    memset(api, 0, sizeof(*api));
}

ChipUpdateInfo MakeChipUpdateInfo(const char* text, COLORREF background, int keepPicture,
                                  const void* savedBlock)
{
    ChipUpdateInfo info;
    // Fields the library must not read are filled with a pattern, so a
    // library that reads them shows it.
    memset(info.bytes, 0xCC, sizeof(info.bytes));
    memcpy(info.bytes + 72, &text, sizeof(text));
    memcpy(info.bytes + 80, &background, 4);
    memcpy(info.bytes + 144, &keepPicture, 4);
    memcpy(info.bytes + 148, &savedBlock, sizeof(savedBlock));
    return info;
}

ChipEditInfo MakeChipEditInfo(HGLOBAL text)
{
    ChipEditInfo info;
    memset(info.bytes, 0xEE, sizeof(info.bytes));
    memcpy(info.bytes + 8, &text, sizeof(text));
    return info;
}

HGLOBAL ChipEditText(const ChipEditInfo& info)
{
    HGLOBAL text;
    memcpy(&text, info.bytes + 8, sizeof(text));
    return text;
}

int ChipEditInt(const ChipEditInfo& info, size_t offset)
{
    int value;
    memcpy(&value, info.bytes + offset, 4);
    return value;
}
