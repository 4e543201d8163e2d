// Records the module owns, and the registry of live ones.
//
// Every record behind a handle (private block, VRD, interfaces, flows,
// rule and policy sets, captures) is allocated zeroed from the platform
// allocator through obj_alloc and registered as live with its kind and
// its owner: the module whose operation allocated it (the call skeleton
// names it for the thread with OwnerScope). It is unregistered, cleared
// and freed by obj_free, or with every other record of its owner by
// obj_free_owned when the module shuts down, so the application's handles
// of a shut-down instance become invalid instead of pointing at records
// nobody frees. The registry is process-wide: handle checks take no
// module argument.
//
// Invariant: a handle check reads a record only while no other thread can
// free it. Either the checking thread holds the write lock of the record's
// owner (every free of a module's records happens under that lock), or it
// reads inside obj_check while holding the registry in read mode, and a
// free clears the record with the registry held in write mode. So a
// garbage, stale or foreign pointer is an invalid handle and never a
// crash, also while another thread deletes the object.
//
// A record allocated during an operation is published (visible to checks
// of threads that do not hold its owner's lock) when the operation's work
// ends, still under the module lock: until then its fields are being
// written. The checked fields (magics, kind words, ids) are not written
// again until obj_free clears them.
#ifndef ZEL_IP_REGISTRY_H
#define ZEL_IP_REGISTRY_H

#include <cstddef>
#include <cstdint>

namespace zel::ip {

enum class ObjKind : uint8_t {
    kPriv,       // module private block
    kVrd,
    kRuleSet,
    kPolicySet,
    kIpoe,       // IPoE interface
    kVif,        // virtual interface
    kTunnel,
    kFlow,       // flow records of every kind
    kCapture,
    kTable,      // a module-side table (e.g. the association key index)
};

// Zeroed record of `size` bytes from hwe_nvm_calloc, registered as live.
// NULL when memory (platform or registry) is short.
void *obj_alloc(size_t size, ObjKind kind);

// Unregister, clear (magics included) and free a record from obj_alloc
// (NULL is ignored). The caller holds the lock of the record's owner and
// does not write the checked fields itself: the clearing happens with the
// registry held in write mode, so no check reads a half-cleared record.
void obj_free(void *p);

// Writes a checked word of a live record (a type magic a record loses
// while it stays allocated, e.g. a filter rule pending its commit) with
// the registry held in write mode, so no check reads it half-written and
// remembered answers are looked up again.
void obj_write_checked(uint32_t *word, uint32_t value);

// Runs `read(p)` (which reads the record's magics and returns whether they
// are right) when `p` is a live record of `kind`, at a moment no other
// thread can free it; false when it is not live. `read` must only read
// the record and must not call into the registry.
bool obj_check_fn(const void *p, ObjKind kind, bool (*read)(const void *, void *), void *ctx);

template <typename Read>
bool obj_check(const void *p, ObjKind kind, Read &&read) {
    return obj_check_fn(
        p, kind, [](const void *q, void *ctx) -> bool { return (*static_cast<Read *>(ctx))(q); },
        const_cast<void *>(static_cast<const void *>(&read)));
}

// True when `p` is a live record of `kind`. Without the owner's lock the
// answer may be stale by the time it is used: checks that read the record
// use obj_check.
bool obj_live(const void *p, ObjKind kind);

// Free every live record owned by `owner` except `keep`. Returns how many
// were freed.
size_t obj_free_owned(const void *owner, const void *keep);

// Uses: a record that refers to another live record (an association to
// its interface, a filter rule to its association, ...) registers the
// use, and a delete of the used record is refused while any use remains
// (an object others refer to is never left dangling or reused under
// them). `what` names the user kind in the refusal ("ingress
// association"). A user drops its uses before it is freed; the records a
// shutdown frees drop theirs with them.
// obj_use returns false when memory is short (nothing recorded).
bool obj_use(const void *used, const void *user, const char *what);
// obj_unuse drops one use of `used` by `user`; false when there was none.
bool obj_unuse(const void *used, const void *user);
// A user of `used` (and its kind in *what), or NULL.
const void *obj_user(const void *used, const char **what);

// Names the module that owns the records its operation allocates on this
// thread, for the lifetime of the scope.
class OwnerScope {
public:
    explicit OwnerScope(const void *owner);
    ~OwnerScope();
    OwnerScope(const OwnerScope &) = delete;
    OwnerScope &operator=(const OwnerScope &) = delete;

private:
    const void *saved_;
};

// The work of an operation on `owner`, run while this thread holds the
// module's write lock (`locked`; false for a module without a lock). On
// leaving, the records the work allocated are published.
class WorkScope {
public:
    WorkScope(const void *owner, bool locked);
    ~WorkScope();
    WorkScope(const WorkScope &) = delete;
    WorkScope &operator=(const WorkScope &) = delete;

private:
    const void *saved_locked_;
    bool saved_in_work_;
};

// The module lock let go in the middle of an operation (the compaction's
// progress callback) on this thread: until the scope ends the thread holds
// no module lock and runs no work, so it uses no remembered answer and
// whatever it calls publishes its records as an operation of its own does.
// The records the interrupted work allocated are published first: calls of
// other threads may see them now.
class LockReleasedScope {
public:
    LockReleasedScope();
    ~LockReleasedScope();
    LockReleasedScope(const LockReleasedScope &) = delete;
    LockReleasedScope &operator=(const LockReleasedScope &) = delete;

private:
    const void *saved_locked_;
    bool saved_in_work_;
};

}  // namespace zel::ip

#endif  // ZEL_IP_REGISTRY_H
