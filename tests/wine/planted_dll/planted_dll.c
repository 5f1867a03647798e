/* A planted DLL, test code only: copied beside the executable under the name of each DLL it
   loads that is no KnownDLL, it appends one line to C:\planted.log as soon as the loader runs it,
   before any code of the process that loads it. tests/wine/e2e.sh and switch_e2e.sh look for
   the line. It exports nothing: a process that resolved an import from it would not start, which
   the tests would see as well. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    WCHAR dll[MAX_PATH], exe[MAX_PATH], line[3 * MAX_PATH];
    GetModuleFileNameW(instance, dll, MAX_PATH);
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    const int length = wsprintfW(line, L"PLANTED %s loaded into %s (pid %lu)\r\n", dll, exe,
                                 GetCurrentProcessId());
    char utf8[4 * 3 * MAX_PATH];
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, line, length, utf8, (int)sizeof(utf8), NULL, NULL);
    HANDLE log =
        CreateFileW(L"C:\\planted.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log, utf8, (DWORD)bytes, &written, NULL);
        CloseHandle(log);
    }
    return TRUE;
}
