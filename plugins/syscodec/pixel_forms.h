// The forms a decoded pixel takes on its way out of ifsyscodec: B,G,R,A with
// straight or premultiplied alpha, and B,G,R composed over white.
#pragma once

#include <windows.h>

// Premultiplied B,G,R,A pixels over white, as 24-bit B,G,R.
void ComposeOverWhite(const BYTE* bgra, UINT width, BYTE* out);

// Straight B,G,R,A to premultiplied, in place, and back.
void Premultiply(BYTE* bgra, UINT width);
void Unpremultiply(BYTE* bgra, UINT width);
