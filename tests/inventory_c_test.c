/* Onvif_GetInventory from C: the header is C, the symbol is exported. Prints the result document of the
 * device at argv[1] (user argv[2], password argv[3]), then "items N"; exits 1 when the call fails. */
#include <stdio.h>

#include "onvifc.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    char document[65536];
    if (Onvif_GetInventory(document, 0, argv[1], argv[2], argv[3]) != ONVIF_ERR_INVALID_ARGUMENT) {
        puts("a buffer of no size was not refused");
        return 1;
    }
    const int n = Onvif_GetInventory(document, (int)sizeof document, argv[1], argv[2], argv[3]);
    if (n < 0) {
        printf("failed: %d %s\n", n, Onvif_ErrorText(n));
        return 1;
    }
    printf("%s\nitems %d\n", document, n);
    return 0;
}
