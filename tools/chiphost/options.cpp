#include "options.h"

#include <climits>
#include <cstdlib>
#include <cstring>

const char* Usage()
{
    return "usage:\n"
           "  chiphost render --dxl PATH --text LIST.txt --size WxH [--bg RRGGBB] [--block IN.bin]\n"
           "                  [--menu ID]... [--ticks N] [--keep 0|1] [--save OUT.bin]\n"
           "                  [--plugins DIR] --out CHIP.png\n"
           "  chiphost run --dxl PATH [--plugins DIR] [--unit-ms N] [--bg RRGGBB] LIST.txt...\n"
           "  chiphost picture --size WxH [--pattern N] --out FILE.(bmp|png|jpg|gif|tif)\n";
}

static bool ParseInt(const char* text, int low, int high, int* out)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end || value < low || value > high)
        return false;
    *out = static_cast<int>(value);
    return true;
}

static bool ParseSize(const char* text, int* width, int* height)
{
    const char* x = text ? strchr(text, 'x') : nullptr;
    if (!x)
        return false;
    std::string w(text, x - text);
    return ParseInt(w.c_str(), 1, 16384, width) && ParseInt(x + 1, 1, 16384, height);
}

static bool ParseColour(const char* text, COLORREF* colour)
{
    if (!text || strlen(text) != 6 || strspn(text, "0123456789abcdefABCDEF") != 6)
        return false;
    unsigned long rgb = strtoul(text, nullptr, 16);
    *colour = RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error)
{
    if (argc < 2) {
        *error = "no mode given";
        return false;
    }
    o->mode = argv[1];
    if (o->mode != "render" && o->mode != "run" && o->mode != "picture") {
        *error = "unknown mode '" + o->mode + "'";
        return false;
    }
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takes = arg.size() > 2 && arg[0] == '-' && arg[1] == '-';
        if (takes && !value) {
            *error = arg + " needs a value";
            return false;
        }
        if (arg == "--dxl") {
            o->dxl = value;
        } else if (arg == "--text") {
            o->textFile = value;
        } else if (arg == "--size") {
            if (!ParseSize(value, &o->width, &o->height)) {
                *error = std::string("malformed size '") + value + "' (expected WxH, e.g. 320x240)";
                return false;
            }
        } else if (arg == "--bg") {
            if (!ParseColour(value, &o->background)) {
                *error = std::string("malformed colour '") + value + "' (expected RRGGBB)";
                return false;
            }
        } else if (arg == "--block") {
            o->blockFile = value;
        } else if (arg == "--menu") {
            int id;
            if (!ParseInt(value, INT_MIN, INT_MAX, &id)) {
                *error = std::string("malformed menu id '") + value + "'";
                return false;
            }
            o->steps.push_back({true, id});
        } else if (arg == "--ticks") {
            int ticks;
            if (!ParseInt(value, 0, 1000000, &ticks)) {
                *error = std::string("malformed tick count '") + value + "'";
                return false;
            }
            o->steps.push_back({false, ticks});
        } else if (arg == "--keep") {
            if (!ParseInt(value, 0, 1, &o->keep)) {
                *error = "--keep takes 0 or 1";
                return false;
            }
        } else if (arg == "--save") {
            o->saveFile = value;
        } else if (arg == "--out") {
            o->outFile = value;
        } else if (arg == "--plugins") {
            o->plugins = value;
        } else if (arg == "--unit-ms") {
            if (!ParseInt(value, 1, 3600000, &o->unitMs)) {
                *error = std::string("malformed --unit-ms '") + value + "'";
                return false;
            }
        } else if (arg == "--pattern") {
            if (!ParseInt(value, 0, 1000, &o->pattern)) {
                *error = std::string("malformed --pattern '") + value + "'";
                return false;
            }
        } else if (takes) {
            *error = "unknown option " + arg;
            return false;
        } else {
            o->lists.push_back(arg);
            continue;
        }
        i++;
    }
    if (o->mode != "picture" && o->dxl.empty()) {
        *error = "--dxl is required";
        return false;
    }
    if (o->mode == "render" && (o->textFile.empty() || o->outFile.empty() || !o->width)) {
        *error = "render needs --text, --size and --out";
        return false;
    }
    if (o->mode == "run" && o->lists.empty()) {
        *error = "run needs at least one list";
        return false;
    }
    if (o->mode == "picture" && (o->outFile.empty() || !o->width)) {
        *error = "picture needs --size and --out";
        return false;
    }
    return true;
}
