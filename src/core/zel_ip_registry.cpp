// Registry of live module records (see zel_ip_registry.h).
//
// Handle checks run on every call (the private block, then the caller's
// handles), so a positive answer is remembered per thread: a few recent
// (record, kind) pairs, each stamped with the free generation it was
// found live in. The generation is bumped by every free, after the record
// leaves the map and before its memory goes back to the platform, so a
// remembered answer is used only while no record at all has been freed
// since: a stale or reused pointer is always looked up again. A hit costs
// one load of the generation and no lock.
#include "core/zel_ip_registry.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "hwe.h"

namespace zel::ip {
namespace {

struct Entry {
    ObjKind kind;
    const void *owner;
};

struct Use {
    const void *user;
    const char *what;
};

struct Registry {
    std::shared_mutex mu;
    std::unordered_map<const void *, Entry> live;
    std::unordered_multimap<const void *, Use> uses;  // by the used record
};

thread_local const void *t_owner = nullptr;

Registry &registry() {
    static Registry r;
    return r;
}

std::atomic<uint64_t> g_free_gen{0};

// Recent live answers of this thread.
struct Known {
    const void *p;
    ObjKind kind;
    uint64_t gen;
};
constexpr unsigned kKnown = 4;
thread_local Known t_known[kKnown] __attribute__((tls_model("initial-exec"))) = {};
thread_local unsigned t_known_next __attribute__((tls_model("initial-exec"))) = 0;

// Called with the record out of the map, before its memory is reused.
void freed() { g_free_gen.fetch_add(1, std::memory_order_acq_rel); }

}  // namespace

void *obj_alloc(size_t size, ObjKind kind) {
    if (size > UINT32_MAX) return nullptr;
    void *p = hwe_nvm_calloc(1, static_cast<uint32_t>(size));
    if (!p) return nullptr;
    Registry &r = registry();
    try {
        std::unique_lock<std::shared_mutex> g(r.mu);
        r.live[p] = Entry{kind, t_owner};
    } catch (...) {
        hwe_nvm_free(p);
        return nullptr;
    }
    return p;
}

void obj_free(void *p) {
    if (!p) return;
    Registry &r = registry();
    {
        std::unique_lock<std::shared_mutex> g(r.mu);
        r.live.erase(p);
        if (!r.uses.empty()) r.uses.erase(p);
    }
    freed();
    hwe_nvm_free(p);
}

bool obj_live(const void *p, ObjKind kind) {
    if (!p) return false;
    // 1. Remembered live, and nothing freed since.
    const uint64_t gen = g_free_gen.load(std::memory_order_acquire);
    for (const Known &k : t_known)
        if (k.p == p && k.kind == kind && k.gen == gen) return true;
    // 2. Ask the map; remember a live answer with the generation read
    //    before asking (a free meanwhile makes it stale at once).
    Registry &r = registry();
    {
        std::shared_lock<std::shared_mutex> g(r.mu);
        auto it = r.live.find(p);
        if (it == r.live.end() || it->second.kind != kind) return false;
    }
    t_known[t_known_next++ % kKnown] = {p, kind, gen};
    return true;
}

size_t obj_free_owned(const void *owner, const void *keep) {
    if (!owner) return 0;
    Registry &r = registry();
    std::vector<void *> mine;
    {
        std::unique_lock<std::shared_mutex> g(r.mu);
        for (auto it = r.live.begin(); it != r.live.end();) {
            if (it->second.owner == owner && it->first != keep) {
                mine.push_back(const_cast<void *>(it->first));
                it = r.live.erase(it);
            } else {
                ++it;
            }
        }
        // Uses by or of the freed records go with them.
        if (!r.uses.empty() && !mine.empty()) {
            std::sort(mine.begin(), mine.end());
            auto gone = [&](const void *p) {
                return std::binary_search(mine.begin(), mine.end(), const_cast<void *>(p));
            };
            for (auto it = r.uses.begin(); it != r.uses.end();) {
                if (gone(it->first) || gone(it->second.user)) it = r.uses.erase(it);
                else ++it;
            }
        }
    }
    if (!mine.empty()) freed();
    for (void *p : mine) hwe_nvm_free(p);
    return mine.size();
}

bool obj_use(const void *used, const void *user, const char *what) {
    Registry &r = registry();
    try {
        std::unique_lock<std::shared_mutex> g(r.mu);
        r.uses.emplace(used, Use{user, what});
    } catch (...) {
        return false;
    }
    return true;
}

void obj_unuse(const void *used, const void *user) {
    Registry &r = registry();
    std::unique_lock<std::shared_mutex> g(r.mu);
    auto range = r.uses.equal_range(used);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.user == user) {
            r.uses.erase(it);
            return;
        }
    }
}

const void *obj_user(const void *used, const char **what) {
    Registry &r = registry();
    std::shared_lock<std::shared_mutex> g(r.mu);
    auto it = r.uses.find(used);
    if (it == r.uses.end()) return nullptr;
    if (what) *what = it->second.what;
    return it->second.user;
}

OwnerScope::OwnerScope(const void *owner) : saved_(t_owner) { t_owner = owner; }
OwnerScope::~OwnerScope() { t_owner = saved_; }

}  // namespace zel::ip
