// Counts the real client's ticks from outside its code, for the bad-link test: loaded
// with LD_PRELOAD, it wraps glutTimerFunc, which the tick calls once at its end to arm
// the next one, and recv, which the client calls only on its server connection. The
// counts live in a file the test maps too (MAZECAR_TICK_COUNTS), five 64-bit words:
// the ticks so far, the monotonic time of the last one (µs), the longest time between
// two ticks (µs), the longest time one recv call took (µs) and the recv calls. The
// test may set the two longest times back to 0. A tick that waits for the network
// shows as a long recv, whatever else the machine is busy with.
#include <GL/freeglut.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

struct tick_counts {
    uint64_t ticks;
    uint64_t last_us;
    uint64_t longest_gap_us;
    uint64_t longest_recv_us;
    uint64_t recvs;
};

tick_counts *shared;

uint64_t now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

__attribute__((constructor)) void map_counts()
{
    const char *path = getenv("MAZECAR_TICK_COUNTS");
    if (!path)
        return;
    int fd = open(path, O_RDWR | O_CREAT, 0644);
    if (fd < 0)
        return;
    if (ftruncate(fd, sizeof(tick_counts)) == 0) {
        void *m = mmap(nullptr, sizeof(tick_counts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m != MAP_FAILED)
            shared = static_cast<tick_counts *>(m);
    }
    close(fd);
}

}  // namespace

extern "C" void glutTimerFunc(unsigned ms, void (*callback)(int), int value)
{
    using timer_func = void (*)(unsigned, void (*)(int), int);
    static auto real = reinterpret_cast<timer_func>(dlsym(RTLD_NEXT, "glutTimerFunc"));
    if (shared) {
        uint64_t now = now_us();
        if (shared->ticks > 0 && now - shared->last_us > shared->longest_gap_us)
            shared->longest_gap_us = now - shared->last_us;
        shared->last_us = now;
        shared->ticks++;
    }
    real(ms, callback, value);
}

extern "C" ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    using recv_func = ssize_t (*)(int, void *, size_t, int);
    static auto real = reinterpret_cast<recv_func>(dlsym(RTLD_NEXT, "recv"));
    uint64_t start = now_us();
    ssize_t n = real(fd, buf, len, flags);
    if (shared) {
        uint64_t took = now_us() - start;
        if (took > shared->longest_recv_us)
            shared->longest_recv_us = took;
        shared->recvs++;
    }
    return n;
}
