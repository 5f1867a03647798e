/* The custom action DLL's stack protector runtime: the guard that -fstack-protector-strong places
   in each protected frame, and what ends the process when a frame's copy was overwritten.

   GCC's libssp provides the same symbols, but its constructor runs in DllMain, under the loader
   lock, and draws the guard from CryptoAPI, which loads a cryptographic provider there; its
   failure path calls abort(), which shows a message box, in the installer's server, as SYSTEM.
   Defined here, these symbols keep libssp's ssp.o out of the link. The guard is set at the first
   call of an action instead (SetStackGuardOnce), out of DllMain. */
#include <windows.h>
/* After windows.h, which bcrypt.h needs. */
#include <bcrypt.h>

#include "action_stack_protector.h"

/* 0 until the first action sets it: nothing of ours runs before, and a protected frame that
   started with 0 must not see it change, so it is set once only. */
void* __stack_chk_guard = NULL;

static INIT_ONCE guard_once = INIT_ONCE_STATIC_INIT;

typedef NTSTATUS WINAPI GenerateRandom(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG);

/* __fastfail: a non-continuable failure that Windows reports without running any more of the
   process's code (no handler, no unwinding through the corrupted frame). */
static __attribute__((noreturn)) void FastFail(unsigned int code) {
    __asm__ volatile("int $0x29" : : "c"(code));
    __builtin_unreachable();
}

/* The system's generator through bcrypt.dll, which is no KnownDLL and is therefore loaded from
   System32 by flag. Fills the guard in place: a local whose address is taken would make this
   function protected itself. */
static BOOL CALLBACK SetStackGuard(PINIT_ONCE once, PVOID parameter, PVOID* context) {
    (void)once;
    (void)parameter;
    (void)context;
    HMODULE bcrypt = LoadLibraryExW(L"bcrypt.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    BOOL seeded = FALSE;
    if (bcrypt != NULL) {
        /* FARPROC goes through void (*)(void), which GCC lets every function type be cast
           from and to. */
        GenerateRandom* generate =
            (GenerateRandom*)(void (*)(void))GetProcAddress(bcrypt, "BCryptGenRandom");
        if (generate != NULL)
            seeded = generate(NULL, (PUCHAR)&__stack_chk_guard, sizeof(__stack_chk_guard),
                              BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
        FreeLibrary(bcrypt);
    }
    /* Should that fail, a fixed guard still catches a linear overflow, though not a deliberate
       one. */
    if (!seeded || __stack_chk_guard == NULL)
        __stack_chk_guard = (void*)(ULONG_PTR)0x5c31e9a07b4d2f86ull;
    return TRUE;
}

void SetStackGuardOnce(void) {
    InitOnceExecuteOnce(&guard_once, SetStackGuard, NULL, NULL);
}

__attribute__((noreturn)) void __stack_chk_fail(void) {
    FastFail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

__attribute__((noreturn)) void __stack_chk_fail_local(void) {
    FastFail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

__attribute__((noreturn)) void __chk_fail(void) {
    FastFail(FAST_FAIL_RANGE_CHECK_FAILURE);
}
