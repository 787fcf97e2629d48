#include <doctest.h>

#include "test_support.h"
#include "view/view_mode.h"

TEST_CASE("view: FitAspect keeps the scale in millionths and rounds each side up")
{
    static const struct {
        int cw, ch, iw, ih, w, h;
    } cases[] = {
        {300, 200, 640, 480, 267, 200},  // the worked example
        {0, 200, 640, 480, 0, 0},
        {300, 0, 640, 480, 0, 0},
        {300, 200, 0, 480, 0, 0},        // no picture: no division by zero
        {300, 200, 640, 0, 0, 0},
        {640, 480, 640, 480, 640, 480},
        {5000, 4000, 3, 2, 5000, 3334},  // products far past 32 bits
        {100000, 100000, 1, 1, 100000, 100000},
    };
    for (const auto& c : cases) {
        CAPTURE(c.cw);
        CAPTURE(c.ch);
        CAPTURE(c.iw);
        CAPTURE(c.ih);
        DisplaySize size = FitAspect(c.cw, c.ch, c.iw, c.ih);
        CHECK(size.width == c.w);
        CHECK(size.height == c.h);
    }
}

TEST_CASE("view: every mode's display size and result")
{
    ChipState state = {};
    state.imageWidth = 5;
    state.imageHeight = 3;
    state.viewMode = IDM_ZOOM100;
    HWND window = CreateChipWindow(300, 200);

    CHECK(ApplyViewMode(&state, window, IDM_ZOOM25) == 3);
    CHECK(state.displayWidth == 1);
    CHECK(state.displayHeight == 0);
    CHECK(ApplyViewMode(&state, window, IDM_ZOOM25) == 0);  // recomputed, unchanged mode
    CHECK(ApplyViewMode(&state, window, IDM_ZOOM50) == 3);
    CHECK(state.displayWidth == 2);
    CHECK(state.displayHeight == 1);
    CHECK(ApplyViewMode(&state, window, IDM_ZOOM200) == 3);
    CHECK(state.displayWidth == 10);
    CHECK(ApplyViewMode(&state, window, IDM_ZOOM400) == 3);
    CHECK(state.displayHeight == 12);
    CHECK(ApplyViewMode(&state, window, IDM_FIT) == 1);
    CHECK(state.displayWidth == 300);
    CHECK(state.displayHeight == 200);

    state.imageWidth = 640;
    state.imageHeight = 480;
    CHECK(ApplyViewMode(&state, window, IDM_FIT_ASPECT) == 1);
    CHECK(state.displayWidth == 267);
    CHECK(state.displayHeight == 200);
    CHECK(ApplyViewMode(&state, window, IDM_FIT_ASPECT) == 0);

    // Not a view mode: nothing changes.
    CHECK(ApplyViewMode(&state, window, IDM_CHANGE_IMAGE) == 0);
    CHECK(ApplyViewMode(&state, window, 0) == 0);
    CHECK(state.viewMode == IDM_FIT_ASPECT);

    // Without a window there is no client area: the fit modes give 0 x 0.
    CHECK(ApplyViewMode(&state, nullptr, IDM_FIT) == 1);
    CHECK(state.displayWidth == 0);
    CHECK(state.displayHeight == 0);
    DestroyWindow(window);
}

TEST_CASE("view: Resize follows the client only in the fit modes, and only with a picture")
{
    const Pictures& pictures = TestPictures();
    TestChip chip(pictures.p640x480, 300, 200);
    SetWindowPos(chip.window, nullptr, 0, 0, 600, 300, SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(chip.window, &client);

    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM200) == 3);
    CHECK(Resize(chip.handle, chip.window) == 1);
    CHECK(StateView(chip.handle)->displayWidth == 1280);

    DoDrawExMenu(chip.handle, chip.window, IDM_FIT);
    SetWindowPos(chip.window, nullptr, 0, 0, 320, 240, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(chip.window, &client);
    CHECK(Resize(chip.handle, chip.window) == 0);
    CHECK(StateView(chip.handle)->displayWidth == client.right);
    CHECK(StateView(chip.handle)->displayHeight == client.bottom);

    DoDrawExMenu(chip.handle, chip.window, IDM_FIT_ASPECT);
    CHECK(Resize(chip.handle, chip.window) == 1);
    DisplaySize expected = FitAspect(client.right, client.bottom, 640, 480);
    CHECK(StateView(chip.handle)->displayWidth == expected.width);

    // Released by Zoom: the display size stays as it was.
    DoDrawExMenu(chip.handle, chip.window, IDM_FIT);
    Zoom(chip.handle, nullptr, 0);
    SetWindowPos(chip.window, nullptr, 0, 0, 100, 100, SWP_NOMOVE | SWP_NOZORDER);
    CHECK(Resize(chip.handle, chip.window) == 1);
    CHECK(StateView(chip.handle)->displayWidth == client.right);
    CHECK(StateView(chip.handle)->viewMode == IDM_FIT);
}

TEST_CASE("view: CalcDefaultRect answers the display size, reloading first when asked to")
{
    const Pictures& pictures = TestPictures();
    TestChip chip(pictures.p100x50 + "\r\n" + pictures.p400x300, 300, 200);
    int size[2] = {-1, -1};
    CHECK(CalcDefaultRect(chip.handle, chip.window, size, chip.text.c_str()) == 0);
    int index = StateView(chip.handle)->imageIndex;
    CHECK(size[0] == (index == 0 ? 100 : 400));
    CHECK(size[1] == (index == 0 ? 50 : 300));

    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_CHANGE_IMAGE) == 3);
    CHECK(StateView(chip.handle)->reloadPending == 1);
    CHECK(CalcDefaultRect(chip.handle, chip.window, size, chip.text.c_str()) == 0);
    CHECK(StateView(chip.handle)->reloadPending == 0);
    CHECK(StateView(chip.handle)->imageIndex == 1 - index);
    CHECK(size[0] == (index == 0 ? 400 : 100));

    // The text lost its lines since: the reload fails into the 160 x 90 state.
    DoDrawExMenu(chip.handle, chip.window, IDM_CHANGE_IMAGE);
    CHECK(CalcDefaultRect(chip.handle, chip.window, size, "") == 0);
    StateView state(chip.handle);
    CHECK(state->bitmap == nullptr);
    CHECK(state->loadFailed == 1);
    CHECK(state->imageWidth == 160);
    CHECK(state->imageHeight == 90);
    CHECK(size[0] == 160);
    CHECK(size[1] == 90);
}

TEST_CASE("view: CalcDefaultRect tolerates no size buffer and no text")
{
    // Two pictures, so that the change is real and the reload runs: with
    // no text to read it from, it fails into the 160 x 90 state.
    const Pictures& pictures = TestPictures();
    TestChip chip(pictures.p20x10 + "\r\n" + pictures.p5x3, 50, 50);
    REQUIRE(DoDrawExMenu(chip.handle, chip.window, IDM_CHANGE_IMAGE) == 3);
    REQUIRE(StateView(chip.handle)->reloadPending == 1);
    CHECK(CalcDefaultRect(chip.handle, chip.window, nullptr, nullptr) == 0);
    StateView state(chip.handle);
    CHECK(state->reloadPending == 0);
    CHECK(state->loadFailed == 1);
    CHECK(state->imageWidth == 160);
    CHECK(state->imageHeight == 90);
}
