/* A program that calls the module's C API and nothing of the platform: it
 * must link with nothing but `pkg-config --libs zel-ip zel-ip-sim`, also
 * under as-needed linking, because the library brings its own platform. */
#include <stdio.h>
#include <string.h>

#include "zel_ip/zel_ip.h"

int main(void) {
    int bad = 0;
    if (strcmp(zel_ipv4_error_name(ZEL_IP_E_INVALID_MTU), "ZEL_IP_E_INVALID_MTU") != 0) {
        printf("unexpected error name\n");
        bad = 1;
    }
    /* The exported tables are reachable as data. */
    if (ip_bit_mask[24] != 0xffffff00u || ip_obj_size[0].name == NULL) {
        printf("unexpected exported tables\n");
        bad = 1;
    }
    /* No module object: refused before any platform call. */
    if (zel_ip_init(NULL) != 0x30001u || zel_ipv4_valid_handle(NULL) != 0) {
        printf("a NULL module was not refused\n");
        bad = 1;
    }
    return bad;
}
