#include "intf_fixture.h"

#include <cstdio>

namespace intf_test {

using zel::test::StdoutCapture;

Hit lookup(zel_sim_t *sim, zel_module_t *m, uint32_t tree, std::vector<uint32_t> values,
           std::vector<uint32_t> widths) {
    Hit h{};
    EXPECT_EQ(zel_sim_engine_lookup_fields(zel_sim_engine(sim), tree_id(m, tree),
                                           static_cast<uint32_t>(values.size()), values.data(),
                                           widths.data(), &h.a, &h.depth),
              0u)
        << "lookup in tree " << tree;
    return h;
}

Snapshot snapshot(zel_sim_t *sim, zel_module_t *m) { return zel::test::tree_snapshot(sim, m); }

uint32_t entry_count(zel_sim_t *sim, zel_module_t *m, uint32_t tree) {
    return zel_sim_engine_entry_count(zel_sim_engine(sim), tree_id(m, tree));
}

std::map<uint32_t, std::pair<uint32_t, uint32_t>> addr_slots(zel_module_t *m) {
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> out;
    const zel::ip::ZelIpPriv &p = priv(m);
    for (uint32_t i = 0; i < zel::ip::kAddrSlots; ++i)
        if (p.addr_table[i].addr != 0) out[i] = {p.addr_table[i].addr, p.addr_table[i].vrd_id};
    return out;
}

uint32_t IntfTest::create(const zel_ip_intf_params_t &p, zel_ip_intf_handle_t *h, std::string *out_text) {
    StdoutCapture cap;
    uint32_t st = zel_ip_interface_create(m_, &p, h);
    if (out_text) *out_text = cap.text();
    return st;
}

zel_ip_intf_handle_t IntfTest::make(const zel_ip_intf_params_t &p) {
    zel_ip_intf_handle_t h = nullptr;
    std::string text;
    EXPECT_EQ(create(p, &h, &text), 0u) << text;
    EXPECT_NE(h, nullptr);
    return h;
}

uint32_t IntfTest::del(zel_ip_intf_handle_t h, std::string *out_text) {
    StdoutCapture cap;
    uint32_t st = zel_ip_interface_delete(m_, h);
    if (out_text) *out_text = cap.text();
    return st;
}

uint32_t IntfTest::add(zel_ip_intf_handle_t h, uint32_t addr, uint32_t plen, std::string *out_text) {
    const uint32_t ap[2] = {addr, plen};
    StdoutCapture cap;
    uint32_t st = zel_ip_interface_addr_add(m_, h, ap);
    if (out_text) *out_text = cap.text();
    return st;
}

uint32_t IntfTest::rem(zel_ip_intf_handle_t h, uint32_t addr, uint32_t plen, std::string *out_text) {
    const uint32_t ap[2] = {addr, plen};
    StdoutCapture cap;
    uint32_t st = zel_ip_interface_addr_rem(m_, h, ap);
    if (out_text) *out_text = cap.text();
    return st;
}

std::string line_with(const std::string &text, const std::string &needle) {
    std::string found;
    int hits = 0;
    for (const std::string &l : zel::test::lines_of(zel::test::mask_sites(text))) {
        if (l.find(needle) != std::string::npos) {
            found = l;
            ++hits;
        }
    }
    return hits == 1 ? found : "";
}

}  // namespace intf_test
