// The CPU path of filter rules, shared by flow key (see
// zel_ip_filter_keys.h).
#include "filter/zel_ip_filter_keys.h"

#include <cstring>

#include "core/zel_ip_registry.h"
#include "core/zel_ip_limits.h"
#include "flow/zel_ip_cpu_path.h"

namespace zel::ip {

namespace {

constexpr const char *kCpuPathFail = "Failed to program the MTM queue ID\n";
constexpr uint32_t kFirstSlots = 64;  // a power of two

enum Part : uint32_t { kPolice, kParam, kQueue, kParts };
constexpr uint8_t kPartBit[kParts] = {kLeftPolicing, kLeftParam, kLeftQueue};

// One flow key: the users of each part, which entries the engine holds,
// and what they carry (a later user must need the same).
struct KeyUse {
    uint32_t key;
    uint8_t live;        // the slot is taken
    uint8_t present;     // kLeftPolicing, kLeftQueue: trees 16, 19 hold the entry
    uint8_t param_held;  // kHeldParam, kHeldCtx: trees 17, 18 hold the entry
    uint32_t users[kParts];
    uint32_t police_id;
    zel_ip_cpu_delivery_t delivery;
    void *mtm_queue;
    uint8_t dscp_based;
};

// Open addressing with linear probing; deletion shifts the run back, so
// no tombstones. At most 3/4 full.
struct KeyTable {
    uint32_t slots;  // a power of two
    uint32_t count;
    KeyUse slot[1];  // `slots` of them
};

size_t table_bytes(uint32_t slots) { return offsetof(KeyTable, slot) + sizeof(KeyUse) * slots; }

uint32_t home(const KeyTable &t, uint32_t key) { return (key * 2654435761u) & (t.slots - 1); }

KeyUse *find(KeyTable *t, uint32_t key) {
    if (!t) return nullptr;
    for (uint32_t i = home(*t, key);; i = (i + 1) & (t->slots - 1)) {
        KeyUse &u = t->slot[i];
        if (!u.live) return nullptr;
        if (u.key == key) return &u;
    }
}

KeyUse *place(KeyTable &t, uint32_t key) {
    uint32_t i = home(t, key);
    while (t.slot[i].live) i = (i + 1) & (t.slots - 1);
    KeyUse &u = t.slot[i];
    u = KeyUse{};
    u.key = key;
    u.live = 1;
    ++t.count;
    return &u;
}

// The record of `key`, made (the table made or grown first) when there is
// none; NULL when memory is short.
KeyUse *find_or_add(ZelIpPriv &p, uint32_t key) {
    auto *t = static_cast<KeyTable *>(p.filter_keys);
    if (KeyUse *u = find(t, key)) return u;
    if (!t || (t->count + 1) * 4 > t->slots * 3) {
        const uint32_t slots = t ? t->slots * 2 : kFirstSlots;
        auto *n = static_cast<KeyTable *>(obj_alloc(table_bytes(slots), ObjKind::kTable));
        if (!n) return nullptr;
        n->slots = slots;
        if (t) {
            for (uint32_t i = 0; i < t->slots; ++i)
                if (t->slot[i].live) *place(*n, t->slot[i].key) = t->slot[i];
            obj_free(t);
        }
        p.filter_keys = t = n;
    }
    return place(*t, key);
}

// Frees the slot of `u` once nothing of its key is used or held.
void forget_if_idle(ZelIpPriv &p, KeyUse *u) {
    auto *t = static_cast<KeyTable *>(p.filter_keys);
    if (!t || !u || u->present || u->param_held) return;
    for (uint32_t n : u->users)
        if (n) return;
    const uint32_t mask = t->slots - 1;
    uint32_t i = static_cast<uint32_t>(u - t->slot);
    t->slot[i].live = 0;
    --t->count;
    // Move back every later member of the run whose home is not between
    // the hole and itself.
    for (uint32_t j = (i + 1) & mask; t->slot[j].live; j = (j + 1) & mask) {
        const uint32_t h = home(*t, t->slot[j].key);
        const bool stays = i <= j ? (h > i && h <= j) : (h > i || h <= j);
        if (stays) continue;
        t->slot[i] = t->slot[j];
        t->slot[j].live = 0;
        i = j;
    }
    // An empty table goes: a module without filter CPU paths holds none.
    if (t->count == 0) {
        obj_free(t);
        p.filter_keys = nullptr;
    }
}

constexpr uint32_t kAssocIdWords = (kIngressAssocFlows + 63) / 64;

// Bit of association id `ns_id` in the bitmap: word and mask, or false
// outside the pool.
bool assoc_bit(uint32_t ns_id, uint32_t *word, uint64_t *mask) {
    if (ns_id < kIngressAssocBase || ns_id - kIngressAssocBase >= kIngressAssocFlows) return false;
    const uint32_t i = ns_id - kIngressAssocBase;
    *word = i / 64;
    *mask = 1ULL << (i % 64);
    return true;
}

bool assoc_queue_marked(const ZelIpPriv &p, uint32_t key) {
    uint32_t w;
    uint64_t bit;
    return p.assoc_queue_ids && assoc_bit(key, &w, &bit) && (p.assoc_queue_ids[w] & bit);
}

bool polices(const zel_ip_filter_action_t &a) { return a.police == 1; }
bool to_cpu(const zel_ip_filter_action_t &a) { return a.type == ZEL_IP_FILTER_CPU; }

bool same_delivery(const zel_ip_cpu_delivery_t &x, const zel_ip_cpu_delivery_t &y) {
    return x.kind == y.kind && x.target == y.target && x.cb_fn_id == y.cb_fn_id &&
           x.context_flow_id == y.context_flow_id;
}

// Whether the part's entries are all there (a later user can share them).
bool whole(const KeyUse &u, Part part) {
    if (part == kParam) return u.param_held == (kHeldParam | kHeldCtx);
    return (u.present & kPartBit[part]) != 0;
}

// Whether anything of the part is in the engine.
bool any_held(const KeyUse &u, Part part) {
    return part == kParam ? u.param_held != 0 : (u.present & kPartBit[part]) != 0;
}

// Learns the part's entries (over whatever of them is there).
uint32_t learn(Call &c, KeyUse &u, Part part) {
    uint32_t st = 0;
    switch (part) {
        case kPolice:
            if ((st = zel_ip_cpu_flow_policing_config(c.m, u.key, u.police_id, 1)) == 0) u.present |= kLeftPolicing;
            break;
        case kParam:
            st = cpu_flow_param(c.m, u.key, &u.delivery, 1, &u.param_held);
            break;
        default:
            if ((st = zel_ip_cpu_flow_mtm_config(c.m, u.key, u.mtm_queue, u.dscp_based, 1)) == 0)
                u.present |= kLeftQueue;
            break;
    }
    return st;
}

// Unlearns what the engine holds of the part; the messages name the key.
uint32_t unlearn(Call &c, KeyUse &u, Part part) {
    uint32_t st = 0;
    switch (part) {
        case kPolice:
            if (!(u.present & kLeftPolicing)) return 0;
            if ((st = zel_ip_cpu_flow_policing_config(c.m, u.key, 0, 0)) == 0) {
                u.present &= static_cast<uint8_t>(~kLeftPolicing);
                return 0;
            }
            ZLOG_ERROR(c.m, "Failed to remove the CPU path Policing configuration for filterId %d\n",
                       static_cast<int>(u.key));
            return st;
        case kParam:
            if ((st = cpu_flow_param(c.m, u.key, nullptr, 0, &u.param_held)) == 0) return 0;
            ZLOG_ERROR(c.m, "Failed to remove the CPU path parameter configuration for filterId %d\n",
                       static_cast<int>(u.key));
            return st;
        default:
            if (!(u.present & kLeftQueue)) return 0;
            if ((st = zel_ip_cpu_flow_mtm_config(c.m, u.key, nullptr, 0, 0)) == 0) {
                u.present &= static_cast<uint8_t>(~kLeftQueue);
                return 0;
            }
            ZLOG_ERROR(c.m, "Failed to remove the CPU path MTM queue ID for filterId %d\n",
                       static_cast<int>(u.key));
            return st;
    }
}

}  // namespace

uint32_t cpu_path_add(Call &c, uint32_t key, const zel_ip_filter_action_t &a, uint32_t police_id,
                      uint8_t *held) {
    bool need[kParts] = {polices(a), to_cpu(a), to_cpu(a)};
    if (!need[kPolice] && !need[kParam]) return 0;
    if (need[kQueue] && assoc_queue_marked(*c.priv, key))
        return ZREJECT(c.m, error(ZEL_E_INVALID_STATE),
                       "CPU path of flow key 0x%x is in use by ingress association ID 0x%x\n", key, key);
    KeyUse *u = find_or_add(*c.priv, key);
    if (!u) return ZFAIL_FATAL(c.m, kNoMemory, "Failed to allocate memory for the CPU path of flow key 0x%x\n", key);
    // 1. What the entries already used carry must be what this user needs.
    const zel_ip_cpu_delivery_t d{a.cpu_kind, a.cpu_target, a.cpu_cb_fn_id, a.context_flow_id};
    const bool clash = (need[kPolice] && u->users[kPolice] && u->police_id != police_id) ||
                       (need[kParam] && u->users[kParam] && !same_delivery(u->delivery, d)) ||
                       (need[kQueue] && u->users[kQueue] &&
                        (u->mtm_queue != a.mtm_queue || u->dscp_based != a.dscp_cpu_queue));
    if (clash) {
        forget_if_idle(*c.priv, u);
        return ZREJECT(c.m, error(ZEL_E_INVALID_STATE),
                       "CPU path of flow key 0x%x is in use by another filter rule with other parameters\n", key);
    }
    // 2. Part by part: share whole entries, else learn them. A part with
    //    anything of it in the engine afterwards is the user's to give back.
    for (uint32_t part = kPolice; part < kParts; ++part) {
        if (!need[part]) continue;
        const Part pt = static_cast<Part>(part);
        uint32_t st = 0;
        if (!(u->users[part] && whole(*u, pt))) {
            if (u->users[part] == 0) {
                if (pt == kPolice) u->police_id = police_id;
                if (pt == kParam) u->delivery = d;
                if (pt == kQueue) u->mtm_queue = a.mtm_queue, u->dscp_based = a.dscp_cpu_queue;
            }
            st = learn(c, *u, pt);
        }
        if (st == 0 || any_held(*u, pt)) {
            ++u->users[part];
            *held |= kPartBit[part];
        }
        if (st) {
            forget_if_idle(*c.priv, u);
            return ZFAIL_FATAL(c.m, fatal(st), kCpuPathFail);
        }
    }
    return 0;
}

uint32_t cpu_path_remove(Call &c, uint32_t key, uint8_t *held) {
    KeyUse *u = find(static_cast<KeyTable *>(c.priv->filter_keys), key);
    if (!u) {
        *held = static_cast<uint8_t>(*held & ~(kLeftPolicing | kLeftParam | kLeftQueue));
        return 0;
    }
    uint32_t result = 0;
    for (uint32_t part = kPolice; part < kParts; ++part) {
        if (!(*held & kPartBit[part])) continue;
        const Part pt = static_cast<Part>(part);
        // The last user withdraws the entries; the use goes with them.
        if (u->users[part] <= 1) {
            if (uint32_t st = unlearn(c, *u, pt)) {
                result = st;
                continue;
            }
        }
        if (u->users[part]) --u->users[part];
        *held = static_cast<uint8_t>(*held & ~kPartBit[part]);
    }
    forget_if_idle(*c.priv, u);
    return result;
}

bool rule_queue_key(const ZelIpPriv &p, uint32_t key) {
    const KeyUse *u = find(static_cast<KeyTable *>(p.filter_keys), key);
    return u && (u->users[kQueue] || (u->present & kLeftQueue));
}

uint32_t assoc_queue_mark(Call &c, uint32_t ns_id) {
    uint32_t w;
    uint64_t bit;
    if (!assoc_bit(ns_id, &w, &bit)) return 0;
    ZelIpPriv &p = *c.priv;
    if (!p.assoc_queue_ids) {
        p.assoc_queue_ids = static_cast<uint64_t *>(obj_alloc(kAssocIdWords * sizeof(uint64_t), ObjKind::kTable));
        if (!p.assoc_queue_ids)
            return ZFAIL_FATAL(c.m, kNoMemory, "Failed to allocate memory for the CPU path of flow key 0x%x\n", ns_id);
    }
    p.assoc_queue_ids[w] |= bit;
    return 0;
}

void assoc_queue_unmark(ZelIpPriv &p, uint32_t ns_id) {
    uint32_t w;
    uint64_t bit;
    if (p.assoc_queue_ids && assoc_bit(ns_id, &w, &bit)) p.assoc_queue_ids[w] &= ~bit;
}

void cpu_path_abandon(Call &c, uint32_t key, uint8_t held) {
    KeyUse *u = find(static_cast<KeyTable *>(c.priv->filter_keys), key);
    if (!u) return;
    for (uint32_t part = kPolice; part < kParts; ++part)
        if ((held & kPartBit[part]) && u->users[part]) --u->users[part];
    forget_if_idle(*c.priv, u);
}

}  // namespace zel::ip
