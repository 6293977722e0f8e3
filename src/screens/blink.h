// The blink rule shared by every blinking text or point: each has its own frame
// counter, advanced only in the frames in which the element is due.
#pragma once

#include <cstdint>

// Advances counter by one (wrapping as a 32-bit word) and answers whether the element
// is lit in this frame: (counter / divisor) mod 3 is not 0. From 0 an element is dark
// for divisor - 1 frames, then lit for 2 * divisor and dark for divisor in turn.
bool blink_lit(int32_t &counter, int divisor);
