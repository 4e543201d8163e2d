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

/* An exception handler, a NAPT rule and a CPU DSCP map entry through the
 * C API. */
static int flow_round_trip(void) {
    zel_sim_t *sim = zel_sim_create(NULL);
    zel_module_t *m = sim ? zel_sim_module_new(sim, "zel_ip", 0, 1) : NULL;
    zel_ip_exception_handler_t h;
    zel_ip_napt_rule_t r;
    const uint8_t dscp[1] = {46};
    void *queues[1];
    int bad = !m || zel_ip_init(m) != 0;
    memset(&h, 0, sizeof h);
    memset(&r, 0, sizeof r);
    h.domain = 2;
    h.type = 9;
    h.action = ZEL_IP_EXC_SEND_TO_MPP_FUNC;
    h.target.mpp_function = "zel_ip.test_exception_handler";
    r.flags = ZEL_IP_NAPT_IN_ADDR | ZEL_IP_NAPT_OUT_ADDR;
    r.in_addr = 0x0a000001u;
    r.out_addr = 0xc6336407u;
    queues[0] = sim ? zel_sim_qos_queue_new(sim, 8) : NULL;
    if (!bad)
        bad = zel_ip_exception_handler_register(m, &h) != 0 || zel_ip_exception_handler_unregister(m, &h) != 0;
    if (!bad) bad = zel_ip_napt_rule_add(m, &r) != 0 || zel_ip_napt_rule_delete(m, &r) != 0;
    if (!bad)
        bad = zel_ip_cpu_dscp_qos_map_add(m, 1, dscp, queues) != 0 || zel_ip_cpu_dscp_qos_map_delete(m, 1, dscp) != 0;
    if (!bad) bad = zel_ip_shutdown(m) != 0;
    if (m) zel_sim_module_free(m);
    if (sim) zel_sim_destroy(sim);
    return bad;
}

/* A tunnel with a route through it and a virtual interface, through the C
 * API. */
static int tunnel_round_trip(void) {
    zel_sim_t *sim = zel_sim_create(NULL);
    zel_module_t *m = sim ? zel_sim_module_new(sim, "zel_ip", 0, 1) : NULL;
    zel_ip_tunnel_params_t t;
    zel_ip_tunnel_handle_t th = NULL;
    zel_ip_vif_params_t v;
    zel_ip_vif_handle_t vh = NULL;
    zel_ip_route_params_t r;
    int bad = !m || zel_ip_init(m) != 0;
    memset(&t, 0, sizeof t);
    memset(&v, 0, sizeof v);
    memset(&r, 0, sizeof r);
    t.tunnel_id = ZEL_IP_MAX_TUNNEL_ID;
    t.local_addr = 0xc0000201u;
    t.remote_addr = 0xcb007105u;
    t.proto = 47;
    v.addr = 0x0a0a0a0au;
    if (!bad) bad = zel_ip_tunnel_interface_create(m, &t, &th) != 0;
    r.dest = 0x0a010000u;
    r.prefix_len = 16;
    r.egress_intf = th;
    if (!bad) bad = zel_ip_route_add(m, &r) != 0 || zel_ip_tunnel_interface_natt(m, th, 1) != 0;
    if (!bad) bad = zel_ip_virtual_interface_create(m, &v, &vh) != 0 || zel_ip_virtual_interface_delete(m, vh) != 0;
    if (!bad) bad = zel_ip_route_delete(m, &r) != 0 || zel_ip_tunnel_interface_delete(m, th) != 0;
    if (!bad) bad = zel_sim_demux_count(sim) != 0 || zel_ip_shutdown(m) != 0;
    if (m) zel_sim_module_free(m);
    if (sim) zel_sim_destroy(sim);
    return bad;
}

/* A Send-to-CPU association on a tunnel (the tunnel refuses its delete
 * while the association uses it), through the C API. */
static int assoc_round_trip(void) {
    zel_sim_t *sim = zel_sim_create(NULL);
    zel_module_t *m = sim ? zel_sim_module_new(sim, "zel_ip", 0, 1) : NULL;
    zel_ip_tunnel_params_t t;
    zel_ip_tunnel_handle_t th = NULL;
    zel_ip_ingress_assoc_params_t a;
    zel_ip_flow_handle_t f = NULL;
    int bad = !m || zel_ip_init(m) != 0;
    memset(&t, 0, sizeof t);
    memset(&a, 0, sizeof a);
    t.tunnel_id = 3;
    t.proto = 47;
    a.mask = ZEL_IP_IAM_INTF | ZEL_IP_IAM_PROTO;
    a.proto = 89;
    a.action = ZEL_IP_ASSOC_SEND_TO_CPU;
    a.cpu_kind = ZEL_IP_CPU_PATH_NCA;
    a.cpu_target = 4;
    if (!bad) bad = zel_ip_tunnel_interface_create(m, &t, &th) != 0;
    a.intf = th;
    if (!bad) bad = zel_ip_ingress_association_create(m, &a, &f) != 0 || !zel_ipv4_flow_valid_handle(f);
    if (!bad) bad = zel_ip_tunnel_interface_delete(m, th) != 0x3000fu;
    if (!bad) bad = zel_ip_ingress_association_delete(m, f) != 0 || zel_ip_tunnel_interface_delete(m, th) != 0;
    if (!bad) bad = zel_ip_shutdown(m) != 0;
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
    if (flow_round_trip()) {
        printf("flow round trip failed\n");
        return 1;
    }
    if (tunnel_round_trip()) {
        printf("tunnel round trip failed\n");
        return 1;
    }
    if (assoc_round_trip()) {
        printf("association round trip failed\n");
        return 1;
    }
    return 0;
}
