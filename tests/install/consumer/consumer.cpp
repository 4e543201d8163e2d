// A C++ program on the installed package: a domain and a route on the
// software platform, the headers compiled as C++.
#include <cstdio>
#include <memory>

#include "zel_ip/zel_ip.h"
#include "zel_sim.h"

namespace {

struct SimDeleter {
    void operator()(zel_sim_t *s) const { zel_sim_destroy(s); }
};
struct ModuleDeleter {
    void operator()(zel_module_t *m) const { zel_sim_module_free(m); }
};

bool ok(const char *what, uint32_t status) {
    if (status != 0) std::printf("%s: status 0x%08x\n", what, static_cast<unsigned>(status));
    return status == 0;
}

}  // namespace

int main() {
    std::unique_ptr<zel_sim_t, SimDeleter> sim(zel_sim_create(nullptr));
    if (!sim) return 1;
    std::unique_ptr<zel_module_t, ModuleDeleter> m(zel_sim_module_new(sim.get(), "zel_ip", 0, 1));
    if (!m || !ok("init", zel_ip_init(m.get()))) return 1;
    const uint32_t id = 5;
    zel_ip_vrd_handle_t vrd = nullptr;
    zel_ip_route_params_t r{};
    r.dest = 0x0a140000u;  // 10.20.0.0/16 via 192.0.2.1
    r.prefix_len = 16;
    r.next_hop = 0xc0000201u;
    bool good = ok("vrd create", zel_ip_vrd_create(m.get(), &id, &vrd));
    r.vrd = vrd;
    uint32_t got = 0;
    good = good && zel_ipv4_vrd_valid_handle(vrd, &got) == 1 && got == id;
    good = good && ok("route add", zel_ip_route_add(m.get(), &r)) && ok("route delete", zel_ip_route_delete(m.get(), &r));
    good = good && ok("vrd delete", zel_ip_vrd_delete(m.get(), vrd)) && ok("shutdown", zel_ip_shutdown(m.get()));
    std::printf("%s\n", good ? "consumer: ok" : "consumer: FAILED");
    return good ? 0 : 1;
}
