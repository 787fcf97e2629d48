// Resource ids of ifsyscodec.spi.
#pragma once

#define IDD_CODEC_SETTINGS 201
#define IDC_APPLY_ORIENTATION 2001
#define IDC_USE_COLOR_PROFILE 2002
