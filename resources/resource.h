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
