/* The second file of the partly protected probe: a function that -fstack-protector-strong would
   protect (a local array), built without it, as a file left out of the flags would be. */
#include <stdio.h>
#include <string.h>

void EchoUnprotected(const char* text) {
    char copy[32];
    strncpy(copy, text, sizeof(copy) - 1);
    copy[sizeof(copy) - 1] = '\0';
    puts(copy);
}
