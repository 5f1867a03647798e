// The radio switch driver's contract, as the service relies on it: the device interface class
// that names the switch, and the device I/O control that answers the BIOS wifi status.
#pragma once

#include "platform/win_types.h"

namespace radio {

// {248801F3-19F5-472C-A8AE-36085DB2C0A5}
inline constexpr GUID GUID_RADIO_SWITCH_INTERFACE = {
    0x248801F3, 0x19F5, 0x472C, {0xA8, 0xAE, 0x36, 0x08, 0x5D, 0xB2, 0xC0, 0xA5}};

// CTL_CODE(FILE_DEVICE_KEYBOARD 0x0B, function 1, METHOD_BUFFERED, FILE_READ_ACCESS): no input,
// a 4-byte status out.
inline constexpr DWORD IOCTL_READ_BIOS_WIFI_STATUS = 0xB4004;

// One read delivers one switch value of this size.
inline constexpr DWORD kSwitchValueBytes = 4;

}  // namespace radio
