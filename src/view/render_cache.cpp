#include "view/render_cache.h"

RenderCache* RenderCacheOf(ChipState* state)
{
    if (!state->render)
        state->render = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(RenderCache));
    return ExistingRenderCache(state);
}

void EmptyRenderCache(RenderCache* cache)
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

void ReleaseRenderCache(ChipState* state)
{
    RenderCache* cache = ExistingRenderCache(state);
    if (!cache)
        return;
    EmptyRenderCache(cache);
    HeapFree(GetProcessHeap(), 0, cache);
    state->render = nullptr;
}
