#include "settings.h"

#include <windows.h>

static const char kSettingsKey[] = "Software\\Ovilune\\ifsyscodec";
static const char kApplyOrientation[] = "ApplyOrientation";
static const char kUseColorProfile[] = "UseColorProfile";

// A DWORD as a switch; anything else stored under the name leaves `*on` be.
static void ReadSwitch(HKEY key, const char* name, bool* on)
{
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS
        && type == REG_DWORD && size == sizeof(value))
        *on = value != 0;
}

static bool WriteSwitch(HKEY key, const char* name, bool on)
{
    DWORD value = on ? 1 : 0;
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value))
        == ERROR_SUCCESS;
}

CodecSettings ReadCodecSettings()
{
    CodecSettings settings = {true, true};
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return settings;
    ReadSwitch(key, kApplyOrientation, &settings.applyOrientation);
    ReadSwitch(key, kUseColorProfile, &settings.useColorProfile);
    RegCloseKey(key);
    return settings;
}

bool WriteCodecSettings(const CodecSettings& settings)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return false;
    bool written = WriteSwitch(key, kApplyOrientation, settings.applyOrientation);
    written = WriteSwitch(key, kUseColorProfile, settings.useColorProfile) && written;
    RegCloseKey(key);
    return written;
}
