#include "session.h"

#include <cstring>

void SetClientSize(HWND window, int width, int height)
{
    RECT rect = {0, 0, width > 0 ? width : 1, height > 0 ? height : 1};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE)));
    SetWindowPos(window, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static const void* BlockFor(ChipSession* session)
{
    // The library reads a block whenever it is given a text; a host that has
    // none hands it an empty one (payload size 0).
    if (session->block.size() < 28)
        session->block.resize(28, 0);
    return session->block.data();
}

bool StartChip(ChipSession* session, int keepPicture)
{
    ChipUpdateInfo info = MakeChipUpdateInfo(session->text.c_str(), session->background,
                                             keepPicture, BlockFor(session));
    session->chip = nullptr;
    session->api->InitializeChip(&session->chip, session->window, info.bytes);
    return session->chip != nullptr;
}

void UpdateChip(ChipSession* session, int keepPicture)
{
    ChipUpdateInfo info = MakeChipUpdateInfo(session->text.c_str(), session->background,
                                             keepPicture, BlockFor(session));
    session->api->Update(session->chip, session->window, info.bytes);
}

void ActOnResult(ChipSession* session, int result)
{
    if (result == 3) {
        int size[2] = {0, 0};
        session->api->CalcDefaultRect(session->chip, session->window, size, session->text.c_str());
        SetClientSize(session->window, size[0], size[1]);
        session->api->Resize(session->chip, session->window);
    }
    if (result == 3 || result == 1)
        InvalidateRect(session->window, nullptr, FALSE);
}

std::vector<BYTE> SaveSettings(ChipSession* session)
{
    std::vector<BYTE> saved;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4);
    if (!block)
        return saved;
    session->api->GetSaveData(session->chip, nullptr, &block);
    // The library may have replaced the block: the handle it left is ours.
    SIZE_T size = GlobalSize(block);
    const BYTE* bytes = static_cast<const BYTE*>(GlobalLock(block));
    if (bytes) {
        saved.assign(bytes, bytes + size);
        GlobalUnlock(block);
    }
    GlobalFree(block);
    return saved;
}

int SavedViewMode(const std::vector<BYTE>& block)
{
    int payload = 0, mode = 0;
    if (block.size() >= 8) {
        memcpy(&payload, block.data(), 4);
        memcpy(&mode, block.data() + 4, 4);
    }
    return payload == 20 || payload == 4 ? mode : 0;
}

std::vector<std::string> TextLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == '\r' || text[i] == '\n'))
            i++;
        size_t start = i;
        while (i < text.size() && text[i] != '\r' && text[i] != '\n' && text[i] != '\0')
            i++;
        if (i > start)
            lines.push_back(text.substr(start, i - start));
        if (i < text.size() && text[i] == '\0')
            break;
    }
    return lines;
}
