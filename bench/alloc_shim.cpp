// Allocation counter for the soak benchmark, loaded into the client with LD_PRELOAD.
// Every heap allocation is charged to the first caller outside the C and C++
// runtime: the client's own code (an address inside its executable) or a library
// (Mesa, X, GLUT). Ticks and frames are counted by wrapping glutTimerFunc (armed once
// per tick) and glutSwapBuffers. The counts live in a file the benchmark maps too
// (MAZECAR_ALLOC_COUNTS), so it can read them while the client runs.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

namespace {

constexpr int CALLERS_MAX = 64;
constexpr int RANGES_MAX = 64;
constexpr int FRAMES_MAX = 32;

// The layout the benchmark reads: nine 64-bit words, then the callers.
struct counts {
    uint64_t ticks;
    uint64_t frames;
    uint64_t ours;       // allocations whose first non-runtime caller is the client
    uint64_t theirs;     // ... a library
    uint64_t runtime;    // no caller outside the runtime (start-up, thread set-up)
    uint64_t recording;  // set by the benchmark: note the client's call sites from now on
    uint64_t caller_count;
    uint64_t exe_base;
    uint64_t spare;
    uint64_t callers[CALLERS_MAX];  // return addresses in the client, relative to exe_base
};

struct range {
    uintptr_t lo, hi;
};

counts fallback;
counts *shared = &fallback;
range exe_ranges[RANGES_MAX], runtime_ranges[RANGES_MAX];
int exe_count, runtime_count;
bool ready;
__thread int depth __attribute__((tls_model("initial-exec")));

bool inside(const range *ranges, int n, uintptr_t addr)
{
    for (int i = 0; i < n; i++)
        if (addr >= ranges[i].lo && addr < ranges[i].hi)
            return true;
    return false;
}

bool is_runtime(const char *path)
{
    static const char *const names[] = {"/libc.so", "/libstdc++.so", "/libgcc_s.so",
                                        "/libm.so", "/ld-linux",     "alloc_count_shim"};
    for (const char *name : names)
        if (strstr(path, name))
            return true;
    return false;
}

// Reads /proc/self/maps without allocating: the executable's mappings and those of
// the runtime libraries.
void find_ranges()
{
    static char exe[4096], maps[1 << 20];
    ssize_t exe_len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[exe_len > 0 ? exe_len : 0] = '\0';
    int fd = open("/proc/self/maps", O_RDONLY);
    size_t len = 0;
    for (ssize_t n; fd >= 0 && (n = read(fd, maps + len, sizeof maps - 1 - len)) > 0;)
        len += static_cast<size_t>(n);
    if (fd >= 0)
        close(fd);
    maps[len] = '\0';
    for (char *line = maps; *line;) {
        char *end = strchr(line, '\n');
        if (end)
            *end = '\0';
        char *path = strchr(line, '/');
        uintptr_t lo = strtoull(line, nullptr, 16);
        uintptr_t hi = strtoull(strchr(line, '-') + 1, nullptr, 16);
        if (path && strcmp(path, exe) == 0 && exe_count < RANGES_MAX) {
            if (exe_count == 0)
                shared->exe_base = lo;
            exe_ranges[exe_count++] = range{lo, hi};
        } else if (path && is_runtime(path) && runtime_count < RANGES_MAX) {
            runtime_ranges[runtime_count++] = range{lo, hi};
        }
        if (!end)
            break;
        line = end + 1;
    }
}

void add(uint64_t &counter)
{
    __atomic_fetch_add(&counter, 1, __ATOMIC_RELAXED);
}

void note_caller(uintptr_t addr)
{
    if (!__atomic_load_n(&shared->recording, __ATOMIC_RELAXED))
        return;
    uint64_t offset = addr - shared->exe_base;
    uint64_t n = __atomic_load_n(&shared->caller_count, __ATOMIC_RELAXED);
    for (uint64_t i = 0; i < n; i++)
        if (shared->callers[i] == offset)
            return;
    if (n < CALLERS_MAX) {
        shared->callers[n] = offset;
        __atomic_store_n(&shared->caller_count, n + 1, __ATOMIC_RELAXED);
    }
}

void charge()
{
    if (!ready || depth > 0)
        return;
    depth++;
    void *frames[FRAMES_MAX];
    int n = backtrace(frames, FRAMES_MAX);
    bool charged = false;
    for (int i = 1; i < n && !charged; i++) {
        uintptr_t addr = reinterpret_cast<uintptr_t>(frames[i]);
        if (inside(runtime_ranges, runtime_count, addr))
            continue;
        if (inside(exe_ranges, exe_count, addr)) {
            add(shared->ours);
            note_caller(addr);
        } else {
            add(shared->theirs);
        }
        charged = true;
    }
    if (!charged)
        add(shared->runtime);
    depth--;
}

__attribute__((constructor)) void set_up()
{
    depth++;
    const char *path = getenv("MAZECAR_ALLOC_COUNTS");
    if (path) {
        int fd = open(path, O_RDWR | O_CREAT, 0644);
        if (fd >= 0 && ftruncate(fd, sizeof(counts)) == 0) {
            void *m = mmap(nullptr, sizeof(counts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (m != MAP_FAILED)
                shared = static_cast<counts *>(m);
        }
        if (fd >= 0)
            close(fd);  // the mapping stays; the client's descriptor count does not change
    }
    find_ranges();
    void *warm[2];
    backtrace(warm, 2);  // loads the unwinder now, not inside the first counted call
    depth--;
    ready = true;
}

template <typename F> F next_symbol(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

void *malloc(size_t size)
{
    charge();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    charge();
    return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size)
{
    charge();
    return __libc_realloc(ptr, size);
}

void *memalign(size_t alignment, size_t size)
{
    charge();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    charge();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    charge();
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

void glutTimerFunc(unsigned ms, void (*callback)(int), int value)
{
    static auto real = next_symbol<void (*)(unsigned, void (*)(int), int)>("glutTimerFunc");
    add(shared->ticks);
    real(ms, callback, value);
}

void glutSwapBuffers()
{
    static auto real = next_symbol<void (*)()>("glutSwapBuffers");
    add(shared->frames);
    real();
}

}  // extern "C"
