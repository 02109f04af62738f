/* Onvif_GetSnapshot from C: the header is C, the symbol is exported. Prints "jpeg N" for a picture of
 * the device at argv[1]; exits 1 on the first thing that is not right. */
#include <stdio.h>
#include <stdlib.h>

#include "onvifc.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    unsigned char small[100];
    if (Onvif_GetSnapshot(NULL, argv[2], argv[3], small, (int)sizeof small) != ONVIF_ERR_INVALID_ARGUMENT) {
        puts("a NULL address was not refused");
        return 1;
    }
    const int size = 4 << 20;
    unsigned char* buffer = malloc((size_t)size);
    if (!buffer) return 1;
    const int n = Onvif_GetSnapshot(argv[1], argv[2], argv[3], buffer, size);
    if (n < 3 || buffer[0] != 0xFF || buffer[1] != 0xD8 || buffer[2] != 0xFF) {
        printf("no picture: %d %s\n", n, Onvif_ErrorText(n));
        free(buffer);
        return 1;
    }
    printf("jpeg %d\n", n);
    free(buffer);
    return 0;
}
