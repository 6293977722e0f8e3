// Linked into every fuzz target: undefined behaviour ends the run like a crash, so
// the fuzzer keeps the input, instead of a report that scrolls past (or, with
// -close_fd_mask, is never seen) while the run goes on.
extern "C" const char *__ubsan_default_options()
{
    return "halt_on_error=1:print_stacktrace=1";
}
