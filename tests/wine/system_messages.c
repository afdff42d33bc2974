/* Prints every message text the system has for error codes 1..15999, one
 * "code:hex-of-text" line each, so that a test can tell the system's own
 * wording from anything else. Hex keeps the texts' CR LF and any line
 * breaks inside them intact through text-mode output. */
#include <stdio.h>
#include <windows.h>

int main(void) {
    for (DWORD code = 1; code < 16000; ++code) {
        char* text = NULL;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      NULL, code, 0x0400, (LPSTR)&text, 0, NULL);
        if (length > 0 && text != NULL) {
            printf("%lu:", (unsigned long)code);
            for (DWORD i = 0; i < length; ++i) {
                printf("%02x", (unsigned char)text[i]);
            }
            printf("\n");
        }
        LocalFree(text);
    }
    return 0;
}
