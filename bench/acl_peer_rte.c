/*
 * Peer of acl_bench: the same rule sets with DPDK's rte_acl (Debian's
 * libdpdk-dev), never linked into the library. Built and run by
 * run_acl_peers.sh.
 *
 * For each N: 32 ACL contexts (one per rule set), rule i in context i % 32
 * with priority by its index (lower index wins), fields protocol, source
 * and destination address (masks), destination port (range) and the TOS
 * byte (range), the same generator as acl_bench. Timed: rte_acl_add_rules
 * of every rule and rte_acl_build of the 32 contexts. Then in context 0
 * (full) one rule changes its action: rte_acl has no modify, so the
 * context is reset, its rules added again and rebuilt (what a change
 * costs there), repeated RUNS times. A sample of packets is classified
 * (outside the timing) to check the contexts answer.
 *
 *   acl_peer_rte [EAL args] -- [-n N[,N...]] [-r RUNS] [-s SEED]
 * Output:
 *   RTE_ACL n=N sets=32 build_s= rules_per_s= modify_commit_us_median= modify_commit_us_min=
 */
#include <arpa/inet.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <rte_acl.h>
#include <rte_eal.h>

#define SETS 32
#define MAX_N 20000

static const char *DEFAULT_EAL[] = {"acl_peer_rte", "-l", "0", "--no-huge", "--no-pci", "-m", "1024",
                                    "--no-shconf", "--no-telemetry", "--log-level=lib.eal:error"};

/* Multi-byte fields in network byte order, as rte_acl reads packets. */
struct pkt {
    uint8_t proto;
    uint8_t pad0[3];
    uint32_t sip, dip;
    uint16_t sport, dport;
    uint8_t tos;
    uint8_t pad[3];
} __attribute__((packed));

enum { F_PROTO, F_SIP, F_DIP, F_SPORT, F_DPORT, F_TOS, F_PAD0, F_PAD1, NUM_FIELDS };

static struct rte_acl_field_def defs[NUM_FIELDS] = {
    {RTE_ACL_FIELD_TYPE_BITMASK, 1, F_PROTO, 0, offsetof(struct pkt, proto)},
    {RTE_ACL_FIELD_TYPE_MASK, 4, F_SIP, 1, offsetof(struct pkt, sip)},
    {RTE_ACL_FIELD_TYPE_MASK, 4, F_DIP, 2, offsetof(struct pkt, dip)},
    {RTE_ACL_FIELD_TYPE_RANGE, 2, F_SPORT, 3, offsetof(struct pkt, sport)},
    {RTE_ACL_FIELD_TYPE_RANGE, 2, F_DPORT, 3, offsetof(struct pkt, dport)},
    {RTE_ACL_FIELD_TYPE_RANGE, 1, F_TOS, 4, offsetof(struct pkt, tos)},
    {RTE_ACL_FIELD_TYPE_BITMASK, 1, F_PAD0, 4, offsetof(struct pkt, pad)},
    {RTE_ACL_FIELD_TYPE_BITMASK, 2, F_PAD1, 4, offsetof(struct pkt, pad) + 1},
};

RTE_ACL_RULE_DEF(acl_rule, NUM_FIELDS);

/* The generator of acl_bench, in C: std::mt19937 is replaced by splitmix64
 * (the figures compare costs, not identical rule contents). */
static uint64_t rng;
static uint32_t next(void) {
    uint64_t z = (rng += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return (uint32_t)(z ^ (z >> 31));
}

static void make_rule(struct acl_rule *r, uint32_t i) {
    memset(r, 0, sizeof *r);
    r->data.category_mask = 1;
    r->data.priority = RTE_ACL_MAX_PRIORITY - 10 * (i / SETS) - 1;
    r->data.userdata = i + 1;
    uint8_t proto = (i % 3 == 0) ? 17 : 6;
    r->field[F_PROTO].value.u8 = proto;
    r->field[F_PROTO].mask_range.u8 = 0xff;
    r->field[F_DIP].value.u32 = 0x0a000000u | (i << 8);
    r->field[F_DIP].mask_range.u32 = 24;
    r->field[F_SPORT].value.u16 = 0;
    r->field[F_SPORT].mask_range.u16 = 0xffff;
    r->field[F_DPORT].value.u16 = 0;
    r->field[F_DPORT].mask_range.u16 = 0xffff;
    if (next() % 2) {
        uint16_t lo = 1000 + next() % 1000;
        r->field[F_DPORT].value.u16 = lo;
        r->field[F_DPORT].mask_range.u16 = lo + next() % 200;
    }
    r->field[F_SIP].mask_range.u32 = 0;
    if (next() % 3 == 0) {
        r->field[F_SIP].value.u32 = 0xc0a80000u | (next() & 0xffff);
        r->field[F_SIP].mask_range.u32 = 16 + next() % 17;
    }
    r->field[F_TOS].value.u8 = 0;
    r->field[F_TOS].mask_range.u8 = 0xff;
    if (next() % 4 == 0) {
        uint32_t lo = next() % 32, hi = lo + next() % 32;
        r->field[F_TOS].value.u8 = (uint8_t)(lo << 2);
        r->field[F_TOS].mask_range.u8 = (uint8_t)(hi << 2 | 3);
    }
    (void)next(); /* the action draw of acl_bench */
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static struct rte_acl_ctx *new_ctx(int set, int n) {
    char name[32];
    snprintf(name, sizeof name, "acl%d_%d", set, n);
    struct rte_acl_param p = {.name = name, .socket_id = 0, .rule_size = RTE_ACL_RULE_SZ(NUM_FIELDS),
                              .max_rule_num = (uint32_t)(n / SETS + 2)};
    return rte_acl_create(&p);
}

static int build(struct rte_acl_ctx *c) {
    struct rte_acl_config cfg = {.num_categories = 1, .num_fields = NUM_FIELDS};
    memcpy(cfg.defs, defs, sizeof defs);
    return rte_acl_build(c, &cfg);
}

static int cmp_double(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static int run_n(int n, int runs) {
    static struct acl_rule rules[MAX_N];
    struct rte_acl_ctx *ctx[SETS];
    for (int i = 0; i < n; i++) make_rule(&rules[i], (uint32_t)i);
    for (int s = 0; s < SETS; s++)
        if (!(ctx[s] = new_ctx(s, n))) return fprintf(stderr, "rte_acl_create failed\n"), 1;
    int ok = 1;
    double t0 = now();
    for (int i = 0; i < n; i++)
        ok &= rte_acl_add_rules(ctx[i % SETS], (struct rte_acl_rule *)&rules[i], 1) == 0;
    for (int s = 0; s < SETS; s++) ok &= build(ctx[s]) == 0;
    double build_s = now() - t0;
    /* A packet made to hit a rule of context i % 32 finds a rule. */
    for (int i = 0; ok && i < n; i += n / 50 + 1) {
        struct pkt p = {.proto = rules[i].field[F_PROTO].value.u8, .tos = rules[i].field[F_TOS].value.u8,
                        .sip = htonl(rules[i].field[F_SIP].value.u32),
                        .dip = htonl(rules[i].field[F_DIP].value.u32 | 7),
                        .dport = htons(rules[i].field[F_DPORT].value.u16)};
        const uint8_t *data[1] = {(const uint8_t *)&p};
        uint32_t res = 0;
        rte_acl_classify(ctx[i % SETS], data, &res, 1, 1);
        ok &= res != 0;
    }
    /* One action change in context 0: reset, add its rules, rebuild. */
    double *us = calloc((size_t)runs, sizeof *us);
    for (int k = 0; ok && k < runs; k++) {
        rules[0].data.userdata = (uint32_t)(1000000 + k);
        double t1 = now();
        rte_acl_reset_rules(ctx[0]);
        for (int i = 0; i < n; i += SETS) ok &= rte_acl_add_rules(ctx[0], (struct rte_acl_rule *)&rules[i], 1) == 0;
        ok &= build(ctx[0]) == 0;
        us[k] = (now() - t1) * 1e6;
    }
    qsort(us, (size_t)runs, sizeof *us, cmp_double);
    if (ok)
        printf("RTE_ACL n=%d sets=%d build_s=%.6f rules_per_s=%.0f modify_commit_us_median=%.1f "
               "modify_commit_us_min=%.1f\n",
               n, SETS, build_s, n / build_s, runs ? us[runs / 2] : 0.0, runs ? us[0] : 0.0);
    free(us);
    for (int s = 0; s < SETS; s++) rte_acl_free(ctx[s]);
    return ok ? 0 : 1;
}

int main(int argc, char **argv) {
    int split = 0;
    for (int i = 1; i < argc; i++)
        if (!strcmp(argv[i], "--")) split = i;
    char **eal = argv;
    int eal_argc = split ? split : 1;
    if (!split || split == 1) {
        eal = (char **)DEFAULT_EAL;
        eal_argc = (int)(sizeof DEFAULT_EAL / sizeof *DEFAULT_EAL);
    }
    if (rte_eal_init(eal_argc, eal) < 0) return fprintf(stderr, "rte_eal_init failed\n"), 2;
    int ns[8] = {64, 1000, 10000}, nn = 3, runs = 21;
    uint64_t seed = 1;
    optind = 1;
    int c;
    char **rest = argv + (split ? split : 0);
    int rest_argc = split ? argc - split : argc;
    while ((c = getopt(rest_argc, rest, "n:r:s:")) != -1) {
        if (c == 'n') {
            nn = 0;
            for (char *t = strtok(optarg, ","); t && nn < 8; t = strtok(NULL, ",")) ns[nn++] = atoi(t);
        } else if (c == 'r') {
            runs = atoi(optarg);
        } else if (c == 's') {
            seed = strtoull(optarg, NULL, 10);
        }
    }
    int failed = 0;
    for (int i = 0; i < nn; i++) {
        if (ns[i] > MAX_N) continue;
        rng = seed;
        failed |= run_n(ns[i], runs);
    }
    rte_eal_cleanup();
    return failed;
}
