// Registry of live module records (see zel_ip_registry.h).
#include "core/zel_ip_registry.h"

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

struct Registry {
    std::shared_mutex mu;
    std::unordered_map<const void *, Entry> live;
};

thread_local const void *t_owner = nullptr;

Registry &registry() {
    static Registry r;
    return r;
}

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
    }
    hwe_nvm_free(p);
}

bool obj_live(const void *p, ObjKind kind) {
    if (!p) return false;
    Registry &r = registry();
    std::shared_lock<std::shared_mutex> g(r.mu);
    auto it = r.live.find(p);
    return it != r.live.end() && it->second.kind == kind;
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
    }
    for (void *p : mine) hwe_nvm_free(p);
    return mine.size();
}

OwnerScope::OwnerScope(const void *owner) : saved_(t_owner) { t_owner = owner; }
OwnerScope::~OwnerScope() { t_owner = saved_; }

}  // namespace zel::ip
