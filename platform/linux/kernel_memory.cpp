#include "file_identity.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#ifndef MFD_HUGE_SHIFT
#define MFD_HUGE_SHIFT 26
#endif

struct probe {
    int fd;
    size_t size;  // of one page
    void *mapped;
};

static void add_probe(std::vector<probe> *probes, unsigned int flags, size_t size)
{
    int fd = memfd_create("vrix-probe", MFD_CLOEXEC | flags);
    if (fd >= 0)
        probes->push_back(probe{fd, size, nullptr});
}

// A plain memfd, and one per huge page size the kernel offers. A size with
// no page reserved still has its mount.
static std::vector<probe> open_probes(void)
{
    std::vector<probe> probes;
    add_probe(&probes, 0, (size_t)sysconf(_SC_PAGESIZE));
    DIR *dir = opendir("/sys/kernel/mm/hugepages");
    struct dirent *de;
    while (dir != nullptr && (de = readdir(dir)) != nullptr) {
        unsigned long long kib;
        if (sscanf(de->d_name, "hugepages-%llukB", &kib) != 1 || kib == 0)
            continue;
        unsigned int shift = 10;
        while ((1ULL << shift) < kib * 1024)
            shift++;
        add_probe(&probes, MFD_HUGETLB | (shift << MFD_HUGE_SHIFT), (size_t)kib * 1024);
    }
    if (dir != nullptr)
        closedir(dir);
    return probes;
}

static void close_probes(std::vector<probe> *probes)
{
    for (probe &p : *probes) {
        if (p.mapped != nullptr)
            munmap(p.mapped, p.size);
        close(p.fd);
    }
}

static void add_device(std::vector<uint64_t> *devices, uint64_t dev)
{
    if (std::find(devices->begin(), devices->end(), dev) == devices->end())
        devices->push_back(dev);
}

static void probe_stat_devices(struct kernel_memory *km)
{
    km->stat_probed = true;
    std::vector<probe> probes = open_probes();
    for (const probe &p : probes) {
        struct stat sb;
        if (fstat(p.fd, &sb) == 0)
            add_device(&km->stat_devices, sb.st_dev);
    }
    close_probes(&probes);
}

// Huge pages need not be reserved to be mapped without a reservation.
static void map_probes(std::vector<probe> *probes)
{
    for (probe &p : *probes) {
        if (ftruncate(p.fd, (off_t)p.size) != 0)
            continue;
        void *at = mmap(nullptr, p.size, PROT_READ, MAP_SHARED | MAP_NORESERVE, p.fd, 0);
        p.mapped = at == MAP_FAILED ? nullptr : at;
    }
}

// "start-end perms offset major:minor inode name", for each probe's start.
static void read_probe_devices(struct kernel_memory *km, const std::vector<probe> &probes)
{
    FILE *in = fopen("/proc/self/maps", "re");
    if (in == nullptr)
        return;
    char *line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, in) > 0) {
        unsigned long long start;
        unsigned int major, minor;
        if (sscanf(line, "%llx-%*x %*s %*x %x:%x", &start, &major, &minor) != 3)
            continue;
        for (const probe &p : probes) {
            if (p.mapped != nullptr && (uintptr_t)p.mapped == start)
                add_device(&km->maps_devices, makedev(major, minor));
        }
    }
    free(line);
    fclose(in);
}

static void probe_maps_devices(struct kernel_memory *km)
{
    km->maps_probed = true;
    std::vector<probe> probes = open_probes();
    map_probes(&probes);
    read_probe_devices(km, probes);
    close_probes(&probes);
}

int is_kernel_memory(struct kernel_memory *km, uint64_t dev)
{
    if (!km->stat_probed)
        probe_stat_devices(km);
    return std::find(km->stat_devices.begin(), km->stat_devices.end(), dev) !=
           km->stat_devices.end();
}

int is_kernel_memory_in_maps(struct kernel_memory *km, uint64_t dev)
{
    if (!km->maps_probed)
        probe_maps_devices(km);
    return std::find(km->maps_devices.begin(), km->maps_devices.end(), dev) !=
           km->maps_devices.end();
}
