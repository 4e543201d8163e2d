/* The public headers compile as C, and the library links into a C program. */
#include <stdio.h>
#include <string.h>

#include "zel_ip/zel_ip.h"

int main(void) {
    if (strcmp(zel_ipv4_error_name(ZEL_IP_E_INVALID_MTU), "ZEL_IP_E_INVALID_MTU") != 0) {
        printf("unexpected error name\n");
        return 1;
    }
    return 0;
}
