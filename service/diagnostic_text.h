// Composing the service's record and console texts the same way on every platform: the C
// runtimes disagree on what %s means in wide formats, so nothing here goes through printf.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace diagnostic {

// `code` as eight lower-case hexadecimal digits with leading zeros, as printf's %08lx writes it.
std::wstring Hex8(DWORD code);

// "<label> failed w/err 0x<code>", cut to `maxChars` characters as a bounded formatter does.
std::wstring FailedText(const std::wstring& label, DWORD code, std::size_t maxChars);

// "TRUE" or "FALSE".
const wchar_t* BoolText(bool value);

}  // namespace diagnostic
