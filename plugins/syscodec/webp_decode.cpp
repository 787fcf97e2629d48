#include "webp_decode.h"

#include <cstring>

#include <webp/decode.h>
#include <webp/demux.h>

#include "common/owners.h"
#include "common/reduce.h"
#include "dib_out.h"
#include "pixel_forms.h"

// The file's bytes: memory as the caller gave it, or the file read whole
// from its offset into *owned.
static int ReadBytes(const DecodeRequest& request, HeapArray<BYTE>* owned, WebPData* data)
{
    if ((request.flag & 7) == SPI_INPUT_MEMORY) {
        if (!request.buffer || request.length <= 0)
            return SPI_BROKEN_DATA;
        data->bytes = reinterpret_cast<const uint8_t*>(request.buffer);
        data->size = static_cast<size_t>(request.length);
        return SPI_SUCCESS;
    }
    if ((request.flag & 7) != SPI_INPUT_FILE || !request.buffer || request.length < 0)
        return SPI_NOT_IMPLEMENTED;
    Handle file(CreateFileA(request.buffer, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size, offset;
    offset.QuadPart = request.length;
    if (!file.Valid() || !GetFileSizeEx(file.handle, &size) || size.QuadPart < request.length
        || !SetFilePointerEx(file.handle, offset, nullptr, FILE_BEGIN))
        return SPI_FILE_READ_ERROR;
    unsigned long long bytes = static_cast<unsigned long long>(size.QuadPart - request.length);
    if (bytes > kWebpMostFileBytes || !owned->Allocate(static_cast<size_t>(bytes), false))
        return SPI_NO_MEMORY;
    for (size_t done = 0; done < bytes;) {
        size_t left = static_cast<size_t>(bytes) - done;
        DWORD read = 0;
        if (!ReadFile(file.handle, owned->items + done, left > (1u << 24) ? 1u << 24 : static_cast<DWORD>(left), &read,
                      nullptr)
            || read == 0)
            return SPI_FILE_READ_ERROR;
        done += read;
    }
    data->bytes = owned->items;
    data->size = static_cast<size_t>(bytes);
    return SPI_SUCCESS;
}

static int ResultOf(VP8StatusCode status)
{
    return status == VP8_STATUS_OK ? SPI_SUCCESS : status == VP8_STATUS_OUT_OF_MEMORY ? SPI_NO_MEMORY : SPI_BROKEN_DATA;
}

struct Demuxer {
    explicit Demuxer(const WebPData* data) : demux(WebPDemux(data)) {}
    ~Demuxer()
    {
        if (demux)
            WebPDemuxDelete(demux);
    }
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;
    WebPDemuxer* demux;
};

struct AnimationDecoder {
    AnimationDecoder(const WebPData* data, const WebPAnimDecoderOptions* options)
        : decoder(WebPAnimDecoderNew(data, options))
    {
    }
    ~AnimationDecoder()
    {
        if (decoder)
            WebPAnimDecoderDelete(decoder);
    }
    AnimationDecoder(const AnimationDecoder&) = delete;
    AnimationDecoder& operator=(const AnimationDecoder&) = delete;
    WebPAnimDecoder* decoder;
};

// What is decoded, and to what size: the picture as stored is width x
// height; it is decoded to outWidth x outHeight, which its orientation then
// shows as the size the caller holds.
struct Plan {
    const WebPData* data;
    bool animated;
    UINT width, height;
    UINT outWidth, outHeight;
};

// A still picture decoded at the planned size in `mode` into rows `stride`
// bytes apart (bottom-up with `flip`), by libwebp's own scaling.
static int DecodeStill(const Plan& plan, WEBP_CSP_MODE mode, BYTE* rows, size_t stride, bool flip)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return SPI_INTERNAL_ERROR;
    if (plan.outWidth != plan.width || plan.outHeight != plan.height) {
        config.options.use_scaling = 1;
        config.options.scaled_width = static_cast<int>(plan.outWidth);
        config.options.scaled_height = static_cast<int>(plan.outHeight);
    }
    config.options.flip = flip ? 1 : 0;
    config.output.colorspace = mode;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = rows;
    config.output.u.RGBA.stride = static_cast<int>(stride);
    config.output.u.RGBA.size = stride * plan.outHeight;
    int result = ResultOf(WebPDecode(plan.data->bytes, plan.data->size, &config));
    WebPFreeDecBuffer(&config.output);
    return result;
}

// An animation's first frame as its canvas shows it, premultiplied, at the
// planned size: the canvas is decoded whole (the frame may cover only part
// of it), then area-averaged.
static int DecodeFirstFrame(const Plan& plan, BYTE* rows)
{
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return SPI_INTERNAL_ERROR;
    options.color_mode = MODE_bgrA;
    options.use_threads = 0;
    AnimationDecoder animation(plan.data, &options);
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!animation.decoder || !WebPAnimDecoderGetNext(animation.decoder, &canvas, &timestamp) || !canvas)
        return SPI_BROKEN_DATA;
    size_t stride = static_cast<size_t>(plan.width) * 4;
    if (plan.outWidth == plan.width && plan.outHeight == plan.height) {
        memcpy(rows, canvas, stride * plan.height);
        return SPI_SUCCESS;
    }
    PixelRows source = {canvas, static_cast<ptrdiff_t>(stride), static_cast<int>(plan.width),
                        static_cast<int>(plan.height), 4, 0};
    int width = static_cast<int>(plan.outWidth), height = static_cast<int>(plan.outHeight);
    return ReduceArea(source, width, height, width, height, rows, static_cast<ptrdiff_t>(plan.outWidth) * 4, 4, true)
        ? SPI_SUCCESS
        : SPI_NO_MEMORY;
}

// Premultiplied rows at the planned size into the blocks: straight alpha
// (`bytes` 4) or composed over white (3), each pixel where `orientation`
// shows it.
static int PlaceRows(const Plan& plan, const BYTE* rows, int orientation, UINT bytes, const DibBlocks& blocks)
{
    HeapArray<BYTE> formed;
    if (!formed.Allocate(static_cast<size_t>(plan.outWidth) * 4, false))
        return SPI_NO_MEMORY;
    bool turned = orientation >= 5;
    ShownRows target = RowsOf(blocks, turned ? plan.outWidth : plan.outHeight);
    size_t stride = static_cast<size_t>(plan.outWidth) * 4;
    for (UINT y = 0; y < plan.outHeight; y++) {
        const BYTE* row = rows + stride * y;
        if (bytes == 4) {
            memcpy(formed.items, row, stride);
            Unpremultiply(formed.items, plan.outWidth);
        } else {
            ComposeOverWhite(row, plan.outWidth, formed.items);
        }
        PlaceStored(orientation, 0, plan.outWidth, y, plan.outWidth, plan.outHeight, target, formed.items, bytes);
    }
    return SPI_SUCCESS;
}

static bool Stopped(const DecodeRequest& request, int done, int total)
{
    return request.progress && request.progress(done, total, request.data) != 0;
}

int DecodeWebp(const DecodeRequest& request, HLOCAL* info, HLOCAL* bits)
{
    HeapArray<BYTE> owned;
    WebPData data = {nullptr, 0};
    int result = ReadBytes(request, &owned, &data);
    if (result != SPI_SUCCESS)
        return result;
    Demuxer demuxer(&data);
    if (!demuxer.demux)
        return SPI_BROKEN_DATA;
    uint32_t flags = WebPDemuxGetI(demuxer.demux, WEBP_FF_FORMAT_FLAGS);
    Plan plan = {&data, (flags & ANIMATION_FLAG) != 0, WebPDemuxGetI(demuxer.demux, WEBP_FF_CANVAS_WIDTH),
                 WebPDemuxGetI(demuxer.demux, WEBP_FF_CANVAS_HEIGHT), 0, 0};
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demuxer.demux, 1, &frame))
        return SPI_BROKEN_DATA;
    // An animation's canvas starts transparent wherever its frame leaves it.
    bool covers = frame.x_offset == 0 && frame.y_offset == 0 && static_cast<UINT>(frame.width) == plan.width
        && static_cast<UINT>(frame.height) == plan.height;
    bool alpha = frame.has_alpha || (plan.animated && !covers);
    WebPDemuxReleaseIterator(&frame);
    if (plan.width == 0 || plan.height == 0)
        return SPI_BROKEN_DATA;
    if (static_cast<unsigned long long>(plan.width) * plan.height > (1ULL << 28))
        return SPI_NO_MEMORY;

    bool turned = request.orientation >= 5;
    long shownWidth = static_cast<long>(turned ? plan.height : plan.width);
    long shownHeight = static_cast<long>(turned ? plan.width : plan.height);
    long width = shownWidth, height = shownHeight;
    if (request.sizeFor)
        request.sizeFor(shownWidth, shownHeight, &width, &height, request.context);
    if (width >= shownWidth && height >= shownHeight) {
        width = shownWidth;
        height = shownHeight;
    } else if (width <= 0 || height <= 0 || width > shownWidth || height > shownHeight) {
        return SPI_NOT_IMPLEMENTED;
    }
    plan.outWidth = static_cast<UINT>(turned ? height : width);
    plan.outHeight = static_cast<UINT>(turned ? width : height);
    if (Stopped(request, 0, static_cast<int>(height)))
        return SPI_ABORTED;

    UINT bytes = alpha && (request.flag & kSpiStraightAlpha) ? 4 : 3;
    DibBlocks blocks;
    if (!AllocateDib(static_cast<UINT>(width), static_cast<UINT>(height), false, &blocks,
                     static_cast<WORD>(bytes * 8)))
        return SPI_NO_MEMORY;
    if (!plan.animated && request.orientation == 1 && (!alpha || bytes == 4)) {
        // Straight into the blocks, bottom-up as they are.
        result = DecodeStill(plan, bytes == 4 ? MODE_BGRA : MODE_BGR, blocks.pixels, blocks.stride, true);
    } else {
        HeapArray<BYTE> rows;
        if (!rows.Allocate(static_cast<size_t>(plan.outWidth) * plan.outHeight * 4, false))
            result = SPI_NO_MEMORY;
        else if (plan.animated)
            result = DecodeFirstFrame(plan, rows.items);
        else
            result = DecodeStill(plan, MODE_bgrA, rows.items, static_cast<size_t>(plan.outWidth) * 4, false);
        if (result == SPI_SUCCESS)
            result = PlaceRows(plan, rows.items, request.orientation, bytes, blocks);
    }
    if (result == SPI_SUCCESS && request.table)
        ConvertRows(*request.table, blocks.pixels, static_cast<ptrdiff_t>(blocks.stride), static_cast<unsigned>(width),
                    static_cast<unsigned>(height), bytes);
    if (result == SPI_SUCCESS && Stopped(request, static_cast<int>(height), static_cast<int>(height)))
        result = SPI_ABORTED;
    return HandOver(&blocks, result, info, bits);
}
