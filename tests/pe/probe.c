/* The smallest program whose hardening the PE check can judge: a function with a local array,
   which -fstack-protector-strong protects, and a checked copy of the C library, which
   _FORTIFY_SOURCE turns into __strcpy_chk. Built several ways by CMakeLists.txt. */
#include <stdio.h>
#include <string.h>
#ifdef IMPORT_VERSION
#include <windows.h>
#endif

#ifdef WRITABLE_CODE
/* A section that is both writable and executable, as a linker script or a "#pragma section"
   can make one by mistake. */
__asm__(".section .wxcode,\"dwx\"\n\t.byte 0xc3\n\t.text");
#endif

#ifdef WITH_PART
void EchoUnprotected(const char* text);
#endif

static void Echo(const char* text) {
    char copy[32];
    strcpy(copy, text);
    puts(copy);
}

int main(int argc, char** argv) {
    (void)argc;
    Echo(argv[0]);
#ifdef WITH_PART
    EchoUnprotected(argv[0]);
#endif
#ifdef IMPORT_VERSION
    /* version.dll is no KnownDLL: the loader would look for it beside the executable first. */
    printf("%lu\n", GetFileVersionInfoSizeW(L"kernel32.dll", NULL));
#endif
    return 0;
}
