#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // jpeglib.h's `boolean` must not meet rpcndr.h's
#endif
#include "jpeg_files.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "hostkit.h"
#include "common/image_io.h"

bool WriteProgressiveCopy(const std::string& baseline, const std::string& out)
{
    std::string bytes = ReadFileBytes(baseline);
    if (bytes.size() < 4)
        return false;
    jpeg_decompress_struct source;
    jpeg_compress_struct copy;
    jpeg_error_mgr sourceErrors, copyErrors;
    source.err = jpeg_std_error(&sourceErrors);
    copy.err = jpeg_std_error(&copyErrors);
    jpeg_create_decompress(&source);
    jpeg_create_compress(&copy);
    jpeg_mem_src(&source, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&source, TRUE);
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&source);
    unsigned char* written = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&copy, &written, &size);
    jpeg_copy_critical_parameters(&source, &copy);
    jpeg_simple_progression(&copy);
    jpeg_write_coefficients(&copy, coefficients);
    jpeg_finish_compress(&copy);
    jpeg_finish_decompress(&source);
    bool saved = WriteFileBytes(out, written, size);
    jpeg_destroy_compress(&copy);
    jpeg_destroy_decompress(&source);
    free(written);
    return saved;
}

bool WriteSampleJpeg(const std::string& path, int width, int height, int quality)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* written = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &written, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<BYTE> row(static_cast<size_t>(width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < width; x++)
            SamplePixel(4, x, static_cast<int>(cinfo.next_scanline), width, height, &row[static_cast<size_t>(x) * 3]);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    bool saved = WriteFileBytes(path, written, size);
    jpeg_destroy_compress(&cinfo);
    free(written);
    return saved;
}
