// Where the system keeps its airplane mode: the default value of this key under
// HKEY_LOCAL_MACHINE. Exactly 1 means airplane mode is on; anything else, or no value, means off.
#pragma once

#include "platform/win_types.h"

namespace radio {

inline constexpr LPCWSTR kSystemRadioStateKey =
    L"SYSTEM\\CurrentControlSet\\Control\\RadioManagement\\SystemRadioState";
inline constexpr DWORD kAirplaneModeOn = 1;

}  // namespace radio
