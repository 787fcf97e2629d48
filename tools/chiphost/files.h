// Whole files as bytes.
#pragma once

#include <string>
#include <vector>

bool ReadWholeFile(const std::string& path, std::string* bytes);
bool WriteWholeFile(const std::string& path, const void* bytes, size_t size);
