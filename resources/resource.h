// Resource ids shared by ovilune.rc and the code.
#pragma once

// Dialog templates
#define IDD_ABOUT       101
#define IDD_SLIDESHOW   103

// Slideshow settings controls
#define IDC_UNIT        1001
#define IDC_INTERVAL    1002
#define IDC_SPIN        1003
#define IDC_RANDOM      1006

#define IDC_STATIC      (-1)

// Context-menu commands; the view-mode ids double as the view mode kept in
// the chip and in its saved settings.
#define IDM_ZOOM25              10000
#define IDM_ZOOM50              10001
#define IDM_ZOOM100             10002
#define IDM_ZOOM200             10003
#define IDM_ZOOM400             10004
#define IDM_FIT                 10005
#define IDM_FIT_ASPECT          10006
#define IDM_CHANGE_IMAGE        10007
#define IDM_SLIDESHOW           10008
#define IDM_SLIDESHOW_SETTINGS  10009
