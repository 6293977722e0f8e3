// A client's bounded output queue: bytes pushed whole or not at all, sent from the front;
// an unsent position message at the end gives way to a newer one.
#include "net/out_queue.h"

bool out_queue::push(const void *bytes, size_t len)
{
    if (since_taken > limit || len > limit - since_taken)
        return false;
    if (start > 0 && start >= buf.size() / 2) {  // reuse the sent front before growing
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(start));
        start = 0;
    }
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    buf.insert(buf.end(), p, p + len);
    since_taken += len;
    last_position = NO_POSITION;
    return true;
}

bool out_queue::push_position(const void *bytes, size_t len, size_t *replaced)
{
    if (since_taken > limit || len > limit - since_taken)
        return false;
    // consume() forgets a position message once its first byte is sent, so what is
    // cut here has never reached the kernel.
    size_t old = last_position == NO_POSITION ? 0 : buf.size() - last_position;
    buf.resize(buf.size() - old);
    push(bytes, len);
    last_position = buf.size() - len;
    *replaced = old;
    return true;
}

void out_queue::consume(size_t n)
{
    start += n < pending() ? n : pending();
    if (last_position != NO_POSITION && start > last_position)
        last_position = NO_POSITION;
    if (n > 0)
        since_taken = pending();
    if (start == buf.size()) {
        buf.clear();
        start = 0;
    }
}

void out_queue::reset()
{
    std::vector<unsigned char>().swap(buf);
    start = 0;
    since_taken = 0;
    last_position = NO_POSITION;
}
