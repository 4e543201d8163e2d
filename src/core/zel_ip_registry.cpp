// Registry of live module records (see zel_ip_registry.h).
//
// A check takes one of two paths:
//
//   owner's lock held          registry in read mode
//   (the operation's own       (exported checks, a record of
//    records, hot path)         another module, a first sight)
//   ----------------------     ------------------------------
//   remembered answer, no      look the record up and read its
//   registry lock              magics before releasing the lock
//
// A positive answer is remembered per thread: a few recent (record, kind,
// owner) triples, each stamped with the free generation it was found live
// in. The generation is bumped by every free while the registry is held in
// write mode, so a remembered answer means "live, and nothing at all freed
// since". It is used only while this thread holds the write lock of the
// record's owner: then no other thread can free the record between the
// generation test and the read of its magics. A stale or reused pointer
// is always looked up again. A hit costs one load of the generation and
// no lock.
#include "core/zel_ip_registry.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <pthread.h>

#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "hwe.h"

namespace zel::ip {
namespace {

struct Entry {
    ObjKind kind;
    bool published;  // visible to threads that do not hold the owner's lock
    const void *owner;
    size_t size;
};

// Reader-writer lock that lets a waiting writer in before new readers:
// exported checks may be called in a tight loop on many threads, and a
// free (a writer) must not wait for them to pause.
class WriterFirstLock {
public:
    WriterFirstLock() {
        pthread_rwlockattr_t a;
        pthread_rwlockattr_init(&a);
        pthread_rwlockattr_setkind_np(&a, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&rw_, &a);
        pthread_rwlockattr_destroy(&a);
    }
    ~WriterFirstLock() { pthread_rwlock_destroy(&rw_); }
    WriterFirstLock(const WriterFirstLock &) = delete;
    WriterFirstLock &operator=(const WriterFirstLock &) = delete;
    void lock() { pthread_rwlock_wrlock(&rw_); }
    void unlock() { pthread_rwlock_unlock(&rw_); }
    void lock_shared() { pthread_rwlock_rdlock(&rw_); }
    void unlock_shared() { pthread_rwlock_unlock(&rw_); }

private:
    pthread_rwlock_t rw_;
};

struct Use {
    const void *user;
    const char *what;
};

// Allocator of the registry's maps. Single nodes come from a pool of
// 64 KiB chunks and go back to its free list, so registering a record
// costs no call into the heap and the nodes of records made together sit
// together. Every map operation that allocates or frees runs with the
// registry held in write mode, which guards the pools too. Arrays (the
// bucket table) come from operator new. The pools live as long as the
// process (the registry's own destructor gives its nodes back to them).
class NodePool {
public:
    explicit NodePool(size_t size) : size_(size) {}
    void *take() {
        if (void *p = free_) {
            std::memcpy(&free_, p, sizeof free_);
            return p;
        }
        if (static_cast<size_t>(end_ - next_) < size_) {
            next_ = static_cast<char *>(::operator new(kChunkBytes));  // may throw: nothing changed
            end_ = next_ + kChunkBytes;
        }
        void *p = next_;
        next_ += size_;
        return p;
    }
    void give(void *p) {
        std::memcpy(p, &free_, sizeof free_);
        free_ = p;
    }

private:
    static constexpr size_t kChunkBytes = 64 * 1024;
    size_t size_;
    void *free_ = nullptr;  // linked through the nodes' first bytes
    char *next_ = nullptr, *end_ = nullptr;
};

template <class T>
struct NodeAlloc {
    using value_type = T;
    NodeAlloc() = default;
    template <class U>
    NodeAlloc(const NodeAlloc<U> &) {}
    T *allocate(size_t n) {
        if (n != 1) return static_cast<T *>(::operator new(n * sizeof(T)));
        return static_cast<T *>(pool().take());
    }
    void deallocate(T *p, size_t n) {
        if (n != 1) return ::operator delete(p);
        pool().give(p);
    }
    template <class U>
    bool operator==(const NodeAlloc<U> &) const { return true; }

private:
    static constexpr size_t kSize = (sizeof(T) + alignof(T) - 1) / alignof(T) * alignof(T);
    static_assert(kSize >= sizeof(void *) && alignof(T) <= alignof(std::max_align_t));
    static NodePool &pool() {
        static NodePool *p = new NodePool(kSize);  // never destroyed, see above
        return *p;
    }
};

template <class V>
using PtrMap = std::unordered_map<const void *, V, std::hash<const void *>, std::equal_to<const void *>,
                                  NodeAlloc<std::pair<const void *const, V>>>;
template <class V>
using PtrMultimap = std::unordered_multimap<const void *, V, std::hash<const void *>,
                                            std::equal_to<const void *>,
                                            NodeAlloc<std::pair<const void *const, V>>>;

// Buckets for this many records from the start: a module at the scale of
// its namespaces (71,164 ingress and 70,365 egress associations, 1,600
// egress flows, the interfaces) registers without the map stopping to
// rehash everything, which would stall one create for milliseconds.
constexpr size_t kRecordsReserved = 1u << 18;

struct Registry {
    WriterFirstLock mu;
    PtrMap<Entry> live;                             // guarded by mu
    PtrMultimap<Use> uses;                          // by the used record; guarded by mu
    Registry() { live.reserve(kRecordsReserved); }
};

Registry &registry() {
    static Registry r;
    return r;
}

// Bumped under the registry's write lock by every free.
std::atomic<uint64_t> g_free_gen{0};

thread_local const void *t_owner = nullptr;
// The module whose write lock this thread holds (NULL: none).
thread_local const void *t_locked __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local bool t_in_work __attribute__((tls_model("initial-exec"))) = false;
// Records allocated by the running work, with their entries (a map node
// stays where it is until erased), published when the work ends.
thread_local std::vector<std::pair<void *, Entry *>> t_pending;

// Recent live answers of this thread.
struct Known {
    const void *p;
    const void *owner;
    ObjKind kind;
    uint64_t gen;
};
constexpr unsigned kKnown = 4;
thread_local Known t_known[kKnown] __attribute__((tls_model("initial-exec"))) = {};
thread_local unsigned t_known_next __attribute__((tls_model("initial-exec"))) = 0;

// Caller holds the registry in write mode: the record leaves the map and
// is cleared before anyone can reuse its memory.
void unregister_locked(Registry &r, PtrMap<Entry>::iterator it) {
    void *p = const_cast<void *>(it->first);
    const size_t size = it->second.size;
    r.live.erase(it);
    std::memset(p, 0, size);
}

void forget_pending(void *p) {
    if (t_pending.empty()) return;
    t_pending.erase(std::remove_if(t_pending.begin(), t_pending.end(), [p](const auto &e) { return e.first == p; }),
                    t_pending.end());
}

void publish_pending() {
    if (t_pending.empty()) return;
    Registry &r = registry();
    {
        std::unique_lock<WriterFirstLock> g(r.mu);
        for (auto &e : t_pending) e.second->published = true;
    }
    t_pending.clear();
}

}  // namespace

void *obj_alloc(size_t size, ObjKind kind) {
    if (size > UINT32_MAX) return nullptr;
    void *p = hwe_nvm_calloc(1, static_cast<uint32_t>(size));
    if (!p) return nullptr;
    Registry &r = registry();
    Entry *e = nullptr;
    try {
        if (t_in_work) t_pending.reserve(t_pending.size() + 1);
        std::unique_lock<WriterFirstLock> g(r.mu);
        e = &(r.live[p] = Entry{kind, !t_in_work, t_owner, size});
    } catch (...) {
        hwe_nvm_free(p);
        return nullptr;
    }
    if (t_in_work) t_pending.emplace_back(p, e);
    return p;
}

void obj_free(void *p) {
    if (!p) return;
    Registry &r = registry();
    {
        std::unique_lock<WriterFirstLock> g(r.mu);
        auto it = r.live.find(p);
        if (it != r.live.end()) unregister_locked(r, it);
        if (!r.uses.empty()) r.uses.erase(p);
        g_free_gen.fetch_add(1, std::memory_order_release);
    }
    forget_pending(p);
    hwe_nvm_free(p);
}

void obj_write_checked(uint32_t *word, uint32_t value) {
    Registry &r = registry();
    std::unique_lock<WriterFirstLock> g(r.mu);
    *word = value;
    g_free_gen.fetch_add(1, std::memory_order_release);
}

bool obj_check_fn(const void *p, ObjKind kind, bool (*read)(const void *, void *), void *ctx) {
    if (!p) return false;
    // 1. Remembered live, nothing freed since, and only this thread can
    //    free it now.
    const uint64_t gen = g_free_gen.load(std::memory_order_acquire);
    const void *locked = t_locked;
    if (locked) {
        for (const Known &k : t_known)
            if (k.p == p && k.kind == kind && k.gen == gen && k.owner == locked) return read(p, ctx);
    }
    // 2. Ask the map and read the record before letting go of it; remember
    //    a live answer with the generation read before asking (a free
    //    meanwhile makes it stale at once).
    Registry &r = registry();
    const void *owner = nullptr;
    {
        std::shared_lock<WriterFirstLock> g(r.mu);
        auto it = r.live.find(p);
        if (it == r.live.end() || it->second.kind != kind) return false;
        owner = it->second.owner;
        if (!it->second.published && (!locked || owner != locked)) return false;
        if (!read(p, ctx)) return false;
    }
    t_known[t_known_next++ % kKnown] = {p, owner, kind, gen};
    return true;
}

bool obj_live(const void *p, ObjKind kind) {
    return obj_check(p, kind, [](const void *) { return true; });
}

size_t obj_free_owned(const void *owner, const void *keep) {
    if (!owner) return 0;
    Registry &r = registry();
    std::vector<void *> mine;
    {
        std::unique_lock<WriterFirstLock> g(r.mu);
        for (auto it = r.live.begin(); it != r.live.end();) {
            if (it->second.owner == owner && it->first != keep) {
                mine.push_back(const_cast<void *>(it->first));
                auto next = std::next(it);
                unregister_locked(r, it);
                it = next;
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
        if (!mine.empty()) g_free_gen.fetch_add(1, std::memory_order_release);
    }
    for (void *p : mine) {
        forget_pending(p);
        hwe_nvm_free(p);
    }
    return mine.size();
}

bool obj_use(const void *used, const void *user, const char *what) {
    Registry &r = registry();
    try {
        std::unique_lock<WriterFirstLock> g(r.mu);
        r.uses.emplace(used, Use{user, what});
    } catch (...) {
        return false;
    }
    return true;
}

bool obj_unuse(const void *used, const void *user) {
    Registry &r = registry();
    std::unique_lock<WriterFirstLock> g(r.mu);
    auto range = r.uses.equal_range(used);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.user == user) {
            r.uses.erase(it);
            return true;
        }
    }
    return false;
}

const void *obj_user(const void *used, const char **what) {
    Registry &r = registry();
    std::shared_lock<WriterFirstLock> g(r.mu);
    auto it = r.uses.find(used);
    if (it == r.uses.end()) return nullptr;
    if (what) *what = it->second.what;
    return it->second.user;
}

OwnerScope::OwnerScope(const void *owner) : saved_(t_owner) { t_owner = owner; }
OwnerScope::~OwnerScope() { t_owner = saved_; }

WorkScope::WorkScope(const void *owner, bool locked)
    : saved_locked_(t_locked), saved_in_work_(t_in_work) {
    t_locked = locked ? owner : nullptr;
    t_in_work = true;
}

WorkScope::~WorkScope() {
    if (!saved_in_work_) publish_pending();
    t_locked = saved_locked_;
    t_in_work = saved_in_work_;
}

LockReleasedScope::LockReleasedScope() : saved_locked_(t_locked), saved_in_work_(t_in_work) {
    publish_pending();
    t_locked = nullptr;
    t_in_work = false;
}

LockReleasedScope::~LockReleasedScope() {
    t_locked = saved_locked_;
    t_in_work = saved_in_work_;
}

}  // namespace zel::ip
