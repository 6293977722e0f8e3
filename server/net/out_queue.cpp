// A client's bounded output queue: bytes pushed whole or not at all, sent from the front;
// an unsent position message at the end gives way to a newer one.
#include "net/out_queue.h"

#include <cstring>

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
    // Only a message none of whose bytes has reached the kernel is replaced: the
    // client must never see the start of one message and the end of another.
    if (last_position != NO_POSITION && last_position >= start &&
        buf.size() - last_position == len) {
        memcpy(buf.data() + last_position, bytes, len);
        since_taken += len;
        *replaced = len;
        return true;
    }
    push(bytes, len);
    last_position = buf.size() - len;
    *replaced = 0;
    return true;
}

void out_queue::consume(size_t n)
{
    start += n < pending() ? n : pending();
    if (n > 0)
        since_taken = pending();
    if (start == buf.size()) {
        buf.clear();
        start = 0;
        last_position = NO_POSITION;
    }
}

void out_queue::reset()
{
    std::vector<unsigned char>().swap(buf);
    start = 0;
    since_taken = 0;
    last_position = NO_POSITION;
}
