#include "kernel_memory.h"

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

static std::vector<uint64_t> stat_devices, maps_devices;
static bool stat_probed, maps_probed;

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

static void probe_stat_devices(void)
{
    stat_probed = true;
    std::vector<probe> probes = open_probes();
    for (const probe &p : probes) {
        struct stat sb;
        if (fstat(p.fd, &sb) == 0)
            add_device(&stat_devices, sb.st_dev);
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
static void read_probe_devices(const std::vector<probe> &probes)
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
                add_device(&maps_devices, makedev(major, minor));
        }
    }
    free(line);
    fclose(in);
}

static void probe_maps_devices(void)
{
    maps_probed = true;
    std::vector<probe> probes = open_probes();
    map_probes(&probes);
    read_probe_devices(probes);
    close_probes(&probes);
}

int is_kernel_memory(uint64_t dev)
{
    if (!stat_probed)
        probe_stat_devices();
    return std::find(stat_devices.begin(), stat_devices.end(), dev) != stat_devices.end();
}

int is_kernel_memory_in_maps(uint64_t dev)
{
    if (!maps_probed)
        probe_maps_devices();
    return std::find(maps_devices.begin(), maps_devices.end(), dev) != maps_devices.end();
}

void forget_kernel_memory(void)
{
    stat_devices.clear();
    maps_devices.clear();
    stat_probed = maps_probed = false;
}
