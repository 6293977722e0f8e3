// The process's ways out.
#include "startup/shutdown.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "net/framing.h"

static void (*exit_hook)(int code);

void set_exit_hook(void (*hook)(int code))
{
    exit_hook = hook;
}

[[noreturn]] static void end_process(int code)
{
    if (exit_hook)
        exit_hook(code);
    exit(code);
}

void close_and_exit(int code, int count, const int *sockets)
{
    for (int i = 0; i < count; i++)
        close(sockets[i]);
    end_process(code);
}

void fatal_error(const char *format, ...)
{
    fputs("mazecar: ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    if (sock >= 0)
        close(sock);
    sock = -1;
    end_process(1);
}
