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

// Eight bytes at a time: the paths are long and share long beginnings.
static uint64_t hash_of(const char *path, size_t len)
{
    uint64_t h = (uint64_t)len * 0x9e3779b97f4a7c15ULL;
    for (; len >= 8; path += 8, len -= 8) {
        uint64_t word;
        memcpy(&word, path, 8);
        h = (h ^ word) * 0x9e3779b97f4a7c15ULL;
        h ^= h >> 29;
    }
    uint64_t rest = 0;
    memcpy(&rest, path, len);
    // every bit of the words into the low bits, which pick the slot
    h ^= rest;
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
