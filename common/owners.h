// Small owners of Windows resources: each lets go of one thing when it goes
// out of scope, cannot be copied, and hands the thing on with Release() where
// ownership moves. Nothing here allocates by throwing: the library and its
// plug-in live in the host's process, built without exceptions, where a
// failed allocation must be an answer, never the end of the process.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

// A block of count T from the process heap (count 0: none), zero-filled
// unless told; T is a plain record, never constructed or destroyed.
template <typename T>
struct HeapArray {
    HeapArray() : items(nullptr), count(0) {}
    ~HeapArray() { Free(); }
    HeapArray(const HeapArray&) = delete;
    HeapArray& operator=(const HeapArray&) = delete;
    HeapArray(HeapArray&& other) noexcept : items(other.items), count(other.count)
    {
        other.items = nullptr;
        other.count = 0;
    }
    HeapArray& operator=(HeapArray&& other) noexcept
    {
        Swap(other);
        other.Free();
        return *this;
    }

    // False, with the old block kept as it was, when the heap refuses or the
    // byte count would overflow.
    bool Allocate(size_t wanted, bool zeroed = true)
    {
        if (wanted > static_cast<size_t>(-1) / sizeof(T))
            return false;
        T* made = nullptr;
        if (wanted) {
            made = static_cast<T*>(HeapAlloc(GetProcessHeap(), zeroed ? HEAP_ZERO_MEMORY : 0, wanted * sizeof(T)));
            if (!made)
                return false;
        }
        Free();
        items = made;
        count = wanted;
        return true;
    }
    // The same size with the first min(old, new) items kept, the rest
    // zero-filled; false (nothing changed) when the heap refuses.
    bool Resize(size_t wanted)
    {
        if (wanted <= count) {
            count = wanted;
            return true;
        }
        HeapArray grown;
        if (!grown.Allocate(wanted))
            return false;
        if (count)
            memcpy(grown.items, items, count * sizeof(T));
        Swap(grown);
        return true;
    }
    void Free()
    {
        if (items)
            HeapFree(GetProcessHeap(), 0, items);
        items = nullptr;
        count = 0;
    }
    void Swap(HeapArray& other)
    {
        T* i = items;
        size_t c = count;
        items = other.items;
        count = other.count;
        other.items = i;
        other.count = c;
    }
    T* Release()
    {
        T* handed = items;
        items = nullptr;
        count = 0;
        return handed;
    }
    T& operator[](size_t i) const { return items[i]; }
    T* begin() const { return items; }
    T* end() const { return items + count; }
    bool Empty() const { return count == 0; }

    T* items;
    size_t count;
};

// A moveable local block locked for as long as this lives; `data` is null
// when the handle was null or the lock failed.
template <typename T>
struct LockedLocal {
    explicit LockedLocal(HLOCAL h) : handle(h), data(h ? static_cast<T*>(LocalLock(h)) : nullptr) {}
    ~LockedLocal()
    {
        if (data)
            LocalUnlock(handle);
    }
    LockedLocal(const LockedLocal&) = delete;
    LockedLocal& operator=(const LockedLocal&) = delete;
    SIZE_T Size() const { return handle ? LocalSize(handle) : 0; }
    T* operator->() const { return data; }

    HLOCAL handle;
    T* data;
};

// A local block freed with LocalFree, such as those a Susie plug-in hands
// over after a successful call.
struct LocalBlock {
    explicit LocalBlock(HLOCAL h = nullptr) : handle(h) {}
    ~LocalBlock()
    {
        if (handle)
            LocalFree(handle);
    }
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    HLOCAL Release()
    {
        HLOCAL handed = handle;
        handle = nullptr;
        return handed;
    }
    HLOCAL handle;
};

// A GDI object (bitmap, brush, region...) deleted when this goes; select it
// out of every DC before then.
template <typename T>
struct GdiObject {
    explicit GdiObject(T h = nullptr) : handle(h) {}
    ~GdiObject()
    {
        if (handle)
            DeleteObject(handle);
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    T Release()
    {
        T handed = handle;
        handle = nullptr;
        return handed;
    }
    T handle;
};

// A kernel handle closed when this goes. Both null and
// INVALID_HANDLE_VALUE mean none, as CreateFile and CreateEvent differ.
struct Handle {
    explicit Handle(HANDLE h = nullptr) : handle(h) {}
    ~Handle()
    {
        if (Valid())
            CloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return handle && handle != INVALID_HANDLE_VALUE; }
    HANDLE Release()
    {
        HANDLE handed = handle;
        handle = nullptr;
        return handed;
    }
    HANDLE handle;
};
