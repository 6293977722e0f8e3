// A client's bounded output queue: bytes pushed whole or not at all, sent from the front.
#include "net/out_queue.h"

bool out_queue::push(const void *bytes, size_t len)
{
    if (pending() > limit || len > limit - pending())
        return false;
    if (start > 0 && start >= buf.size() / 2) {  // reuse the sent front before growing
        buf.erase(buf.begin(), buf.begin() + static_cast<long>(start));
        start = 0;
    }
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    buf.insert(buf.end(), p, p + len);
    return true;
}

void out_queue::consume(size_t n)
{
    start += n < pending() ? n : pending();
    if (start == buf.size()) {
        buf.clear();
        start = 0;
    }
}

void out_queue::reset()
{
    std::vector<unsigned char>().swap(buf);
    start = 0;
}
