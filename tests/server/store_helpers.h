// Records-store helpers shared by the tests: a temporary directory, and a disk that
// stalls on demand.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sqlite3.h>
#include <string>

struct temp_dir {
    std::string path;
    temp_dir()
    {
        char templ[] = "/tmp/mazecar-records.XXXXXX";
        path = mkdtemp(templ);
    }
    ~temp_dir() { std::filesystem::remove_all(path); }
};

// A disk that hangs on sync: SQLite's default file system, with every sync held until
// the test lets it go. Files of different kinds have method tables of their own; each
// gets a copy whose xSync waits first.
struct stalled_disk {
    static constexpr int KINDS = 8;
    static inline sqlite3_vfs vfs, *real;
    static inline const sqlite3_io_methods *real_methods[KINDS];
    static inline sqlite3_io_methods methods[KINDS];
    static inline int kinds;
    static inline std::mutex mutex;
    static inline std::condition_variable cv;
    static inline bool holding;
    static inline int waiting;

    static int sync(sqlite3_file *f, int flags)
    {
        {
            std::unique_lock<std::mutex> lock(mutex);
            waiting++;
            cv.notify_all();
            cv.wait(lock, [] { return !holding; });
            waiting--;
        }
        const sqlite3_io_methods *real_m = real_methods[f->pMethods - methods];
        return real_m->xSync(f, flags);
    }
    static int open(sqlite3_vfs *, const char *name, sqlite3_file *f, int flags, int *out)
    {
        int rc = real->xOpen(real, name, f, flags, out);
        if (rc != SQLITE_OK || !f->pMethods)
            return rc;
        std::lock_guard<std::mutex> lock(mutex);
        int k = 0;
        while (k < kinds && real_methods[k] != f->pMethods)
            k++;
        if (k == KINDS)
            return rc;  // not expected: left as it is
        if (k == kinds) {
            real_methods[k] = f->pMethods;
            methods[k] = *f->pMethods;
            methods[k].xSync = sync;
            kinds++;
        }
        f->pMethods = &methods[k];
        return rc;
    }
    static void install()
    {
        real = sqlite3_vfs_find(nullptr);
        vfs = *real;
        vfs.zName = "stalled-disk";
        vfs.xOpen = open;
        sqlite3_vfs_register(&vfs, 1);
    }
    static void remove()
    {
        sqlite3_vfs_unregister(&vfs);
        sqlite3_vfs_register(real, 1);
    }
    static void hold(bool on)
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = on;
        cv.notify_all();
    }
    // True once a sync is held (the writer reached the disk) within the time.
    static bool writer_held(std::chrono::milliseconds within)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, within, [] { return waiting > 0; });
    }
};
