// event_viewer: the descriptions that Event Viewer shows for records of an event source, found
// the way it finds them: the source's EventMessageFile under the Application log's key, that file
// loaded as a data file, and FormatMessageW of the record's event identifier with the record's
// insertion strings. Test code only (tests/wine/msi_e2e.sh).
//
// Usage: event_viewer SOURCE EVENT_ID <RECORDS
//   RECORDS: one record a line, its insertion strings separated by tabs, in UTF-8.
// Prints each record's description as FormatMessageW returned it, line ends of its own included,
// followed by a line feed, in UTF-8, and exits 0; prints the failed call with its error code on
// standard error and exits 1 otherwise.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kApplicationLogKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

int Fail(const char* call, DWORD error) {
    std::fprintf(stderr, "%s failed w/err 0x%08lx\n", call, error);
    return 1;
}

std::wstring Widen(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                           wide.data(), static_cast<int>(wide.size()));
    wide.resize(length);
    return wide;
}

std::string Narrow(const wchar_t* wide, int length) {
    std::string utf8(4 * static_cast<std::size_t>(length), '\0');
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8.data(),
                                         static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.resize(size);
    return utf8;
}

std::vector<std::wstring> SplitAtTabs(const std::wstring& line) {
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find(L'\t', start)) != std::wstring::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: event_viewer SOURCE EVENT_ID <RECORDS\n", stderr);
        return 1;
    }
    const std::wstring sourceKey = std::wstring(kApplicationLogKey) + argv[1];
    const DWORD eventId = std::wcstoul(argv[2], nullptr, 0);

    // A REG_EXPAND_SZ path comes back expanded, as Event Viewer expands it.
    wchar_t messageFile[MAX_PATH];
    DWORD size = sizeof messageFile;
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, sourceKey.c_str(), L"EventMessageFile",
                                        RRF_RT_REG_SZ, nullptr, messageFile, &size);
    if (status != ERROR_SUCCESS) return Fail("RegGetValueW", status);
    HMODULE module = LoadLibraryExW(messageFile, nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return Fail("LoadLibraryExW", GetLastError());

    // Binary output: the description's own line ends must reach the test unchanged.
    _setmode(_fileno(stdout), _O_BINARY);
    int result = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::vector<std::wstring> strings = SplitAtTabs(Widen(line));
        std::vector<DWORD_PTR> arguments;
        for (const std::wstring& string : strings) {
            arguments.push_back(reinterpret_cast<DWORD_PTR>(string.c_str()));
        }
        wchar_t* description = nullptr;
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                               FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           module, eventId, 0, reinterpret_cast<wchar_t*>(&description), 0,
                           reinterpret_cast<va_list*>(arguments.data()));
        if (length == 0) {
            result = Fail("FormatMessageW", GetLastError());
            break;
        }
        const std::string text = Narrow(description, static_cast<int>(length)) + "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
        LocalFree(description);
    }
    FreeLibrary(module);
    return result;
}
