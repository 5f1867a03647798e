// Composing the service's record and console texts the same way on every platform: the C
// runtimes disagree on what %s means in wide formats, so nothing here goes through printf.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win_types.h"

namespace diagnostic {

// `code` as eight lower-case hexadecimal digits with leading zeros, as printf's %08lx writes it.
std::wstring Hex8(DWORD code);

// "<label> failed w/err 0x<code>" into `text`, cut to `textChars` characters with the
// terminator, as a bounded formatter does. It needs no memory, so that a failure can still be
// recorded when none is left.
void FailedText(LPCWSTR label, DWORD code, wchar_t* text, std::size_t textChars);

// "TRUE" or "FALSE".
const wchar_t* BoolText(bool value);

// "<operation>, <key>: <value>": a record that names its operation and one number, in unsigned
// decimal.
std::wstring RecordText(const wchar_t* operation, const wchar_t* key, unsigned long long value);

}  // namespace diagnostic
