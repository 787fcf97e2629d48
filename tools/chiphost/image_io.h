// Pictures in and out through the platform's imaging component: the host
// writes its renderings as PNG and makes sample pictures, never with an
// encoder of its own.
#pragma once

#include <windows.h>

#include <string>

// Writes the bitmap as a PNG file. False with *error set on failure.
bool SaveBitmapPng(HBITMAP bitmap, const std::string& path, std::string* error);

// Writes a generated picture in the format its extension names (.bmp, .png,
// .jpg, .gif, .tif). `pattern` picks one of a few recognisable designs;
// 4 is photo-like, with fine grain that compresses as a photograph does.
bool WriteSamplePicture(const std::string& path, int width, int height, int pattern,
                        std::string* error);
