#include "saturated_int.h"

#include <climits>
#include <cstdlib>

int to_int_saturated(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}
