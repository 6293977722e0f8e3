// The process's ways out: the orderly close on the server's request, and the one
// error path for a problem the client cannot go on from.
#pragma once

// Closes the first count sockets of the array, then ends the process with code.
[[noreturn]] void close_and_exit(int code, int count, const int *sockets);

// Writes one line to standard error ("mazecar: " and the formatted text), closes the
// connection if there is one and ends the process with code 1. The format is always
// the client's own; server text is passed only as an argument.
// Replaces the final exit (the fuzzing driver uses it to regain control; the hook
// must not return). Null restores the standard exit.
void set_exit_hook(void (*hook)(int code));

[[noreturn, gnu::format(printf, 1, 2)]] void fatal_error(const char *format, ...);
