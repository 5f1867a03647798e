#include "service/diagnostic_text.h"

namespace diagnostic {

namespace {

// The eight digits and a terminator, into a buffer of the caller's: no memory is taken.
void Hex8Into(DWORD code, wchar_t (&digits)[9]) {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    for (int i = 7; i >= 0; --i) {
        digits[i] = kDigits[code & 0xF];
        code >>= 4;
    }
    digits[8] = L'\0';
}

}  // namespace

std::wstring Hex8(DWORD code) {
    wchar_t digits[9];
    Hex8Into(code, digits);
    return digits;
}

void FailedText(LPCWSTR label, DWORD code, wchar_t* text, std::size_t textChars) {
    if (textChars == 0) return;
    std::size_t length = 0;
    auto append = [&](const wchar_t* piece) {
        for (; *piece != L'\0' && length + 1 < textChars; ++piece) text[length++] = *piece;
    };
    wchar_t digits[9];
    Hex8Into(code, digits);
    append(label);
    append(L" failed w/err 0x");
    append(digits);
    text[length] = L'\0';
}

const wchar_t* BoolText(bool value) {
    return value ? L"TRUE" : L"FALSE";
}

std::wstring RecordText(const wchar_t* operation, const wchar_t* key, unsigned long long value) {
    return std::wstring(operation) + L", " + key + L": " + std::to_wstring(value);
}

}  // namespace diagnostic
