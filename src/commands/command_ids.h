// Context-menu command ids; the view-mode ids double as the ViewMode values
// kept in the chip and in the saved settings.
#pragma once

enum CommandId {
    IDM_ZOOM25 = 10000,
    IDM_ZOOM50 = 10001,
    IDM_ZOOM100 = 10002,
    IDM_ZOOM200 = 10003,
    IDM_ZOOM400 = 10004,
    IDM_FIT = 10005,
    IDM_FIT_ASPECT = 10006,
    IDM_CHANGE_IMAGE = 10007,
    IDM_SLIDESHOW = 10008,
    IDM_SLIDESHOW_SETTINGS = 10009,
};
