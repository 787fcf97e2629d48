// Pictures in and out through the platform's imaging component: the host
// writes its renderings as PNG and makes sample pictures, never with an
// encoder of its own.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Encodes width x height pixels, top row first with rows `stride` bytes
// apart, as 24-bit B,G,R (bytesPerPixel 3) or 32-bit B,G,R,A (4), into a
// file of the container format given (GUID_ContainerFormatPng, ...). False
// with *error (when given) set on failure.
bool EncodePixels(const std::string& path, const GUID& container, int width, int height, const BYTE* pixels,
                  UINT stride, int bytesPerPixel, std::string* error);

// Decodes a picture file's first frame to 32-bit B,G,R,A, top row first.
// False, with nothing in *bgra and a 0 x 0 size, when it cannot.
bool DecodePixels(const std::string& path, std::vector<BYTE>* bgra, int* width, int* height);

// Writes the bitmap as a PNG file. False with *error set on failure.
bool SaveBitmapPng(HBITMAP bitmap, const std::string& path, std::string* error);

// Pixel (x, y) of a width x height generated picture, as B,G,R.
void SamplePixel(int pattern, int x, int y, int width, int height, BYTE* bgr);

// Writes a generated picture in the format its extension names (.bmp, .png,
// .jpg, .gif, .tif). `pattern` picks one of a few recognisable designs;
// 4 is photo-like, with fine grain that compresses as a photograph does.
bool WriteSamplePicture(const std::string& path, int width, int height, int pattern,
                        std::string* error);
