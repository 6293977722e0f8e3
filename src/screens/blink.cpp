// The blink rule of the blinking texts and radar points.
#include "screens/blink.h"

bool blink_lit(int32_t &counter, int divisor)
{
    // Unsigned addition wraps without signed overflow; the run would need 248 days
    // of frames at 100 Hz to get there.
    counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + 1u);
    return (counter / divisor) % 3 != 0;
}
