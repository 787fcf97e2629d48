#include "jpeg_decode.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "dib_out.h"
#include "header_facts.h"
#include "common/reduce.h"

// A file is read this much at a time.
static const DWORD kReadBytes = 64 << 10;
// Rows between two reports to the progress callback.
static const JDIMENSION kProgressRows = 64;
// Rows decoded for the reduction are gathered in a band of about this size.
static const size_t kBandBytes = 1 << 20;
// Where the data ends early, the rest shows this grey, as browsers show it.
static const BYTE kMissingGrey = 128;

// --- the source: a file from an offset, or memory ------------------------------

struct Source {
    jpeg_source_mgr pub;
    HANDLE file;     // INVALID_HANDLE_VALUE for a picture in memory
    JOCTET* buffer;  // kReadBytes, for a file
    bool ended;      // the data ran out, and an end marker was made up
};

static const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

static void StartSource(j_decompress_ptr) {}
static void EndSource(j_decompress_ptr) {}

// What is missing past the end reads as the end of the picture, so the
// decoder finishes with what it has (libjpeg's own file source does the
// same); `ended` tells which rows that left unfilled.
static boolean FillSource(j_decompress_ptr cinfo)
{
    Source* source = reinterpret_cast<Source*>(cinfo->src);
    DWORD read = 0;
    if (source->file != INVALID_HANDLE_VALUE && ReadFile(source->file, source->buffer, kReadBytes, &read, nullptr)
        && read > 0) {
        source->pub.next_input_byte = source->buffer;
        source->pub.bytes_in_buffer = read;
        return TRUE;
    }
    if (!source->ended)
        WARNMS(cinfo, JWRN_JPEG_EOF);
    source->ended = true;
    source->pub.next_input_byte = kEndOfImage;
    source->pub.bytes_in_buffer = sizeof(kEndOfImage);
    return TRUE;
}

static void SkipSource(j_decompress_ptr cinfo, long count)
{
    Source* source = reinterpret_cast<Source*>(cinfo->src);
    if (count <= 0)
        return;
    if (static_cast<size_t>(count) <= source->pub.bytes_in_buffer) {
        source->pub.next_input_byte += count;
        source->pub.bytes_in_buffer -= static_cast<size_t>(count);
        return;
    }
    // A long segment in a file is passed over without being read; in
    // memory, or past a file's end, the next fill finds the end.
    LARGE_INTEGER skip;
    skip.QuadPart = count - static_cast<long long>(source->pub.bytes_in_buffer);
    source->pub.bytes_in_buffer = 0;
    if (source->file != INVALID_HANDLE_VALUE)
        SetFilePointerEx(source->file, skip, nullptr, FILE_CURRENT);
}

static void CloseSource(Source* source)
{
    if (source->file != INVALID_HANDLE_VALUE)
        CloseHandle(source->file);
    if (source->buffer)
        HeapFree(GetProcessHeap(), 0, source->buffer);
    source->file = INVALID_HANDLE_VALUE;
    source->buffer = nullptr;
}

// Opens the picture as GetPicture's arguments give it: false, with
// *result set, when it cannot be read.
static bool OpenSource(LPCSTR buffer, LONG_PTR length, unsigned flag, Source* source, int* result)
{
    memset(source, 0, sizeof(*source));
    source->file = INVALID_HANDLE_VALUE;
    source->pub.init_source = StartSource;
    source->pub.fill_input_buffer = FillSource;
    source->pub.skip_input_data = SkipSource;
    source->pub.resync_to_restart = jpeg_resync_to_restart;
    source->pub.term_source = EndSource;
    if ((flag & 7) == SPI_INPUT_MEMORY) {
        if (!buffer || length <= 0) {
            *result = SPI_BROKEN_DATA;
            return false;
        }
        source->pub.next_input_byte = reinterpret_cast<const JOCTET*>(buffer);
        source->pub.bytes_in_buffer = static_cast<size_t>(length);
        return true;
    }
    *result = SPI_FILE_READ_ERROR;
    if ((flag & 7) != SPI_INPUT_FILE || !buffer || length < 0) {
        *result = SPI_NOT_IMPLEMENTED;
        return false;
    }
    source->file = CreateFileA(buffer, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (source->file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER offset;
    offset.QuadPart = length;
    source->buffer = static_cast<JOCTET*>(HeapAlloc(GetProcessHeap(), 0, kReadBytes));
    if (!source->buffer || !SetFilePointerEx(source->file, offset, nullptr, FILE_BEGIN)) {
        *result = source->buffer ? SPI_FILE_READ_ERROR : SPI_NO_MEMORY;
        CloseSource(source);
        return false;
    }
    return true;
}


// --- one decoding call -------------------------------------------------------

static const JDIMENSION kNoRow = ~static_cast<JDIMENSION>(0);
// Rows read at once: libjpeg recommends at most 4.
static const int kMostRowsAtOnce = 16;

// Everything one call holds, in one plain record. The decoder's error exit
// jumps back into DecodeInto; what was acquired before the jump is found
// here and released by its caller. No object with a destructor lives
// between the jump and its landing.
struct Job {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errors;
    jpeg_progress_mgr monitor;
    jmp_buf failed;
    int failure;  // the result a jump stands for
    Source source;
    const DecodeRequest* request;
    JpegHeader* header;  // only the header is wanted
    bool started;        // the decoder has begun to decode
    bool multiScan;      // the whole input is read before the first row
    JDIMENSION greyFrom;  // rows from here on were decoded after the data ended
    DibBlocks blocks;     // blocks.bits once allocated
    BYTE* scratch;        // decoded rows before they are converted or placed
    BYTE* band;           // rows gathered for the reduction
    BYTE* reduced;        // the reduced picture as stored, before it is turned
    ConversionPipe* pipe;  // colours converted beside the decode, while it lasts
};

// What a libjpeg error means for the caller. Kinds it does not read go to
// the platform's decoder while nothing has been decoded yet.
static int ResultOf(int code, bool started)
{
    switch (code) {
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE:  // past kJpegMemoryLimit
        return SPI_NO_MEMORY;
    case JERR_SOF_UNSUPPORTED:
    case JERR_UNKNOWN_MARKER:
    case JERR_BAD_PRECISION:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_NOT_COMPILED:
    case JERR_NOTIMPL:
        return started ? SPI_BROKEN_DATA : kJpegToPlatform;
    default:
        return SPI_BROKEN_DATA;
    }
}

static void Fail(j_common_ptr cinfo)
{
    Job* job = static_cast<Job*>(cinfo->client_data);
    job->failure = ResultOf(cinfo->err->msg_code, job->started);
    longjmp(job->failed, 1);
}

static void Quiet(j_common_ptr) {}

static void Watch(j_common_ptr cinfo)
{
    Job* job = static_cast<Job*>(cinfo->client_data);
    if (job->cinfo.input_scan_number > kJpegMostScans) {
        job->failure = SPI_BROKEN_DATA;
        longjmp(job->failed, 1);
    }
}

static BYTE* Allocate(size_t bytes)
{
    return static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, bytes));
}

static void Release(BYTE** memory)
{
    if (*memory)
        HeapFree(GetProcessHeap(), 0, *memory);
    *memory = nullptr;
}

// Reads up to `count` rows, noting where rows begin to be made of what the
// data no longer held. Of a picture decoded scan after scan, the missing
// parts are already plain.
static JDIMENSION ReadRows(Job* job, JSAMPROW* rows, JDIMENSION count)
{
    JDIMENSION first = job->cinfo.output_scanline;
    JDIMENSION read = jpeg_read_scanlines(&job->cinfo, rows, count);
    if (job->source.ended && job->greyFrom == kNoRow && !job->multiScan)
        job->greyFrom = first;
    return read;
}

// CMYK as the imaging component converts it: an Adobe marker means the
// stored values are inverted, as Adobe's programs write them.
static void CmykToBgr(const BYTE* cmyk, UINT width, bool inverted, BYTE* bgr)
{
    BYTE flip = inverted ? 255 : 0;
    for (UINT x = 0; x < width; x++, cmyk += 4, bgr += 3) {
        unsigned c = cmyk[0] ^ flip, m = cmyk[1] ^ flip, y = cmyk[2] ^ flip, k = cmyk[3] ^ flip;
        bgr[0] = static_cast<BYTE>((255 - y) * (255 - k) / 255);
        bgr[1] = static_cast<BYTE>((255 - m) * (255 - k) / 255);
        bgr[2] = static_cast<BYTE>((255 - c) * (255 - k) / 255);
    }
}

// Decoded row y as B,G,R: in place, or for CMYK converted into `bgr`; grey
// where the data had ended.
static BYTE* AsBgr(Job* job, BYTE* decoded, JDIMENSION y, BYTE* bgr)
{
    UINT width = job->cinfo.output_width;
    if (job->cinfo.out_color_space == JCS_CMYK)
        CmykToBgr(decoded, width, job->cinfo.saw_Adobe_marker != 0, bgr);
    else
        bgr = decoded;
    if (y >= job->greyFrom)
        memset(bgr, kMissingGrey, static_cast<size_t>(width) * 3);
    return bgr;
}

static bool Stopped(const DecodeRequest& request, int done, int total)
{
    return request.progress && request.progress(done, total, request.data);
}

// The whole picture, straight into the blocks handed over: upright rows of
// B,G,R are decoded where they go, others through one row group.
static int DecodeWhole(Job* job)
{
    const DecodeRequest& request = *job->request;
    jpeg_decompress_struct* cinfo = &job->cinfo;
    UINT width = cinfo->output_width, height = cinfo->output_height;
    bool turned = request.orientation >= 5;
    UINT shownHeight = turned ? width : height;
    if (!AllocateDib(turned ? height : width, shownHeight, false, &job->blocks))
        return SPI_NO_MEMORY;
    ShownRows target = RowsOf(job->blocks, shownHeight);
    bool direct = request.orientation == 1 && cinfo->out_color_space == JCS_EXT_BGR;
    int group = cinfo->rec_outbuf_height < kMostRowsAtOnce ? cinfo->rec_outbuf_height : kMostRowsAtOnce;
    size_t decodedRow = static_cast<size_t>(width) * cinfo->output_components;
    if (!direct && !(job->scratch = Allocate(decodedRow * group + static_cast<size_t>(width) * 3)))
        return SPI_NO_MEMORY;
    BYTE* bgr = job->scratch ? job->scratch + decodedRow * group : nullptr;  // a CMYK row converted
    // Upright rows have their colours converted on a second processor while
    // the next ones are decoded: the conversion costs about what the decode
    // does.
    if (direct && request.table)
        job->pipe = StartConversion(request.table, RowAt(target, 0), target.step, width, height);
    for (JDIMENSION report = 0; cinfo->output_scanline < height;) {
        JDIMENSION y = cinfo->output_scanline;
        if (y >= report) {
            if (Stopped(request, static_cast<int>(y), static_cast<int>(height)))
                return SPI_ABORTED;
            report = y + kProgressRows;
        }
        JSAMPROW rows[kMostRowsAtOnce];
        JDIMENSION count = height - y < static_cast<JDIMENSION>(group) ? height - y : group;
        for (JDIMENSION i = 0; i < count; i++)
            rows[i] = direct ? RowAt(target, y + i) : job->scratch + decodedRow * i;
        JDIMENSION read = ReadRows(job, rows, count);
        if (read == 0)
            return SPI_BROKEN_DATA;
        for (JDIMENSION i = 0; i < read; i++) {
            BYTE* row = AsBgr(job, rows[i], y + i, bgr);
            if (request.table && !job->pipe)
                ConvertRow(*request.table, row, width);
            if (!direct)
                PlaceStored(request.orientation, 0, width, y + i, width, height, target, row);
        }
        // Handed over once final: rows made after the data ended were greyed.
        if (job->pipe)
            RowsReady(job->pipe, y + read);
    }
    if (job->pipe) {
        FinishConversion(job->pipe, true);
        job->pipe = nullptr;
    }
    return Stopped(request, static_cast<int>(height), static_cast<int>(height)) ? SPI_ABORTED : SPI_SUCCESS;
}

// The picture area-averaged to storedWidth x storedHeight as stored (the
// shown size, turned back where the picture shows turned), from the scaled
// decode's rows as they come, band by band; then turned upright, and its
// colours converted, at the small size.
static int DecodeReduced(Job* job, UINT storedWidth, UINT storedHeight)
{
    const DecodeRequest& request = *job->request;
    jpeg_decompress_struct* cinfo = &job->cinfo;
    int width = static_cast<int>(cinfo->output_width), height = static_cast<int>(cinfo->output_height);
    int outWidth = static_cast<int>(storedWidth), outHeight = static_cast<int>(storedHeight);
    if (outWidth > width || outHeight > height)
        return SPI_INTERNAL_ERROR;
    bool turned = request.orientation >= 5;
    UINT shownWidth = turned ? storedHeight : storedWidth, shownHeight = turned ? storedWidth : storedHeight;
    size_t bandStride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    // Room for at least the rows any one output row covers.
    size_t capacity = kBandBytes / bandStride;
    size_t most = static_cast<size_t>(height / outHeight) + 2;
    if (capacity < most)
        capacity = most;
    if (capacity > static_cast<size_t>(height))
        capacity = static_cast<size_t>(height);
    int group = cinfo->rec_outbuf_height < kMostRowsAtOnce ? cinfo->rec_outbuf_height : kMostRowsAtOnce;
    size_t decodedRow = static_cast<size_t>(width) * cinfo->output_components;
    size_t reducedStride = (static_cast<size_t>(outWidth) * 3 + 3) & ~static_cast<size_t>(3);
    if (static_cast<unsigned long long>(bandStride) * capacity > 0x7FFFFFFFULL
        || !AllocateDib(shownWidth, shownHeight, false, &job->blocks) || !(job->band = Allocate(bandStride * capacity))
        || (cinfo->out_color_space == JCS_CMYK && !(job->scratch = Allocate(decodedRow * group)))
        || (request.orientation != 1 && !(job->reduced = Allocate(reducedStride * outHeight))))
        return SPI_NO_MEMORY;
    ShownRows shown = RowsOf(job->blocks, shownHeight);
    // Upright pictures are reduced into the blocks, others into a stored copy.
    BYTE* outTop = job->reduced ? job->reduced : shown.base;
    ptrdiff_t outStep = job->reduced ? static_cast<ptrdiff_t>(reducedStride) : shown.step;

    int bandFirst = 0, bandRows = 0;  // source rows bandFirst .. bandFirst + bandRows - 1 are in the band
    for (int y0 = 0, y1 = 0; y0 < outHeight; y0 = y1) {
        if (Stopped(request, y0, outHeight))
            return SPI_ABORTED;
        // As many output rows as the band has room for, at least one.
        int first = 0, last = 0;
        SourceRowsOf(height, outHeight, y0, y0 + 1, &first, &last);
        for (y1 = y0 + 1; y1 < outHeight; y1++) {
            int nextFirst, nextLast;
            SourceRowsOf(height, outHeight, y0, y1 + 1, &nextFirst, &nextLast);
            if (static_cast<size_t>(nextLast - first) > capacity)
                break;
            last = nextLast;
        }
        // Rows already read that these output rows share with the last ones
        // move to the band's start.
        int keep = bandFirst + bandRows - first;
        if (keep < 0 || static_cast<JDIMENSION>(bandFirst + bandRows) != cinfo->output_scanline)
            return SPI_INTERNAL_ERROR;
        memmove(job->band, job->band + bandStride * (first - bandFirst), bandStride * keep);
        bandFirst = first;
        bandRows = keep;
        while (bandFirst + bandRows < last) {
            JSAMPROW rows[kMostRowsAtOnce];
            int wanted = last - bandFirst - bandRows < group ? last - bandFirst - bandRows : group;
            for (int i = 0; i < wanted; i++) {
                BYTE* into = job->band + bandStride * (bandRows + i);
                rows[i] = job->scratch ? job->scratch + decodedRow * i : into;
            }
            JDIMENSION y = cinfo->output_scanline;
            JDIMENSION read = ReadRows(job, rows, static_cast<JDIMENSION>(wanted));
            if (read == 0)
                return SPI_BROKEN_DATA;
            for (JDIMENSION i = 0; i < read; i++)
                AsBgr(job, rows[i], y + i, job->band + bandStride * (bandRows + i));
            bandRows += static_cast<int>(read);
        }
        PixelRows rows = {job->band, static_cast<ptrdiff_t>(bandStride), width, height, 3, bandFirst};
        if (!ReduceAreaRows(rows, outWidth, outHeight, outWidth, y0, y1, outTop, outStep, 3))
            return SPI_NO_MEMORY;
    }
    if (job->reduced)
        for (int y = 0; y < outHeight; y++)
            PlaceStored(request.orientation, 0, storedWidth, static_cast<UINT>(y), storedWidth, storedHeight, shown,
                        job->reduced + reducedStride * y);
    if (request.table)
        for (UINT y = 0; y < shownHeight; y++)
            ConvertRow(*request.table, RowAt(shown, y), shownWidth);
    return Stopped(request, outHeight, outHeight) ? SPI_ABORTED : SPI_SUCCESS;
}

// The smallest scale M/8 whose output is at least the size asked for both
// ways, as libjpeg rounds it (up).
static unsigned ScaleFor(UINT width, UINT height, UINT wantedWidth, UINT wantedHeight)
{
    for (unsigned m = 1; m < 8; m++)
        if ((static_cast<unsigned long long>(width) * m + 7) / 8 >= wantedWidth
            && (static_cast<unsigned long long>(height) * m + 7) / 8 >= wantedHeight)
            return m;
    return 8;
}

// The one function that lands the decoder's error exit; everything it
// calls is plain.
static int DecodeInto(Job* job)
{
    jpeg_decompress_struct* cinfo = &job->cinfo;
    if (setjmp(job->failed))
        return job->failure;
    jpeg_create_decompress(cinfo);
    cinfo->mem->max_memory_to_use = kJpegMemoryLimit;
    cinfo->src = &job->source.pub;
    cinfo->progress = &job->monitor;
    jpeg_read_header(cinfo, TRUE);
    if (static_cast<unsigned long long>(cinfo->image_width) * cinfo->image_height > kMaxPixels)
        return SPI_NO_MEMORY;
    switch (cinfo->jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB:
        cinfo->out_color_space = JCS_EXT_BGR;
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        cinfo->out_color_space = JCS_CMYK;
        break;
    default:
        return kJpegToPlatform;
    }
    if (job->header) {
        JpegHeader* header = job->header;
        header->width = cinfo->image_width;
        header->height = cinfo->image_height;
        double scale = cinfo->density_unit == 2 ? 2.54 : 1.0;  // dots per centimetre
        bool known = cinfo->density_unit == 1 || cinfo->density_unit == 2;
        header->dpiX = known ? cinfo->X_density * scale : 96.0;
        header->dpiY = known ? cinfo->Y_density * scale : 96.0;
        return SPI_SUCCESS;
    }

    const DecodeRequest& request = *job->request;
    bool turned = request.orientation >= 5;
    long shownWidth = static_cast<long>(turned ? cinfo->image_height : cinfo->image_width);
    long shownHeight = static_cast<long>(turned ? cinfo->image_width : cinfo->image_height);
    long width = shownWidth, height = shownHeight;
    if (request.sizeFor)
        request.sizeFor(shownWidth, shownHeight, &width, &height, request.context);
    bool whole = width >= shownWidth && height >= shownHeight;
    if (!whole && (width <= 0 || height <= 0 || width > shownWidth || height > shownHeight))
        return SPI_NOT_IMPLEMENTED;
    UINT storedWidth = static_cast<UINT>(turned ? height : width), storedHeight = static_cast<UINT>(turned ? width : height);
    cinfo->scale_num = whole ? 8 : ScaleFor(cinfo->image_width, cinfo->image_height, storedWidth, storedHeight);
    cinfo->scale_denom = 8;
    job->multiScan = jpeg_has_multiple_scans(cinfo) != FALSE;
    jpeg_start_decompress(cinfo);
    job->started = true;
    return whole ? DecodeWhole(job) : DecodeReduced(job, storedWidth, storedHeight);
}

// Sets up the record, decodes, and gives back everything but the blocks.
static int Run(Job* job)
{
    job->cinfo.err = jpeg_std_error(&job->errors);
    job->errors.error_exit = Fail;
    job->errors.output_message = Quiet;  // warnings are counted, never printed
    job->monitor.progress_monitor = Watch;
    job->cinfo.client_data = job;
    job->greyFrom = kNoRow;
    int result = DecodeInto(job);
    // A decode that failed or jumped out leaves the worker's rows alone
    // before they go.
    if (job->pipe) {
        FinishConversion(job->pipe, false);
        job->pipe = nullptr;
    }
    jpeg_destroy_decompress(&job->cinfo);
    Release(&job->scratch);
    Release(&job->band);
    Release(&job->reduced);
    return result;
}

int DecodeJpeg(const DecodeRequest& request, HLOCAL* info, HLOCAL* bits)
{
    Job job;
    memset(&job, 0, sizeof(job));
    int result;
    if (!OpenSource(request.buffer, request.length, request.flag, &job.source, &result))
        return result;
    job.request = &request;
    result = Run(&job);
    CloseSource(&job.source);
    if (job.blocks.bits)
        result = HandOver(&job.blocks, result, info, bits);
    return result;
}

int ReadJpegHeader(LPCSTR buffer, LONG_PTR length, unsigned flag, JpegHeader* header)
{
    Job job;
    memset(&job, 0, sizeof(job));
    int result;
    if (!OpenSource(buffer, length, flag, &job.source, &result))
        return result;
    job.header = header;
    result = Run(&job);
    CloseSource(&job.source);
    return result;
}
