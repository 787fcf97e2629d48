#include <doctest.h>

#include <algorithm>
#include <cstring>

#include "commands/settings_dialog.h"
#include "test_support.h"
#include "view/view_mode.h"

static SavedBlock ReadBlock(HGLOBAL block)
{
    SavedBlock saved = {};
    const void* p = GlobalLock(block);
    memcpy(&saved, p, sizeof(saved));
    GlobalUnlock(block);
    return saved;
}

static SavedBlock SaveOf(HLOCAL chip, int line = __builtin_LINE())
{
    INFO("saved from line " << line);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 4);
    CHECK(GetSaveData(chip, nullptr, &block) == 1);
    CHECK(GlobalSize(block) >= 28);
    SavedBlock saved = ReadBlock(block);
    GlobalFree(block);
    return saved;
}

TEST_CASE("lifecycle: a chip created without a text has its slideshow defaults only")
{
    HLOCAL chip = reinterpret_cast<HLOCAL>(1);
    UpdateRecord record = MakeUpdateRecord(nullptr, RGB(1, 2, 3), 1, nullptr);
    CHECK(InitializeChip(&chip, nullptr, record.bytes) == 0);
    REQUIRE(chip);
    {
        StateView state(chip);
        CHECK(state->bitmap == nullptr);
        CHECK(state->imageWidth == 0);
        CHECK(state->imageHeight == 0);
        CHECK(state->displayWidth == 0);
        CHECK(state->displayHeight == 0);
        CHECK(state->viewMode == 0);
        CHECK(state->background == 0);
        CHECK(state->loadFailed == 0);
        CHECK(state->imageCount == 0);
        CHECK(state->imageIndex == 0);
        CHECK(state->reloadPending == 0);
        CHECK(state->ticksLeft == 3);
        CHECK(state->interval == 3);
        CHECK(state->unitIsOne == 1);
        CHECK(state->running == 0);
        CHECK(state->randomOrder == 0);
        CHECK(state->render == nullptr);
    }
    // Its saved block says so: mode 0, the default slideshow.
    SavedBlock saved = SaveOf(chip);
    CHECK(saved.payloadSize == 20);
    CHECK(saved.viewMode == 0);
    CHECK(saved.interval == 3);
    CHECK(saved.unitIsOne == 1);
    CHECK(saved.running == 0);
    CHECK(saved.randomOrder == 0);
    CHECK(UnInitializeChip(chip) == 0);

    // A null record counts as one without a text.
    chip = nullptr;
    CHECK(InitializeChip(&chip, nullptr, nullptr) == 0);
    CHECK(StateView(chip)->interval == 3);
    CHECK(Update(chip, nullptr, nullptr) == 1);
    UnInitializeChip(chip);
    CHECK(InitializeChip(nullptr, nullptr, nullptr) == 0);
}

TEST_CASE("lifecycle: Update restores the saved block's three forms")
{
    const Pictures& p = TestPictures();
    std::string three = p.p640x480 + "\r\n" + p.p400x300 + "\r\n" + p.p100x50;
    SavedBlock full = {20, IDM_FIT_ASPECT, 5, 0, 1, 1, 0};
    TestChip chip(three, 300, 200, &full, RGB(9, 8, 7));
    {
        StateView state(chip.handle);
        CHECK(state->imageCount == 3);
        CHECK(state->imageIndex >= 0);
        CHECK(state->imageIndex < 3);
        CHECK(state->viewMode == IDM_FIT_ASPECT);
        CHECK(state->interval == 5);
        CHECK(state->unitIsOne == 0);
        CHECK(state->running == 1);
        CHECK(state->randomOrder == 1);
        CHECK(state->ticksLeft == 50);
        CHECK(state->background == RGB(9, 8, 7));
        CHECK(state->reloadPending == 0);
        CHECK(state->loadFailed == 0);
        DisplaySize fitted = FitAspect(300, 200, state->imageWidth, state->imageHeight);
        CHECK(state->displayWidth == fitted.width);
    }

    SavedBlock shortForm = {4, IDM_ZOOM50, 0, 0, 0, 0, 0};
    chip.Reconfigure(&shortForm);
    {
        StateView state(chip.handle);
        CHECK(state->viewMode == IDM_ZOOM50);
        CHECK(state->displayWidth == state->imageWidth / 2);
        CHECK(state->interval == 3);
        CHECK(state->running == 0);
        CHECK(state->ticksLeft == 3);
    }

    SavedBlock empty = {0, IDM_ZOOM400, 9, 0, 1, 1, 0};
    chip.Reconfigure(&empty);
    {
        StateView state(chip.handle);
        CHECK(state->viewMode == IDM_ZOOM100);
        CHECK(state->displayWidth == state->imageWidth);
        CHECK(state->displayHeight == state->imageHeight);
        CHECK(state->running == 0);
    }
}

TEST_CASE("lifecycle: a block saved before the chip had a text keeps mode 0 and size 0 x 0")
{
    SavedBlock neverHadText = {20, 0, 3, 1, 0, 0, 0};
    TestChip chip(TestPictures().p100x50, 300, 200, &neverHadText);
    StateView state(chip.handle);
    CHECK(state->bitmap != nullptr);
    CHECK(state->viewMode == 0);
    CHECK(state->displayWidth == 0);
    CHECK(state->displayHeight == 0);
}

TEST_CASE("lifecycle: saved modes that are commands, not views, are ignored")
{
    std::string two = TestPictures().p100x50 + "\r\n" + TestPictures().p20x10;
    for (int mode : {int(IDM_CHANGE_IMAGE), int(IDM_SLIDESHOW), int(IDM_SLIDESHOW_SETTINGS), 9999, -1}) {
        CAPTURE(mode);
        SavedBlock block = {20, mode, 3, 1, 0, 0, 0};
        TestChip chip(two, 300, 200, &block);
        StateView state(chip.handle);
        CHECK(state->running == 0);
        CHECK(state->reloadPending == 0);
        CHECK(state->viewMode == 0);
        CHECK(SettingsChip() == nullptr);
    }
}

TEST_CASE("lifecycle: keep-picture 0 drops the picture but keeps its sizes")
{
    SavedBlock block = {20, IDM_ZOOM200, 3, 1, 0, 0, 0};
    TestChip chip(TestPictures().p100x50, 300, 200, &block, RGB(0, 0, 0), 0);
    StateView state(chip.handle);
    CHECK(state->bitmap == nullptr);
    CHECK(state->loadFailed == 0);
    CHECK(state->imageWidth == 100);
    CHECK(state->displayWidth == 200);
    CHECK(state->displayHeight == 100);
}

TEST_CASE("lifecycle: GetSaveData writes what Update read")
{
    SavedBlock block = {20, IDM_ZOOM200, 7, 1, 0, 0, 0};
    TestChip chip(TestPictures().p20x10, 300, 200, &block);
    SavedBlock saved = SaveOf(chip.handle);
    CHECK(saved.payloadSize == 20);
    CHECK(saved.viewMode == IDM_ZOOM200);
    CHECK(saved.interval == 7);
    CHECK(saved.unitIsOne == 1);
    CHECK(saved.running == 0);
    CHECK(saved.randomOrder == 0);

    // A null text stops the slideshow and restores its defaults; the rest stays.
    SavedBlock running = {20, IDM_ZOOM50, 8, 0, 1, 1, 0};
    chip.Reconfigure(&running);
    HBITMAP picture = StateView(chip.handle)->bitmap;
    UpdateRecord record = MakeUpdateRecord(nullptr, RGB(1, 1, 1), 1, nullptr);
    CHECK(Update(chip.handle, chip.window, record.bytes) == 1);
    {
        StateView state(chip.handle);
        CHECK(state->bitmap == picture);
        CHECK(state->viewMode == IDM_ZOOM50);
        CHECK(state->imageCount == 1);
        CHECK(state->background != RGB(1, 1, 1));
    }
    saved = SaveOf(chip.handle);
    CHECK(saved.viewMode == IDM_ZOOM50);
    CHECK(saved.interval == 3);
    CHECK(saved.unitIsOne == 1);
    CHECK(saved.running == 0);
}

TEST_CASE("lifecycle: GetSaveData never writes through a null or unusable block")
{
    TestChip chip(TestPictures().p20x10, 100, 100);
    CHECK(GetSaveData(chip.handle, nullptr, nullptr) == 1);
    HGLOBAL none = nullptr;
    CHECK(GetSaveData(chip.handle, nullptr, &none) == 1);
    CHECK(none == nullptr);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 40);
    CHECK(GetSaveData(nullptr, nullptr, &block) == 1);
    CHECK(GlobalSize(block) == 40);  // untouched by a chip that cannot be reached
    GlobalFree(block);
}

TEST_CASE("lifecycle: Zoom 0 releases the picture, Zoom 1 changes nothing")
{
    TestChip chip(TestPictures().p100x50, 100, 100);
    HBITMAP picture = StateView(chip.handle)->bitmap;
    REQUIRE(picture);
    Zoom(chip.handle, nullptr, 1);
    CHECK(StateView(chip.handle)->bitmap == picture);
    Zoom(chip.handle, nullptr, 0);
    CHECK(StateView(chip.handle)->bitmap == nullptr);
    CHECK(StateView(chip.handle)->imageWidth == 100);
    CHECK(GetObjectType(picture) == 0);  // deleted, not leaked
}

TEST_CASE("lifecycle: a missing picture is the 160 x 90 load error state")
{
    TestChip chip("C:\\nowhere\\missing.jpg", 300, 200);
    StateView state(chip.handle);
    CHECK(state->bitmap == nullptr);
    CHECK(state->loadFailed == 1);
    CHECK(state->imageWidth == 160);
    CHECK(state->imageHeight == 90);
    CHECK(state->displayWidth == 160);

    TestChip blank("\r\n\r\n", 300, 200);
    CHECK(StateView(blank.handle)->imageCount == 0);
    CHECK(StateView(blank.handle)->loadFailed == 1);
}

TEST_CASE("lifecycle: every export answers a chip it cannot lock as the host expects")
{
    HLOCAL nothing = nullptr;
    HLOCAL tooSmall = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 8);
    for (HLOCAL chip : {nothing, tooSmall}) {
        UpdateRecord record = MakeUpdateRecord("C:\\a.bmp", 0, 1, nullptr);
        int size[2] = {-5, -5};
        CHECK(Update(chip, nullptr, record.bytes) == 1);
        CHECK(CalcDefaultRect(chip, nullptr, size, "") == 0);
        CHECK(size[0] == -5);
        CHECK(Resize(chip, nullptr) == 1);
        CHECK(DrawChip(chip, nullptr, nullptr, "") == 1);
        CHECK(DoDrawExMenu(chip, nullptr, IDM_ZOOM200) == 0);
        CHECK(GetTimerSpan(chip) == -1);
        CHECK(DoTimer(chip) == 0);
        CHECK(GetDrawExMenu(chip) == nullptr);
        Zoom(chip, nullptr, 0);
    }
    CHECK(UnInitializeChip(nullptr) == 0);
    BYTE after[8];
    memcpy(after, LocalLock(tooSmall), 8);
    LocalUnlock(tooSmall);
    CHECK(std::all_of(after, after + 8, [](BYTE b) { return b == 0; }));
    LocalFree(tooSmall);
}

TEST_CASE("lifecycle: two chips keep their own records")
{
    SavedBlock a = {20, IDM_ZOOM200, 4, 1, 1, 0, 0};
    SavedBlock b = {20, IDM_ZOOM25, 9, 0, 0, 1, 0};
    TestChip first(TestPictures().p100x50, 100, 100, &a);
    TestChip second(TestPictures().p400x300, 100, 100, &b);
    DoDrawExMenu(first.handle, first.window, IDM_FIT);
    StateView one(first.handle);
    StateView two(second.handle);
    CHECK(one->viewMode == IDM_FIT);
    CHECK(two->viewMode == IDM_ZOOM25);
    CHECK(one->interval == 4);
    CHECK(two->interval == 9);
    CHECK(one->imageWidth == 100);
    CHECK(two->imageWidth == 400);
}
