#include "chip/chip_random.h"

#include <windows.h>

// The slot is taken on first use rather than at attach so that code linking
// the library's objects directly (the tests) needs no start-up call.
static LONG g_randomSlot = static_cast<LONG>(TLS_OUT_OF_INDEXES);

static DWORD RandomSlot()
{
    LONG slot = InterlockedCompareExchange(&g_randomSlot, 0, 0);
    if (slot != static_cast<LONG>(TLS_OUT_OF_INDEXES))
        return static_cast<DWORD>(slot);
    DWORD fresh = TlsAlloc();
    if (fresh == TLS_OUT_OF_INDEXES)
        return fresh;
    LONG previous = InterlockedCompareExchange(&g_randomSlot, static_cast<LONG>(fresh),
                                               static_cast<LONG>(TLS_OUT_OF_INDEXES));
    if (previous != static_cast<LONG>(TLS_OUT_OF_INDEXES)) {
        TlsFree(fresh);
        return static_cast<DWORD>(previous);
    }
    return fresh;
}

// In a process that has used up every slot, TlsGetValue and TlsSetValue fail
// harmlessly: each draw then starts from state 0, a valid if fixed index.
void SeedChipRandom(unsigned seed)
{
    TlsSetValue(RandomSlot(), reinterpret_cast<void*>(static_cast<ULONG_PTR>(seed)));
}

int ChipRandom()
{
    DWORD slot = RandomSlot();
    unsigned state = static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(TlsGetValue(slot)));
    state = state * 214013u + 2531011u;
    TlsSetValue(slot, reinterpret_cast<void*>(static_cast<ULONG_PTR>(state)));
    return static_cast<int>((state >> 16) & 0x7FFF);
}

void SeedChipRandomFromClock()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    unsigned seed = static_cast<unsigned>(now.wDay) * now.wMonth * now.wYear
        + now.wMilliseconds + now.wSecond + now.wMinute + now.wHour;
    SeedChipRandom(seed);
}

void ReleaseChipRandom()
{
    LONG slot = InterlockedExchange(&g_randomSlot, static_cast<LONG>(TLS_OUT_OF_INDEXES));
    if (slot != static_cast<LONG>(TLS_OUT_OF_INDEXES))
        TlsFree(static_cast<DWORD>(slot));
}
