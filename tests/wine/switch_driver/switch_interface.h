// Win32 test tools only: the path of the first present switch interface, found as the service
// finds it (SetupAPI, interface index 0), or an empty string when there is none.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include <string>
#include <vector>

#include "radio/switch_device.h"

inline std::wstring FindSwitchInterfacePath() {
    HDEVINFO set = SetupDiGetClassDevsW(&radio::GUID_RADIO_SWITCH_INTERFACE, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::wstring path;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    DWORD size = 0;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &radio::GUID_RADIO_SWITCH_INTERFACE, 0,
                                    &interfaceData) &&
        !SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &size, nullptr) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
        size >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        std::vector<BYTE> block(size);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}
