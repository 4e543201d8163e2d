// The entry ledger (see zel_ip_ledger.h).
#include "tree/zel_ip_ledger.h"

#include "core/zel_ip_priv.h"
#include "core/zel_ip_status_internal.h"
#include "tree/zel_ip_layout.h"
#include "tree/zel_ip_tree.h"

namespace zel::ip {

namespace {
constexpr uint32_t kIntfKeyTree = 23;  // the per-interface trees, by their first
const char kOrphaned = 0;              // owner of entries left by a failed create
}  // namespace

uint64_t ledger_addr_key(uint32_t tree, uint32_t vrd, uint32_t addr, uint32_t len) {
    const uint32_t prefix = len == 0 ? 0 : len >= 32 ? addr : addr & ~(0xffffffffu >> len);
    return static_cast<uint64_t>(tree & 0x3f) << 56 | static_cast<uint64_t>(len & 0x3f) << 48 |
           static_cast<uint64_t>(vrd & 0x3f) << 32 | prefix;
}

uint64_t ledger_intf_key(uint32_t intf_id) {
    return static_cast<uint64_t>(kIntfKeyTree) << 56 | static_cast<uint64_t>(16) << 48 |
           (intf_id & 0xffff);
}

uint64_t ledger_sip_key(uint32_t intf_id, uint32_t addr, uint32_t len) {
    const uint32_t prefix = len == 0 ? 0 : len >= 32 ? addr : addr & ~(0xffffffffu >> len);
    return static_cast<uint64_t>(22) << 56 | static_cast<uint64_t>(len & 0x3f) << 48 |
           static_cast<uint64_t>(intf_id & 0xffff) << 32 | prefix;
}

const void *Ledger::owner(uint64_t key) const noexcept {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : it->second.own;
}

bool Ledger::reserve(uint64_t key) noexcept {
    try {
        map_.try_emplace(key);
        return true;
    } catch (...) {
        return false;
    }
}

void Ledger::set(uint64_t key, const void *own, uint64_t via) noexcept {
    auto it = map_.find(key);
    if (it == map_.end()) {
        if (!own && via == 0) return;
        // Callers reserve first; should the room be missing all the same,
        // the claim is lost rather than an exception thrown.
        try {
            it = map_.emplace(key, Holder{}).first;
        } catch (...) {
            return;
        }
    }
    const uint64_t old_via = it->second.via;
    it->second.own = own;
    it->second.via = via;
    if (old_via != via) {
        if (old_via != 0) {
            auto u = map_.find(old_via);
            if (u != map_.end() && u->second.users > 0) --u->second.users;
        }
        if (via != 0) {
            auto u = map_.find(via);
            if (u != map_.end()) ++u->second.users;
        }
    }
    it = map_.find(key);
    if (it != map_.end() && it->second.empty()) map_.erase(it);
}

void Ledger::claim(uint64_t key, const void *obj) noexcept { set(key, obj, 0); }

void Ledger::release(uint64_t key, const void *obj) noexcept {
    if (owns(key, obj)) {
        auto it = map_.find(key);
        it->second.closing = false;
        set(key, nullptr, 0);
    }
}

void Ledger::replace(uint64_t key, uint64_t via) noexcept { set(key, nullptr, via); }

uint32_t Ledger::route_users(uint64_t intf_key) const noexcept {
    auto it = map_.find(intf_key);
    return it == map_.end() ? 0 : it->second.users;
}

void Ledger::set_closing(uint64_t intf_key) noexcept {
    auto it = map_.find(intf_key);
    if (it != map_.end()) it->second.closing = true;
}

bool Ledger::closing(uint64_t intf_key) const noexcept {
    auto it = map_.find(intf_key);
    return it != map_.end() && it->second.closing;
}

void Ledger::orphan(const void *obj) noexcept {
    for (auto &kv : map_)
        if (kv.second.own == obj) kv.second.own = &kOrphaned;
}

size_t Ledger::size() const noexcept {
    size_t n = 0;
    for (const auto &kv : map_) n += kv.second.empty() ? 0 : 1;
    return n;
}

Ledger &ledger_of(ZelIpPriv &p) { return *p.ledger; }

bool engine_step_done(uint32_t status) {
    const uint32_t code = status & ~ZEL_SEV_MASK;
    return status == 0 || code == ZEL_E_SUBNET_ADD || code == ZEL_E_SUBNET_DELETE;
}

uint32_t owned_key_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, const void *owner, uint64_t key,
                         const layout::KeySpec &spec, uint32_t op, hwe_action_t a, const char *rule_msg,
                         Site s) {
    Ledger &l = ledger_of(p);
    if (op == kRuleUnlearn && !l.owns(key, owner)) return 0;
    if (op != kRuleUnlearn && !l.reserve(key))
        return fail(m, Level::kFatal, kNoMemory, s, true, "%s", "Memory allocation failed\n");
    const uint32_t st = layout::key_program(m, p.trees[tree], spec, op, a, rule_msg, s);
    if (engine_step_done(st)) {
        if (op == kRuleUnlearn) {
            l.release(key, owner);
        } else {
            l.claim(key, owner);
        }
    }
    return st;
}

uint32_t app_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, uint32_t vrd, uint32_t addr, uint32_t len,
                   uint32_t op, hwe_action_t &a, const char *rule_msg, uint64_t via, Site s) {
    Ledger &l = ledger_of(p);
    const uint64_t key = ledger_addr_key(tree, vrd, addr, len);
    if (via != 0 && !l.reserve(key))
        return fail(m, Level::kFatal, kNoMemory, s, true, "%s", "Memory allocation failed\n");
    const uint32_t st = layout::key_program(m, p.trees[tree], layout::vrd_prefix_key(vrd, addr, len), op, a,
                                            rule_msg, s);
    if (engine_step_done(st)) l.replace(key, via);
    return st;
}

uint32_t owned_entry(zel_module_t *m, ZelIpPriv &p, uint32_t tree, const void *owner, uint32_t vrd,
                     uint32_t addr, uint32_t len, uint32_t op, hwe_action_t a, const char *rule_msg,
                     Site s) {
    return owned_key_entry(m, p, tree, owner, ledger_addr_key(tree, vrd, addr, len),
                           layout::vrd_prefix_key(vrd, addr, len), op, a, rule_msg, s);
}

}  // namespace zel::ip
