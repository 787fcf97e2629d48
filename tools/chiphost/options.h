// chiphost's command line.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct Step {
    bool isMenu;    // a menu command, else timer ticks
    int value;      // the command id, or the number of ticks
};

struct Options {
    std::string mode;                 // "render", "run" or "picture"
    std::string dxl;
    std::string textFile;
    std::vector<std::string> lists;   // run: one chip per list
    int width = 0, height = 0;
    COLORREF background = RGB(255, 255, 255);
    std::string blockFile;
    std::vector<Step> steps;
    int keep = 1;
    std::string saveFile;
    std::string outFile;
    std::string plugins;
    int unitMs = 1000;
    int pattern = 0;
};

// Parses argv; false with a one-line message in *error.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

const char* Usage();
