/* The public headers compile as C, and the library links into a C program. */
#include <stdio.h>
#include <string.h>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

/* A domain and a route through the C API, on the software platform. */
static int route_round_trip(void) {
    zel_sim_t *sim = zel_sim_create(NULL);
    zel_module_t *m = sim ? zel_sim_module_new(sim, "zel_ip", 0, 1) : NULL;
    zel_ip_vrd_handle_t vrd = NULL;
    uint32_t id = 5;
    zel_ip_route_params_t r;
    int bad = !m || zel_ip_init(m) != 0;
    memset(&r, 0, sizeof r);
    if (!bad) bad = zel_ip_vrd_create(m, &id, &vrd) != 0;
    r.vrd = vrd;
    r.dest = 0x0a010000u;
    r.prefix_len = 16;
    r.next_hop = 0xc0000201u;
    if (!bad) bad = zel_ip_route_add(m, &r) != 0 || zel_ip_route_delete(m, &r) != 0;
    if (!bad) bad = zel_ip_vrd_delete(m, vrd) != 0 || zel_ip_shutdown(m) != 0;
    if (m) zel_sim_module_free(m);
    if (sim) zel_sim_destroy(sim);
    return bad;
}

int main(void) {
    if (strcmp(zel_ipv4_error_name(ZEL_IP_E_INVALID_MTU), "ZEL_IP_E_INVALID_MTU") != 0) {
        printf("unexpected error name\n");
        return 1;
    }
    if (route_round_trip()) {
        printf("route round trip failed\n");
        return 1;
    }
    return 0;
}
