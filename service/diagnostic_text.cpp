#include "service/diagnostic_text.h"

namespace diagnostic {

namespace {
constexpr wchar_t kDigits[] = L"0123456789abcdef";
}  // namespace

std::wstring Hex8(DWORD code) {
    std::wstring text(8, L'0');
    for (int i = 7; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[code & 0xF];
        code >>= 4;
    }
    return text;
}

void FailedText(LPCWSTR label, DWORD code, wchar_t* text, std::size_t textChars) {
    if (textChars == 0) return;
    std::size_t length = 0;
    auto append = [&](const wchar_t* piece) {
        for (; *piece != L'\0' && length + 1 < textChars; ++piece) text[length++] = *piece;
    };
    wchar_t digits[9];
    for (int i = 7; i >= 0; --i) {
        digits[i] = kDigits[code & 0xF];
        code >>= 4;
    }
    digits[8] = L'\0';
    append(label);
    append(L" failed w/err 0x");
    append(digits);
    text[length] = L'\0';
}

const wchar_t* BoolText(bool value) {
    return value ? L"TRUE" : L"FALSE";
}

}  // namespace diagnostic
