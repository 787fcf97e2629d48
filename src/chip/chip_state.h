// The per-chip record.
#pragma once

#include <windows.h>


// A chip's identity is the handle of a movable local block holding its
// ChipState; the host stores it and passes it back to every per-chip export.
typedef HLOCAL ChipHandle;

struct ChipState {
    HBITMAP bitmap;         // the current picture, ours; null when not loaded
    int imageWidth;         // the picture's own size, what the view modes
    int imageHeight;        // and the host reckon with
    int displayWidth;
    int displayHeight;
    int viewMode;           // IDM_ZOOM25 .. IDM_FIT_ASPECT, 0 until first set
    COLORREF background;
    int loadFailed;
    int imageCount;
    int imageIndex;
    int reloadPending;
    int ticksLeft;
    int interval;
    int unitIsOne;
    int running;
    int randomOrder;

    // Beyond the classic record: painting's scaled copy of the client area,
    // and a serial that changes with every picture so the copy can tell a
    // new picture from an old one that happens to get the same GDI handle
    // back. The copy is painting's own record, made at the first paint and
    // freed by painting alone: to the chip it is only a pointer.
    unsigned pictureSerial;
    void* render;

    // The size `bitmap` is held at: the picture's own, or less where the
    // view mode shows it reduced (the copy is then reduced from it).
    int heldWidth;
    int heldHeight;

    // The next picture of a slideshow in list order, being prepared off the
    // host's thread or ready: the loading's own record, to the chip only a
    // pointer (null when there is none). The preparing thread never sees
    // this record.
    void* prepared;

    // How many ChipLocks hold the record now, and whether the host asked for
    // the chip's end while one did: a plug-in or dialog that pumps messages
    // lets the host destroy a chip whose export is still on the stack, and
    // the record must outlive that export.
    int holders;
    int destroyPending;
};

// Ticks of the slideshow countdown: interval x 1 for "X 1", x 10 for "X 10".
// Saved blocks and pasted text can hold any interval; the countdown never
// starts below 1 (a zero or negative interval advances on every tick instead
// of freezing for 2^32 ticks) nor above INT_MAX.
int SlideshowTicks(const ChipState* state);
void RestartCountdown(ChipState* state);
void ResetSlideshowDefaults(ChipState* state);

// Replaces the cached picture. The old one is deleted; `bitmap` may be null.
// Sets the held size from the new picture and the image size to
// imageWidth x imageHeight (the bitmap's own size when those are 0), or
// both to 160 x 90 when there is no picture. Returns whether a picture is
// now cached.
bool ReplacePicture(ChipState* state, HBITMAP bitmap, int imageWidth = 0, int imageHeight = 0);

// Deletes the cached picture without touching the sizes. The painted copy
// stays for the next picture to be drawn over.
void DropPicture(ChipState* state);
