// Integers read from command-line and file text without wrapping around.
#pragma once

// Base-10 integer conversion in the manner of strtol (leading white space and
// a sign accepted, trailing text ignored, no number gives 0); values beyond
// the int range become INT_MIN or INT_MAX, so that 4294967298 means INT_MAX
// and not 2. Where end is given, *end is set to the first character after
// the number (text itself when there is none), for lists such as "192x1024".
int to_int_saturated(const char* text, const char** end = nullptr);
