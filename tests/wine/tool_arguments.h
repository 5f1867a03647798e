// Command-line arguments of the Win32 test tools under tests/wine.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cwchar>

// A whole unsigned decimal number of 32 bits; false for anything else, so that a mistyped
// argument is refused instead of read as 0.
inline bool ParseDword(const wchar_t* text, DWORD& value) {
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (*text == L'\0' || *end != L'\0' || errno != 0 || parsed > 0xFFFFFFFFul) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}
