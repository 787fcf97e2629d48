// ifsyscodec's own settings, kept per user in the registry.
#pragma once

struct CodecSettings {
    bool applyOrientation;  // show photos upright as their Exif orientation says
    bool useColorProfile;   // convert photos with an embedded profile to sRGB
};

// The user's settings; the defaults where none are stored or what is stored
// is not of the expected kind. Read on each decoding call, never at load.
CodecSettings ReadCodecSettings();
bool WriteCodecSettings(const CodecSettings& settings);
