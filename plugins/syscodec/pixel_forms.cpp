#include "pixel_forms.h"

void ComposeOverWhite(const BYTE* bgra, UINT width, BYTE* out)
{
    for (UINT x = 0; x < width; x++, bgra += 4, out += 3) {
        BYTE under = static_cast<BYTE>(255 - bgra[3]);  // white behind what is transparent
        out[0] = static_cast<BYTE>(bgra[0] + under);
        out[1] = static_cast<BYTE>(bgra[1] + under);
        out[2] = static_cast<BYTE>(bgra[2] + under);
    }
}

void Premultiply(BYTE* bgra, UINT width)
{
    for (UINT x = 0; x < width; x++, bgra += 4)
        for (int c = 0; c < 3; c++)
            bgra[c] = static_cast<BYTE>((bgra[c] * bgra[3] + 127) / 255);
}

void Unpremultiply(BYTE* bgra, UINT width)
{
    for (UINT x = 0; x < width; x++, bgra += 4) {
        unsigned alpha = bgra[3];
        for (int c = 0; c < 3; c++) {
            unsigned value = alpha ? (bgra[c] * 255 + alpha / 2) / alpha : 0;
            bgra[c] = static_cast<BYTE>(value > 255 ? 255 : value);
        }
    }
}
