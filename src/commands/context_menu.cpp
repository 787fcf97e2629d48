#include "commands/context_menu.h"

#include "chip/texts.h"
#include "resource.h"

HMENU BuildContextMenu(const ChipState* state, bool settingsOpen)
{
    HMENU menu = CreateMenu();
    if (!menu)
        return nullptr;

    static const struct {
        int id;
        const char* text;
    } kViewItems[] = {
        {IDM_ZOOM25, "25%"},
        {IDM_ZOOM50, "50%"},
        {IDM_ZOOM100, "100%"},
        {IDM_ZOOM200, "200%"},
        {IDM_ZOOM400, "400%"},
        {IDM_FIT, kTextFit},
        {IDM_FIT_ASPECT, kTextFitAspect},
    };
    for (const auto& item : kViewItems)
        AppendMenuA(menu, MF_STRING, item.id, item.text);

    if (state->imageCount > 1) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, IDM_CHANGE_IMAGE, kTextChangeImage);
        AppendMenuA(menu, MF_STRING, IDM_SLIDESHOW, kTextSlideshow);
        AppendMenuA(menu, MF_STRING, IDM_SLIDESHOW_SETTINGS, kTextSlideshowSettings);
    }
    if (settingsOpen)
        EnableMenuItem(menu, IDM_SLIDESHOW_SETTINGS, MF_BYCOMMAND | MF_GRAYED);

    if (state->bitmap) {
        if (state->viewMode)
            CheckMenuItem(menu, state->viewMode, MF_BYCOMMAND | MF_CHECKED);
        if (state->running)
            CheckMenuItem(menu, IDM_SLIDESHOW, MF_BYCOMMAND | MF_CHECKED);
    } else {
        for (const auto& item : kViewItems)
            EnableMenuItem(menu, item.id, MF_BYCOMMAND | MF_GRAYED);
    }
    return menu;
}
