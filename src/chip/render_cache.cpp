#include "chip/render_cache.h"

void ReleaseRenderCache(RenderCache* cache)
{
    // The bitmap is deleted only once the DC no longer holds it.
    if (cache->dc) {
        SelectObject(cache->dc, cache->previous);
        DeleteDC(cache->dc);
    }
    if (cache->bitmap)
        DeleteObject(cache->bitmap);
    *cache = RenderCache();
}
