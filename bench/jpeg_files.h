// JPEG files for the benchmarks that the platform's encoder cannot write.
#pragma once

#include <string>

// The photo-like sample picture (pattern 4 of WriteSamplePicture) as a
// baseline 4:2:0 JPEG of the given quality, written by libjpeg-turbo: the
// platform's encoder has no quality to set, and writes smaller files than
// cameras do.
bool WriteSampleJpeg(const std::string& path, int width, int height, int quality);

// A progressive copy of a baseline JPEG file, made by libjpeg-turbo's
// lossless transcoding: the same coefficients, so the same picture.
bool WriteProgressiveCopy(const std::string& baseline, const std::string& out);
