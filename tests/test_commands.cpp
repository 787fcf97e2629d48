#include <doctest.h>

#include <climits>

#include "chip/chip_random.h"
#include "commands/context_menu.h"
#include "test_support.h"

// The generator, written out independently of the library's.
static unsigned g_model;
static int ModelRandom()
{
    g_model = g_model * 214013u + 2531011u;
    return (g_model >> 16) & 0x7FFF;
}

static DWORD WINAPI SeedOnOtherThread(void*)
{
    SeedChipRandom(99999);
    ChipRandom();
    return 0;
}

TEST_CASE("ChipRandom: the classic sequence, kept per thread")
{
    SeedChipRandom(1);
    CHECK(ChipRandom() == 41);
    CHECK(ChipRandom() == 18467);
    CHECK(ChipRandom() == 6334);

    SeedChipRandom(12345);
    g_model = 12345;
    for (int i = 0; i < 100; i++)
        REQUIRE(ChipRandom() == ModelRandom());

    // Another thread's seeding leaves this thread's state alone.
    SeedChipRandom(7);
    HANDLE thread = CreateThread(nullptr, 0, SeedOnOtherThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    g_model = 7;
    CHECK(ChipRandom() == ModelRandom());
}

static std::string ListOf(int count)
{
    const Pictures& pictures = TestPictures();
    std::string text;
    const std::string* files[] = {&pictures.p20x10, &pictures.p100x50, &pictures.p5x3,
                                  &pictures.p400x300, &pictures.p640x480};
    for (int i = 0; i < count; i++)
        text += *files[i % 5] + "\r\n";
    return text;
}

TEST_CASE("commands: view modes through DoDrawExMenu")
{
    TestChip chip(ListOf(1), 300, 200);
    REQUIRE(StateView(chip.handle)->viewMode == IDM_ZOOM100);
    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM200) == 3);
    CHECK(StateView(chip.handle)->displayWidth == 40);
    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_ZOOM200) == 0);
    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_FIT) == 1);
    CHECK(StateView(chip.handle)->displayWidth == 300);
}

TEST_CASE("commands: change of picture draws from the list without the current one")
{
    // From each place in a list of five, every other picture is drawn about
    // as often as the others (a quarter of 400 draws, give or take 40), and
    // never the one shown.
    TestChip chip(ListOf(5), 300, 200);
    SeedChipRandom(1000);
    for (int from = 0; from < 5; from++) {
        CAPTURE(from);
        int drawn[5] = {};
        for (int round = 0; round < 400; round++) {
            StateView(chip.handle)->imageIndex = from;
            CHECK(DoDrawExMenu(chip.handle, nullptr, IDM_CHANGE_IMAGE) == 3);
            StateView state(chip.handle);
            CHECK(state->reloadPending == 1);
            REQUIRE(state->imageIndex >= 0);
            REQUIRE(state->imageIndex < 5);
            drawn[state->imageIndex]++;
        }
        CHECK(drawn[from] == 0);
        for (int i = 0; i < 5; i++)
            if (i != from) {
                CAPTURE(i);
                CHECK(drawn[i] > 60);
                CHECK(drawn[i] < 140);
            }
    }

    TestChip two(ListOf(2), 100, 100);
    for (int i = 0; i < 4; i++) {
        int before = StateView(two.handle)->imageIndex;
        DoDrawExMenu(two.handle, nullptr, IDM_CHANGE_IMAGE);
        CHECK(StateView(two.handle)->imageIndex == 1 - before);
    }

    // One picture: nothing to change to, and no division by zero.
    TestChip one(ListOf(1), 100, 100);
    CHECK(DoDrawExMenu(one.handle, nullptr, IDM_CHANGE_IMAGE) == 0);
    CHECK(StateView(one.handle)->imageIndex == 0);
    CHECK(StateView(one.handle)->reloadPending == 0);
}

TEST_CASE("commands: every command clears a pending reload")
{
    TestChip chip(ListOf(3), 300, 200);
    HBITMAP cached = StateView(chip.handle)->bitmap;
    DoDrawExMenu(chip.handle, nullptr, IDM_CHANGE_IMAGE);
    int moved = StateView(chip.handle)->imageIndex;
    CHECK(DoDrawExMenu(chip.handle, chip.window, 0) == 0);
    StateView state(chip.handle);
    CHECK(state->reloadPending == 0);
    CHECK(state->imageIndex == moved);
    CHECK(state->bitmap == cached);  // the old picture stays until the next load
}

TEST_CASE("commands: the slideshow toggles and restarts its countdown")
{
    SavedBlock block = {20, IDM_ZOOM100, 4, 0, 0, 0, 0};
    TestChip chip(ListOf(3), 300, 200, &block);
    {
        StateView state(chip.handle);
        state->ticksLeft = 7;
    }
    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_SLIDESHOW) == 0);
    CHECK(StateView(chip.handle)->running == 1);
    CHECK(StateView(chip.handle)->ticksLeft == 40);
    StateView(chip.handle)->ticksLeft = 2;
    CHECK(DoDrawExMenu(chip.handle, chip.window, IDM_SLIDESHOW) == 0);
    CHECK(StateView(chip.handle)->running == 0);
    CHECK(StateView(chip.handle)->ticksLeft == 40);
}

TEST_CASE("timer: span and ticks")
{
    TestChip one(ListOf(1), 100, 100);
    CHECK(GetTimerSpan(one.handle) == -1);
    TestChip two(ListOf(2), 100, 100);
    CHECK(GetTimerSpan(two.handle) == 2);
    CHECK(GetTimerSpan(nullptr) == -1);

    TestChip three(ListOf(3), 100, 100);
    CHECK(DoTimer(three.handle) == 0);  // not running: nothing
    {
        StateView state(three.handle);
        state->running = 1;
        state->imageIndex = 2;
        state->ticksLeft = 1;
    }
    CHECK(DoTimer(three.handle) == 3);
    {
        StateView state(three.handle);
        CHECK(state->imageIndex == 0);
        CHECK(state->reloadPending == 1);
        CHECK(state->ticksLeft == 3);
        state->ticksLeft = 5;
    }
    CHECK(DoTimer(three.handle) == 0);
    CHECK(StateView(three.handle)->ticksLeft == 4);
}

TEST_CASE("timer: interval 3, X 1 moves on every third tick, in order or at random")
{
    TestChip chip(ListOf(3), 100, 100);
    int start = StateView(chip.handle)->imageIndex;
    DoDrawExMenu(chip.handle, chip.window, IDM_SLIDESHOW);
    for (int step = 1; step <= 6; step++) {
        CHECK(DoTimer(chip.handle) == 0);
        CHECK(DoTimer(chip.handle) == 0);
        CHECK(DoTimer(chip.handle) == 3);
        CHECK(StateView(chip.handle)->imageIndex == (start + step) % 3);
        int size[2];
        CalcDefaultRect(chip.handle, chip.window, size, chip.text.c_str());
    }

    SavedBlock random = {20, IDM_ZOOM100, 1, 1, 1, 1, 0};
    chip.Reconfigure(&random);
    for (int i = 0; i < 5; i++) {
        int before = StateView(chip.handle)->imageIndex;
        CHECK(DoTimer(chip.handle) == 3);
        CHECK(StateView(chip.handle)->imageIndex != before);
        CHECK(StateView(chip.handle)->reloadPending == 1);
    }
}

TEST_CASE("timer: countdowns from odd saved intervals neither freeze nor overflow")
{
    SavedBlock zero = {20, IDM_ZOOM100, 0, 1, 1, 0, 0};
    TestChip chip(ListOf(3), 100, 100, &zero);
    CHECK(StateView(chip.handle)->ticksLeft == 1);
    CHECK(DoTimer(chip.handle) == 3);
    CHECK(DoTimer(chip.handle) == 3);

    SavedBlock negative = {20, IDM_ZOOM100, -5, 0, 1, 0, 0};
    chip.Reconfigure(&negative);
    CHECK(StateView(chip.handle)->interval == -5);  // kept as saved
    CHECK(DoTimer(chip.handle) == 3);

    SavedBlock huge = {20, IDM_ZOOM100, INT_MAX, 0, 1, 0, 0};
    chip.Reconfigure(&huge);
    CHECK(StateView(chip.handle)->ticksLeft == INT_MAX);
    CHECK(SlideshowTicks(StateView(chip.handle).state) == INT_MAX);
}

static bool Has(UINT state, UINT flag)
{
    return (state & flag) != 0;
}

static std::string MenuText(HMENU menu, int position)
{
    char text[128] = "";
    GetMenuStringA(menu, position, text, sizeof(text), MF_BYPOSITION);
    return text;
}

TEST_CASE("menu: items, texts, checks and grays")
{
    TestChip one(ListOf(1), 100, 100);
    HMENU menu = GetDrawExMenu(one.handle);
    REQUIRE(menu);
    CHECK(GetMenuItemCount(menu) == 7);
    const char* texts[] = {"25%", "50%", "100%", "200%", "400%",
                           "\x8f\xac\x95\xd0\x82\xc9\xcc\xa8\xaf\xc4",
                           "\x8f\xac\x95\xd0\x82\xc9\xcc\xa8\xaf\xc4(\xb1\xbd\xcd\xdf\xb8\xc4\x94\xe4\x95\xdb\x8e\x9d)"};
    for (int i = 0; i < 7; i++) {
        CAPTURE(i);
        CHECK(GetMenuItemID(menu, i) == static_cast<UINT>(IDM_ZOOM25 + i));
        CHECK(MenuText(menu, i) == texts[i]);
        UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        CHECK(((state & MF_CHECKED) != 0) == (i == 2));
        CHECK((state & MF_GRAYED) == 0);
    }
    DestroyMenu(menu);

    SavedBlock block = {20, IDM_FIT_ASPECT, 3, 1, 1, 0, 0};
    TestChip three(ListOf(3), 100, 100, &block);
    menu = GetDrawExMenu(three.handle);
    REQUIRE(GetMenuItemCount(menu) == 11);
    CHECK(Has(GetMenuState(menu, 7, MF_BYPOSITION), MF_SEPARATOR));
    CHECK(GetMenuItemID(menu, 8) == static_cast<UINT>(IDM_CHANGE_IMAGE));
    CHECK(MenuText(menu, 8) == "\x89\xe6\x91\x9c\x95\xcf\x8dX(&C)");
    CHECK(MenuText(menu, 9) == "\x83X\x83\x89\x83" "C\x83h\x83V\x83\x87\x81[(&S)");
    CHECK(MenuText(menu, 10) == "\xbd\xd7\xb2\xc4\xde\xbc\xae\xb3\xb0 \x90\xdd\x92\xe8");
    CHECK(Has(GetMenuState(menu, IDM_FIT_ASPECT, MF_BYCOMMAND), MF_CHECKED));
    CHECK(Has(GetMenuState(menu, IDM_SLIDESHOW, MF_BYCOMMAND), MF_CHECKED));
    CHECK_FALSE(Has(GetMenuState(menu, IDM_ZOOM100, MF_BYCOMMAND), MF_CHECKED));
    CHECK_FALSE(Has(GetMenuState(menu, IDM_SLIDESHOW_SETTINGS, MF_BYCOMMAND), MF_GRAYED));
    DestroyMenu(menu);

    // Without a picture: view modes grayed, nothing checked, even running.
    Zoom(three.handle, nullptr, 0);
    menu = GetDrawExMenu(three.handle);
    for (int id = IDM_ZOOM25; id <= IDM_FIT_ASPECT; id++) {
        UINT state = GetMenuState(menu, id, MF_BYCOMMAND);
        CHECK(Has(state, MF_GRAYED));
        CHECK_FALSE(Has(state, MF_CHECKED));
    }
    CHECK_FALSE(Has(GetMenuState(menu, IDM_SLIDESHOW, MF_BYCOMMAND), MF_CHECKED));
    DestroyMenu(menu);

    // Some chip's settings dialog is open: its command is grayed everywhere.
    menu = BuildContextMenu(StateView(three.handle).state, true);
    CHECK(Has(GetMenuState(menu, IDM_SLIDESHOW_SETTINGS, MF_BYCOMMAND), MF_GRAYED));
    DestroyMenu(menu);

    CHECK(GetDrawExMenu(nullptr) == nullptr);
}
