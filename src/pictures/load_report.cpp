#include "pictures/load_report.h"

#include <cstdio>
#include <cstring>

#include "chip/dbcs.h"
#include "common/susie.h"

static const char* SusieResultName(DWORD code)
{
    switch (static_cast<int>(code)) {
    case SPI_NOT_IMPLEMENTED: return "not implemented";
    case SPI_ABORTED: return "aborted";
    case SPI_UNKNOWN_FORMAT: return "unknown format";
    case SPI_BROKEN_DATA: return "broken data";
    case SPI_NO_MEMORY: return "no memory";
    case SPI_MEMORY_ERROR: return "memory error";
    case SPI_FILE_READ_ERROR: return "file read error";
    case SPI_INTERNAL_ERROR: return "internal error";
    }
    return "unknown code";
}

// The plug-in's file name without its folder, or "a plug-in".
static void PluginName(HMODULE plugin, char (&name)[MAX_PATH])
{
    char path[MAX_PATH];
    DWORD length = plugin ? GetModuleFileNameA(plugin, path, MAX_PATH) : 0;
    if (length == 0 || length >= MAX_PATH) {
        lstrcpynA(name, "a plug-in", MAX_PATH);
        return;
    }
    int slash = FindLastSeparator(path, length);
    lstrcpynA(name, path + slash + 1, MAX_PATH);
}

int FormatLoadFailure(const char* path, const LoadReport& report, char* buffer, int size)
{
    if (!buffer || size <= 0)
        return 0;
    char plugin[MAX_PATH];
    PluginName(report.plugin, plugin);
    char why[MAX_PATH + 128];
    switch (report.failure) {
    case kLoadNoFile:
        if (report.code == ERROR_FILE_NOT_FOUND || report.code == ERROR_PATH_NOT_FOUND)
            snprintf(why, sizeof(why), "no such file");
        else
            snprintf(why, sizeof(why), "the file cannot be read (error %lu)", static_cast<unsigned long>(report.code));
        break;
    case kLoadBadBitmap:
        snprintf(why, sizeof(why), "a bitmap file whose headers do not match its pixels, or too large to hold");
        break;
    case kLoadPlatformFailed:
        snprintf(why, sizeof(why), "the platform could not read the bitmap");
        break;
    case kLoadNoPlugin:
        snprintf(why, sizeof(why), "no plug-in takes the file");
        break;
    case kLoadPluginError:
        snprintf(why, sizeof(why), "%s returned %d (%s)", plugin, static_cast<int>(report.code),
                 SusieResultName(report.code));
        break;
    case kLoadPluginFault:
        snprintf(why, sizeof(why), "%s faulted (exception 0x%08lX) and is not used again", plugin,
                 static_cast<unsigned long>(report.code));
        break;
    case kLoadPluginBlocks:
        snprintf(why, sizeof(why), "%s handed back a picture whose blocks do not match", plugin);
        break;
    case kLoadNoMemory:
        snprintf(why, sizeof(why), "no memory for the picture");
        break;
    case kLoadPluginHung:
        snprintf(why, sizeof(why), "%s did not answer within %lu ms; its helper was ended and it is not used again",
                 plugin, static_cast<unsigned long>(report.code));
        break;
    case kLoadHelperEnded:
        if (report.plugin)
            snprintf(why, sizeof(why), "%s ended the plug-in helper (exit code 0x%08lX) and is not used again", plugin,
                     static_cast<unsigned long>(report.code));
        else
            snprintf(why, sizeof(why), "the plug-in helper ended (exit code 0x%08lX)",
                     static_cast<unsigned long>(report.code));
        break;
    default:
        buffer[0] = '\0';
        return 0;
    }
    int length = snprintf(buffer, size, "Ovilune: load error: %s: %s%s\n", path ? path : "", why,
                          report.offThread ? " (reading ahead)" : "");
    return length < 0 ? 0 : length < size ? length : size - 1;
}

void ReportLoadFailure(const char* path, const LoadReport& report)
{
    char line[1024];
    if (FormatLoadFailure(path, report, line, sizeof(line)) > 0)
        OutputDebugStringA(line);
}
