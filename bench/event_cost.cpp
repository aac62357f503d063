// The cost on this machine of each event that a process's start-up is made of, timed on its own: a cpuid
// (a trap to the hypervisor in a virtual machine), a system call, and a page fault on a page of a file
// already in the page cache and on a new anonymous page.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int per_batch = 64;
constexpr int batches = 101;

long long now_ns()
{
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int by_value(const void* a, const void* b)  // NOLINT(bugprone-easily-swappable-parameters): qsort's
{
    const long long x = *static_cast<const long long*>(a);
    const long long y = *static_cast<const long long*>(b);
    if (x < y)
        return -1;
    return x > y ? 1 : 0;
}

// volatile: the compiler must neither merge nor drop the instruction being timed.
void cpuid(unsigned leaf)
{
    unsigned a = leaf;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    __asm__ volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d));
}

void cpuids()
{
    // Leaves that a C library's start-up asks for: vendor, features, extended features, XSAVE sizes.
    const unsigned leaves[] = {0x0, 0x1, 0x7, 0xd};
    for (int i = 0; i < per_batch; i++)
        cpuid(leaves[i % 4]);
}

void syscalls()
{
    for (int i = 0; i < per_batch; i++)
        syscall(SYS_getppid);
}

long page_size;
int file_fd = -1;

long minor_faults()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

void map_only()
{
    void* map = mmap(nullptr, per_batch * page_size, PROT_READ, MAP_PRIVATE, file_fd, 0);
    if (map != MAP_FAILED)
        munmap(map, per_batch * page_size);
}

// Reading one byte of each page of a new mapping faults it in; the kernel maps the neighbours of a
// file page in the same fault, so the faults are counted, not assumed one a page.
void file_faults()
{
    void* map = mmap(nullptr, per_batch * page_size, PROT_READ, MAP_PRIVATE, file_fd, 0);
    if (map == MAP_FAILED) {
        perror("mmap");
        exit(1);
    }
    for (int i = 0; i < per_batch; i++)
        static_cast<void>(static_cast<const volatile char*>(map)[i * page_size]);
    munmap(map, per_batch * page_size);
}

void* map_anonymous()
{
    return mmap(nullptr, per_batch * page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

void anonymous_faults()
{
    void* map = map_anonymous();
    if (map == MAP_FAILED) {
        perror("mmap");
        exit(1);
    }
    // A write: a read would map the shared zero page instead of a page of its own.
    for (int i = 0; i < per_batch; i++)
        static_cast<volatile char*>(map)[i * page_size] = 1;
    munmap(map, per_batch * page_size);
}

void map_anonymous_only()
{
    void* map = map_anonymous();
    if (map != MAP_FAILED)
        munmap(map, per_batch * page_size);
}

struct Event {
    const char* name;
    void (*batch)();
    void (*empty)();  // the batch without its events, timed and taken off; or null
    bool faults;      // whether the events are the page faults counted, or per_batch of them
};

// The median batch, so that an interruption in a few batches does not count, over its events.
void report(const Event& event)
{
    long long ns[batches];
    long events = 0;
    for (long long& one : ns) {
        const long before = minor_faults();
        const long long start = now_ns();
        event.batch();
        one = now_ns() - start;
        events += event.faults ? minor_faults() - before : per_batch;
        if (event.empty != nullptr) {
            const long long overhead_start = now_ns();
            event.empty();
            one -= now_ns() - overhead_start;
        }
    }
    qsort(ns, batches, sizeof ns[0], by_value);
    const long long median = ns[batches / 2];
    const double events_per_batch = static_cast<double>(events) / batches;
    const double per_event = static_cast<double>(median) / events_per_batch;
    printf("%s\t%.0f\t%.1f\n", event.name, per_event, events_per_batch);
}

}  // namespace

// Usage: event_cost FILE, where FILE has at least 64 pages and is in the page cache (read it first).
// Prints a line for each event: its name, its median cost in nanoseconds, and events per batch.
int main(int argc, char** argv)
{
    page_size = sysconf(_SC_PAGESIZE);
    file_fd = argc == 2 ? open(argv[1], O_RDONLY | O_CLOEXEC) : -1;
    struct stat file = {};
    if (file_fd == -1 || fstat(file_fd, &file) == -1 || file.st_size < per_batch * page_size) {
        fprintf(stderr, "usage: event_cost FILE (a file of at least %ld bytes)\n", per_batch * page_size);
        return 2;
    }
    report({"cpuid", cpuids, nullptr, false});
    report({"system call (getppid)", syscalls, nullptr, false});
    report({"page fault, file page in the page cache", file_faults, map_only, true});
    report({"page fault, new anonymous page", anonymous_faults, map_anonymous_only, true});
    return 0;
}
