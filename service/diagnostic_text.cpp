#include "service/diagnostic_text.h"

namespace diagnostic {

std::wstring Hex8(DWORD code) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text(8, L'0');
    for (int i = 7; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[code & 0xF];
        code >>= 4;
    }
    return text;
}

std::wstring FailedText(const std::wstring& label, DWORD code, std::size_t maxChars) {
    std::wstring text = label + L" failed w/err 0x" + Hex8(code);
    if (text.size() > maxChars) text.resize(maxChars);
    return text;
}

const wchar_t* BoolText(bool value) {
    return value ? L"TRUE" : L"FALSE";
}

}  // namespace diagnostic
