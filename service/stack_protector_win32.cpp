// The Windows executable's stack protector runtime: the guard value that -fstack-protector-strong
// places in each protected frame, and what ends the process when a frame's copy was overwritten
// or a checked buffer function (_FORTIFY_SOURCE) was given too small a buffer.
//
// GCC's libssp provides the same symbols, but it draws its guard from CryptoAPI, which loads a
// cryptographic provider and, with it, user32 and gdi32 into a service that has no use for them
// (Wine: ten more handles and 2.5 MB more private memory). Defined here, these symbols keep
// libssp's ssp.o out of the link; its checked functions still come from libssp.
#include <windows.h>

extern "C" {
// RtlGenRandom (advapi32), as Windows's documentation declares it.
BOOLEAN WINAPI SystemFunction036(PVOID randomBuffer, ULONG randomBufferLength);

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

// Fills the guard in place: a local whose address is taken would make this function protected
// itself, and its epilogue would find the guard changed.
__attribute__((constructor(101))) void SetStackGuard() {
    // RtlGenRandom reads the system's generator without loading a provider. Should it fail, a
    // fixed guard still catches a linear overflow, though not a deliberate one.
    if (!SystemFunction036(&__stack_chk_guard, sizeof(__stack_chk_guard)) ||
        __stack_chk_guard == nullptr)
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
