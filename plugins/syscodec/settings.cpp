#include "settings.h"

#include <windows.h>

static const char kSettingsKey[] = "Software\\Ovilune\\ifsyscodec";
static const char kApplyOrientation[] = "ApplyOrientation";

CodecSettings ReadCodecSettings()
{
    CodecSettings settings = {true};
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return settings;
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExA(key, kApplyOrientation, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size)
            == ERROR_SUCCESS
        && type == REG_DWORD && size == sizeof(value))
        settings.applyOrientation = value != 0;
    RegCloseKey(key);
    return settings;
}

bool WriteCodecSettings(const CodecSettings& settings)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return false;
    DWORD value = settings.applyOrientation ? 1 : 0;
    bool written = RegSetValueExA(key, kApplyOrientation, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                  sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}
