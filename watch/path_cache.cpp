#include "path_cache.h"

#include <stdint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vector>

enum { PATHS_LIMIT = 8192 };  // paths remembered whole
enum { ARENA_LIMIT = 4 << 20 };  // and the bytes they may take
// Beyond those, paths remembered by a digest alone, before starting over.
// One process may map 60,000 files under names of 900 bytes, each asked
// twice (when its map is read and when it is judged): remembered whole, they
// would cost 54 MB; starting over, each would be looked up twice.
enum { DIGESTS_LIMIT = 1 << 18 };
enum { FIRST_SLOTS = 1024 };  // a power of two, grown as paths come
// Slots of the fast table a path may take: a path whose slot there is
// taken goes to the keyed table. Anyone may map files under names of
// their choosing, and the fast hash has no secret: without this bound, names
// made to share it would fall in one chain, and every question would walk
// it (a user's 8,000 such names cost root's run seconds).
enum { FAST_PROBES = 1 };

// A slot is small, so that the table costs few pages: the entry's number
// (0 for none) and a part of its hash that most other paths lack.
struct slot {
    uint32_t entry;
    uint32_t check;
};
struct entry {
    uint32_t offset;  // of the path in the arena
    uint32_t len;
    struct file_id id;
};
struct table {
    std::vector<slot> slots;
    size_t used;
};

static struct table fast, keyed;
static std::vector<entry> entries;
static std::vector<char> arena;
static uint64_t compares;

static uint64_t load8(const char *p)
{
    uint64_t word;
    memcpy(&word, p, 8);
    return word;
}

// Sixteen bytes at a time in two lanes, the last eight read where they end:
// the paths are long and share long beginnings, and this is asked twice for
// every mapping of every process.
static uint64_t fast_hash(const char *path, size_t len)
{
    uint64_t a = (uint64_t)len * 0x9e3779b97f4a7c15ULL, b = 0xc2b2ae3d27d4eb4fULL;
    const char *p = path;
    size_t left = len;
    for (; left >= 16; p += 16, left -= 16) {
        a = (a ^ load8(p)) * 0xff51afd7ed558ccdULL;
        b = (b ^ load8(p + 8)) * 0xc4ceb9fe1a85ec53ULL;
    }
    if (left >= 8)
        a = (a ^ load8(p)) * 0xff51afd7ed558ccdULL;
    if (len >= 8) {
        b = (b ^ load8(path + len - 8)) * 0xc4ceb9fe1a85ec53ULL;
    } else {
        for (size_t i = 0; i < len; i++)
            b = (b ^ (unsigned char)path[i]) * 0xc4ceb9fe1a85ec53ULL;
    }
    // every bit of both lanes into the low bits, which pick the slot
    uint64_t h = a ^ (b >> 32 | b << 32);
    h = (h ^ (h >> 33)) * 0xff51afd7ed558ccdULL;
    h = (h ^ (h >> 33)) * 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

// SipHash-1-3 under a key drawn once a run: what lands together in the
// keyed table cannot be chosen without the key.
static uint64_t sip_key[4];
static int sip_keyed;

static uint64_t rotl(uint64_t x, int b)
{
    return (x << b) | (x >> (64 - b));
}

static void sip_round(uint64_t v[4])
{
    v[0] += v[1], v[1] = rotl(v[1], 13), v[1] ^= v[0], v[0] = rotl(v[0], 32);
    v[2] += v[3], v[3] = rotl(v[3], 16), v[3] ^= v[2];
    v[0] += v[3], v[3] = rotl(v[3], 21), v[3] ^= v[0];
    v[2] += v[1], v[1] = rotl(v[1], 17), v[1] ^= v[2], v[2] = rotl(v[2], 32);
}

static void draw_key(void)
{
    if (getentropy(sip_key, sizeof sip_key) != 0) {
        // no entropy to be had: a key the names' authors cannot read still
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        sip_key[0] = (uint64_t)t.tv_nsec * 0x9e3779b97f4a7c15ULL ^ (uint64_t)getpid();
        sip_key[1] = (uint64_t)t.tv_sec ^ (uint64_t)(uintptr_t)&t;
        sip_key[2] = sip_key[0] * 0xff51afd7ed558ccdULL ^ 0x2545f4914f6cdd1dULL;
        sip_key[3] = sip_key[1] * 0xc4ceb9fe1a85ec53ULL ^ 0x9e3779b97f4a7c15ULL;
    }
    sip_keyed = 1;
}

// SipHash-1-3 of path under key; with wide, its 128-bit form, whose second
// half goes to out[1].
static uint64_t sip_hash(const uint64_t key[2], const char *path, size_t len, int wide,
                         uint64_t out[2])
{
    uint64_t v[4] = {key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
                     key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
    if (wide)
        v[1] ^= 0xee;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t m = load8(path + i);
        v[3] ^= m;
        sip_round(v);
        v[0] ^= m;
    }
    uint64_t last = (uint64_t)len << 56;
    for (size_t j = 0; i + j < len; j++)
        last |= (uint64_t)(unsigned char)path[i + j] << (8 * j);
    v[3] ^= last;
    sip_round(v);
    v[0] ^= last;
    v[2] ^= wide ? 0xee : 0xff;
    sip_round(v), sip_round(v), sip_round(v);
    uint64_t first = v[0] ^ v[1] ^ v[2] ^ v[3];
    if (wide) {
        v[1] ^= 0xdd;
        sip_round(v), sip_round(v), sip_round(v);
        out[0] = first;
        out[1] = v[0] ^ v[1] ^ v[2] ^ v[3];
    }
    return first;
}

static uint64_t keyed_hash(const char *path, size_t len)
{
    return sip_hash(sip_key, path, len, 0, nullptr);
}

// A path remembered by its digest: a 128-bit hash under a key of the run,
// which no one who names files can make two paths share but by chance.
struct digest_entry {
    uint64_t d[2];  // 0, 0: an empty slot
    struct file_id id;
};
static std::vector<digest_entry> digests;
static size_t digests_used;

static void digest_of(const char *path, size_t len, uint64_t d[2])
{
    if (!sip_keyed)
        draw_key();
    sip_hash(sip_key + 2, path, len, 1, d);
    d[0] |= 1;
}

static digest_entry *digest_slot(const uint64_t d[2])
{
    size_t mask = digests.size() - 1;
    for (size_t i = d[0] & mask;; i = (i + 1) & mask) {
        digest_entry *e = &digests[i];
        if (e->d[0] == 0 || (e->d[0] == d[0] && e->d[1] == d[1]))
            return e;
    }
}

static const struct file_id *digest_find(const char *path, size_t len)
{
    if (digests_used == 0)
        return nullptr;
    uint64_t d[2];
    digest_of(path, len, d);
    digest_entry *e = digest_slot(d);
    return e->d[0] == 0 ? nullptr : &e->id;
}

// 0, or -1 when the digests are at their limit.
static int digest_put(const char *path, size_t len, const struct file_id &id)
{
    if (digests_used >= DIGESTS_LIMIT)
        return -1;
    if ((digests_used + 1) * 2 > digests.size()) {
        std::vector<digest_entry> old;
        old.swap(digests);
        digests.assign(old.empty() ? (size_t)FIRST_SLOTS : old.size() * 2, digest_entry{{0, 0}, {}});
        for (const digest_entry &e : old) {
            if (e.d[0] != 0)
                *digest_slot(e.d) = e;
        }
    }
    uint64_t d[2];
    digest_of(path, len, d);
    digest_entry *e = digest_slot(d);
    if (e->d[0] == 0)
        digests_used++;
    *e = digest_entry{{d[0], d[1]}, id};
    return 0;
}

static int same(const slot *s, uint32_t check, const char *path, size_t len)
{
    if (s->check != check)
        return 0;
    const entry &e = entries[s->entry - 1];
    compares++;
    return e.len == len && memcmp(&arena[e.offset], path, len) == 0;
}

// The slot of path in t, or the empty one where it would go; null when the
// fast table's run for it is full and the path is not in it.
static slot *slot_in(struct table *t, const char *path, size_t len, uint64_t hash)
{
    size_t mask = t->slots.size() - 1;
    uint32_t check = (uint32_t)(hash >> 32);
    size_t i = hash & mask;
    for (size_t n = 0; t != &fast || n < FAST_PROBES; n++, i = (i + 1) & mask) {
        slot *s = &t->slots[i];
        if (s->entry == 0 || same(s, check, path, len))
            return s;
    }
    return nullptr;
}

// Nothing is ever taken out of a table but all at once, so a path the fast
// table has no room for finds its run there full for good, and is looked
// for in the keyed table alone.
static slot *slot_of(const char *path, size_t len)
{
    slot *s = slot_in(&fast, path, len, fast_hash(path, len));
    if (s != nullptr)
        return s;
    if (keyed.slots.empty())
        return nullptr;
    return slot_in(&keyed, path, len, keyed_hash(path, len));
}

const struct file_id *path_cache_find(const char *path)
{
    if (entries.empty())
        return nullptr;
    size_t len = strlen(path);
    slot *s = slot_of(path, len);
    if (s != nullptr && s->entry != 0)
        return &entries[s->entry - 1].id;
    return digest_find(path, len);
}

// The empty slot of t where a path not in it goes; null when that is the
// fast table and its run for the path is full. The entries are all unlike,
// so none is compared.
static slot *free_slot_in(struct table *t, uint64_t hash)
{
    size_t mask = t->slots.size() - 1;
    size_t i = hash & mask;
    for (size_t n = 0; t != &fast || n < FAST_PROBES; n++, i = (i + 1) & mask) {
        if (t->slots[i].entry == 0)
            return &t->slots[i];
    }
    return nullptr;
}

// Entry n, whose path no table holds, into the table it belongs in: 0, or
// -1 when that is the keyed table and there is none yet.
static int insert(size_t n)
{
    const entry &e = entries[n];
    const char *path = &arena[e.offset];
    struct table *t = &fast;
    uint64_t hash = fast_hash(path, e.len);
    slot *s = free_slot_in(t, hash);
    if (s == nullptr) {
        if (keyed.slots.empty())
            return -1;
        t = &keyed;
        hash = keyed_hash(path, e.len);
        s = free_slot_in(t, hash);
    }
    *s = slot{(uint32_t)n + 1, (uint32_t)(hash >> 32)};
    t->used++;
    return 0;
}

// At most half full, so that a search ends soon.
static int crowded(const struct table *t)
{
    return t->used * 2 > t->slots.size();
}

static void resize(struct table *t)
{
    if (t == &keyed && !sip_keyed)
        draw_key();
    t->slots.resize(t->slots.empty() ? (size_t)FIRST_SLOTS : t->slots.size() * 2);
}

// Every entry placed again, in tables grown until each is at most half full.
static void rebuild(void)
{
    for (;;) {
        fast.slots.assign(fast.slots.size(), slot{0, 0});
        keyed.slots.assign(keyed.slots.size(), slot{0, 0});
        fast.used = keyed.used = 0;
        size_t n = 0;
        while (n < entries.size() && insert(n) == 0)
            n++;
        if (n < entries.size())
            resize(&keyed);
        else if (crowded(&fast))
            resize(&fast);
        else if (crowded(&keyed))
            resize(&keyed);
        else
            return;
    }
}

void path_cache_put(const char *path, const struct file_id &id)
{
    if (fast.slots.empty())
        resize(&fast);
    size_t len = strlen(path);
    slot *s = slot_of(path, len);
    if (s != nullptr && s->entry != 0) {
        entries[s->entry - 1].id = id;
        return;
    }
    if (entries.size() >= PATHS_LIMIT || arena.size() + len > ARENA_LIMIT) {
        if (digest_put(path, len, id) == 0)
            return;
        path_cache_clear();
        resize(&fast);
    }
    entries.push_back(entry{(uint32_t)arena.size(), (uint32_t)len, id});
    arena.insert(arena.end(), path, path + len);
    int homeless = insert(entries.size() - 1) != 0;
    if (!homeless && !crowded(&fast) && !crowded(&keyed))
        return;
    if (homeless || crowded(&keyed))
        resize(&keyed);
    if (crowded(&fast))
        resize(&fast);
    rebuild();
}

void path_cache_clear(void)
{
    fast = table{{}, 0};
    keyed = table{{}, 0};
    entries.clear();
    arena.clear();
    digests.clear();
    digests_used = 0;
}

uint64_t path_cache_compares(void)
{
    return compares;
}
