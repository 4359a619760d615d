#include "path_cache.h"

#include <stdint.h>
#include <string.h>

#include <vector>

enum { PATHS_LIMIT = 8192 };  // paths remembered before starting over
enum { FIRST_SLOTS = 1024 };  // a power of two, grown as paths come

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

static std::vector<slot> slots;
static std::vector<entry> entries;
static std::vector<char> arena;

static uint64_t load8(const char *p)
{
    uint64_t word;
    memcpy(&word, p, 8);
    return word;
}

// Sixteen bytes at a time in two lanes, the last eight read where they end:
// the paths are long and share long beginnings, and this is asked twice for
// every mapping of every process.
static uint64_t hash_of(const char *path, size_t len)
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

// The slot of path, or the empty one where it would go.
static slot *slot_of(const char *path, size_t len, uint64_t hash)
{
    size_t mask = slots.size() - 1;
    uint32_t check = (uint32_t)(hash >> 32);
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        slot *s = &slots[i];
        if (s->entry == 0)
            return s;
        const entry &e = entries[s->entry - 1];
        if (s->check == check && e.len == len && memcmp(&arena[e.offset], path, len) == 0)
            return s;
    }
}

const struct file_id *path_cache_find(const char *path)
{
    if (entries.empty())
        return nullptr;
    size_t len = strlen(path);
    slot *s = slot_of(path, len, hash_of(path, len));
    return s->entry == 0 ? nullptr : &entries[s->entry - 1].id;
}

static void grow(void)
{
    slots.assign(slots.empty() ? (size_t)FIRST_SLOTS : slots.size() * 2, slot{0, 0});
    size_t mask = slots.size() - 1;
    for (size_t n = 0; n < entries.size(); n++) {
        const entry &e = entries[n];
        uint64_t hash = hash_of(&arena[e.offset], e.len);
        size_t i = hash & mask;
        while (slots[i].entry != 0)
            i = (i + 1) & mask;
        slots[i] = slot{(uint32_t)n + 1, (uint32_t)(hash >> 32)};
    }
}

void path_cache_put(const char *path, const struct file_id &id)
{
    if (entries.size() >= PATHS_LIMIT)
        path_cache_clear();
    // at most half full, so that a search ends soon
    if ((entries.size() + 1) * 2 > slots.size())
        grow();
    size_t len = strlen(path);
    uint64_t hash = hash_of(path, len);
    slot *s = slot_of(path, len, hash);
    if (s->entry != 0) {
        entries[s->entry - 1].id = id;
        return;
    }
    entries.push_back(entry{(uint32_t)arena.size(), (uint32_t)len, id});
    arena.insert(arena.end(), path, path + len);
    *s = slot{(uint32_t)entries.size(), (uint32_t)(hash >> 32)};
}

void path_cache_clear(void)
{
    slots.clear();
    entries.clear();
    arena.clear();
}
