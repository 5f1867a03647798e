// The Windows executable's stack protector runtime: the guard value that -fstack-protector-strong
// places in each protected frame, and what ends the process when a frame's copy was overwritten
// or a checked buffer function (_FORTIFY_SOURCE) was given too small a buffer.
//
// GCC's libssp provides the same symbols, but it draws its guard from CryptoAPI, which loads a
// cryptographic provider and, with it, user32 and gdi32 into a service that has no use for them
// (Wine: ten more handles and 2.5 MB more private memory). Defined here, these symbols keep
// libssp's ssp.o out of the link; its checked functions still come from libssp.
#include <windows.h>
// After windows.h, which bcrypt.h needs.
#include <bcrypt.h>

extern "C" {
// Never 0 while a protected function runs: set before any of the program's own constructors.
void* __stack_chk_guard = nullptr;
}

namespace {

// __fastfail: a non-continuable failure that Windows reports without running any more of the
// process's code (no handler, no unwinding through the corrupted frame).
[[noreturn]] void FastFail(unsigned int code) {
    __asm__ volatile("int $0x29" : : "c"(code));
    __builtin_unreachable();
}

// GetProcAddress's FARPROC goes through void (*)(), the one function type GCC lets every other
// be cast from and to.
decltype(::BCryptGenRandom)* GenerateRandomEntry(HMODULE bcrypt) {
    return reinterpret_cast<decltype(::BCryptGenRandom)*>(
        reinterpret_cast<void (*)()>(::GetProcAddress(bcrypt, "BCryptGenRandom")));
}

// Fills the guard in place: a local whose address is taken would make this function protected
// itself, and its epilogue would find the guard changed.
//
// The system's generator through bcrypt.dll, which is no KnownDLL and is therefore loaded from
// System32 by name, with its dependencies; what bcrypt loads later, its generator's provider, is
// kept to System32 by the process's default DLL directories, set here already, before any of the
// program's constructors, rather than in the process entry only. Not advapi32's RtlGenRandom:
// Windows forwards it to cryptbase.dll, no KnownDLL either, and the loader finds a forwarder's
// DLL as a dependency, by its module name, in the executable's folder first.
__attribute__((constructor(101))) void SetStackGuard() {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE bcrypt = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    bool seeded = false;
    if (bcrypt != nullptr) {
        if (auto* generate = GenerateRandomEntry(bcrypt))
            seeded = generate(nullptr, reinterpret_cast<PUCHAR>(&__stack_chk_guard),
                              sizeof(__stack_chk_guard), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
        ::FreeLibrary(bcrypt);
    }
    // Should that fail, a fixed guard still catches a linear overflow, though not a deliberate
    // one.
    if (!seeded || __stack_chk_guard == nullptr)
        __stack_chk_guard = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x2f8a6b4c91d3e057ull));
}

}  // namespace

extern "C" {

[[noreturn]] void __stack_chk_fail() {
    FastFail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

[[noreturn]] void __stack_chk_fail_local() {
    FastFail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

[[noreturn]] void __chk_fail() {
    FastFail(FAST_FAIL_RANGE_CHECK_FAILURE);
}

}  // extern "C"
