#include "test_support.h"

static COLORREF Stripes(int x, int y)
{
    return (x / 10 + y / 10) % 2 ? RGB(250, 200, 20) : RGB(20, 120, 240);
}

const Pictures& TestPictures()
{
    static Pictures pictures;
    if (pictures.folder.empty()) {
        pictures.folder = ScratchFolder("\x83\x73\x83\x4e\x83\x60\x83\x83");  // ピクチャ
        const struct {
            std::string* path;
            const char* name;
            int width, height;
        } files[] = {
            {&pictures.p640x480, "640x480.bmp", 640, 480},
            {&pictures.p100x50, "100x50.bmp", 100, 50},
            {&pictures.p400x300, "400x300.bmp", 400, 300},
            {&pictures.p5x3, "5x3.bmp", 5, 3},
            {&pictures.p20x10, "20x10.bmp", 20, 10},
        };
        for (const auto& f : files) {
            *f.path = pictures.folder + "\\" + f.name;
            WriteBmp(*f.path, f.width, f.height, Stripes);
        }
    }
    return pictures;
}

TestChip::TestChip(const std::string& chipText, int clientWidth, int clientHeight,
                   const SavedBlock* block, COLORREF colour, int keep)
    : handle(nullptr), window(CreateChipWindow(clientWidth, clientHeight)), text(chipText),
      background(colour)
{
    SavedBlock none = {0, 0, 0, 0, 0, 0, 0};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), background, keep, block ? block : &none);
    InitializeChip(&handle, window, record.bytes);
}

TestChip::~TestChip()
{
    UnInitializeChip(handle);
    DestroyWindow(window);
}

void TestChip::Reconfigure(const SavedBlock* block, int keep)
{
    SavedBlock none = {0, 0, 0, 0, 0, 0, 0};
    UpdateRecord record = MakeUpdateRecord(text.c_str(), background, keep, block ? block : &none);
    Update(handle, window, record.bytes);
}
