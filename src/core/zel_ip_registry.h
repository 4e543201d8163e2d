// Records the module owns, and the registry of live ones.
//
// Every record behind a handle (private block, VRD, interfaces, flows,
// rule and policy sets, captures) is allocated zeroed from the platform
// allocator through obj_alloc and registered as live with its kind and
// its owner: the module whose operation allocated it (the call skeleton
// names it for the thread with OwnerScope). It is unregistered and freed
// by obj_free, or with every other record of its owner by obj_free_owned
// when the module shuts down, so the application's handles of a shut-down
// instance become invalid instead of pointing at records nobody frees.
// Handle checks ask obj_live before they read a word of the record, so a
// garbage, stale or foreign pointer is an invalid handle and never a
// crash. The registry is process-wide: handle checks take no module
// argument.
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

// Unregister and free a record from obj_alloc (NULL is ignored). The
// caller clears the record's magics first.
void obj_free(void *p);

// True when `p` is a live record of `kind`.
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
void obj_unuse(const void *used, const void *user);
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

}  // namespace zel::ip

#endif  // ZEL_IP_REGISTRY_H
