// Whole files as bytes, and ANSI paths as the wide ones the platform's
// wide calls take (Wine's ANSI file calls mangle some double-byte names).
#pragma once

#include <string>

// False where the file cannot be opened or read whole, or is larger than
// maxBytes.
bool ReadWholeFile(const std::string& path, std::string* bytes, unsigned long long maxBytes = 64 << 20);
bool WriteWholeFile(const std::string& path, const void* bytes, size_t size);

// The text in the ANSI code page as UTF-16, up to its first zero.
std::wstring WideFromAnsi(const std::string& text);
