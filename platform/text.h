// Text conversions shared by both platform implementations and the tools: wide strings are
// UTF-16 on Windows and UTF-32 elsewhere, and leave the process as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string Utf8FromWide(std::wstring_view wide);
std::wstring WideFromUtf8(std::string_view utf8);
// Case-insensitive comparison of ASCII letters; other characters compare as they are.
bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);
std::wstring AsciiLower(std::wstring_view text);

}  // namespace platform
