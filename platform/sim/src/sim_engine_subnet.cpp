// Subnet databases: prefixes of 0 .. width bits, each with an action, and
// the query "closest strictly shorter stored prefix covering this key".
//
// The module keeps one beside each longest-prefix-match tree, one bit wider
// than the tree: it raises the key length by one for every database call,
// which (patterns being right-aligned) puts a 0 bit in front of the key.
// Every covering relation between tree keys is kept, and the tree's empty
// key becomes the 1-bit prefix "0", which covers every raised key - so the
// default action the module stores under it is found as the last resort.
//
// Guarantees the module's rule primitive relies on:
//  - deleting a prefix that is not stored succeeds (a full-length key is
//    deleted before its first add);
//  - find-higher returns the found prefix's own length as *extent, which
//    is one more than the tree extent because of the leading bit.
// Storage is a prefix table (sim_engine_table.h): one probe per add and
// delete, one batched probe per populated shorter length per find.
#include <algorithm>
#include <new>

#include "sim_engine.h"
#include "sim_fault.h"

namespace {

// Destroyed databases keep their (empty) shell until the process ends, so
// a stale handle reads a dead magic instead of freed memory.
struct Graveyard {
    std::mutex mu;
    std::vector<std::unique_ptr<hwe_subnet_db_t>> shells;
};
Graveyard &graveyard() {
    static Graveyard g;
    return g;
}

bool db_ok(const hwe_subnet_db_t *db) { return db && db->magic == zsim::kDbMagic; }

// The database's lock, held with its posted add made first (see Posted in
// sim_engine.h): every call but destroy reaches the store through here.
class DbAccess {
public:
    explicit DbAccess(hwe_subnet_db_t *db) : lock_(db->mu) {
        if (!db->posted.on) return;
        const zsim::Posted p = db->posted;
        db->posted.on = false;
        db->store->put(p.bits, p.len, zsim::pack_action(p.action));  // room was made
    }

private:
    std::lock_guard<std::mutex> lock_;
};

}  // namespace


extern "C" {

uint32_t hwe_subnet_create(uint32_t width, uint32_t a, uint32_t b, hwe_subnet_db_t **db) try {
    ZSIM_FAULT_POINT();
    (void)a;  // sizing hints of the engine's allocator; nothing to size here
    (void)b;
    if (!db || width == 0 || width > zsim::kMaxSubnetWidth) return HWE_E_PARAM;
    try {
        auto d = std::make_unique<hwe_subnet_db_t>();
        d->width = width;
        d->store = zsim::make_prefix_store(width);
        // A database holds the keys of its tree one bit longer, so the two
        // reach a growth point at the same call: growing at 5/8 instead
        // of 1/2 keeps their moves apart, and no stretch of calls pays for
        // both at once.
        if (d->store) d->store->set_growth(20);
        *db = d.release();
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_subnet_destroy(hwe_subnet_db_t *db) try {
    ZSIM_FAULT_POINT();
    if (!db_ok(db)) return HWE_E_PARAM;
    Graveyard &g = graveyard();
    std::lock_guard<std::mutex> gl(g.mu);
    try {
        g.shells.reserve(g.shells.size() + 1);
    } catch (const std::bad_alloc &) {
        return HWE_E_NO_MEMORY;
    }
    {
        std::lock_guard<std::mutex> l(db->mu);
        db->magic = zsim::kDbDead;
        db->posted.on = false;
        db->store.reset();
    }
    g.shells.emplace_back(db);
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_subnet_add_subnet(hwe_subnet_db_t *db, const zel_ptn_t *key,
                               const hwe_action_t *action) try {
    ZSIM_FAULT_POINT();
    if (!db_ok(db) || !key || !action || !zsim::action_valid(*action)) return HWE_E_PARAM;
    if (key->len > db->width) return HWE_E_KEY;
    DbAccess l(db);
    // Posted: the add is made by the next call reaching the database, so
    // this one does not wait for the key's slot to come from memory. Room
    // for the key is made now; a posted add cannot fail.
    if (!db->store->reserve_one(key->len)) return HWE_E_NO_MEMORY;
    const zsim::u128 bits = zsim::key_bits(key);
    db->posted = {true, key->len, bits, *action};
    db->store->prefetch(bits, key->len);
    zsim::pair_with(key, &zsim::PtnPair::db, *db->store);
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_subnet_del_subnet(hwe_subnet_db_t *db, const zel_ptn_t *key) try {
    ZSIM_FAULT_POINT();
    if (!db_ok(db) || !key) return HWE_E_PARAM;
    if (key->len > db->width) return HWE_E_KEY;
    DbAccess l(db);
    db->store->erase(zsim::key_bits(key), key->len);
    zsim::pair_with(key, &zsim::PtnPair::db, *db->store);
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t hwe_subnet_find_higher_subnet(hwe_subnet_db_t *db, const zel_ptn_t *key,
                                       uint32_t *extent, hwe_action_t *action) try {
    ZSIM_FAULT_POINT();
    if (!db_ok(db) || !key || !extent || !action) return HWE_E_PARAM;
    if (key->len > db->width) return HWE_E_KEY;
    if (key->len == 0) return HWE_E_NOT_FOUND;
    DbAccess l(db);
    zsim::u128 bits = zsim::key_bits(key);
    zsim::pair_with(key, &zsim::PtnPair::db, *db->store);
    // The delete that usually follows hits the key's own slot: start it.
    db->store->prefetch(bits, key->len);
    unsigned len;
    uint64_t v;
    if (!db->store->longest(bits, key->len, key->len - 1, &len, &v)) return HWE_E_NOT_FOUND;
    *extent = len;
    *action = zsim::unpack_action(v);
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

// ---- introspection ----------------------------------------------------------

uint32_t zel_sim_subnet_get(hwe_subnet_db_t *db, const zel_ptn_t *key, hwe_action_t *action) try {
    if (!db_ok(db) || !key || !action) return HWE_E_PARAM;
    if (key->len > db->width) return HWE_E_KEY;
    DbAccess l(db);
    const uint64_t *v = db->store->find(zsim::key_bits(key), key->len);
    if (!v) return HWE_E_NOT_FOUND;
    *action = zsim::unpack_action(*v);
    return HWE_OK;
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint32_t zel_sim_subnet_count(hwe_subnet_db_t *db) try {
    if (!db_ok(db)) return 0;
    DbAccess l(db);
    return static_cast<uint32_t>(db->store->size());
} ZSIM_CATCH(::zsim::boundary_status(__func__))

uint64_t zel_sim_subnet_bytes(hwe_subnet_db_t *db) try {
    if (!db_ok(db)) return 0;
    DbAccess l(db);
    return db->store->bytes();
} ZSIM_CATCH(0)

}  // extern "C"
