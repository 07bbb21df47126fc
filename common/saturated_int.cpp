#include "saturated_int.h"

#include <climits>
#include <cstdlib>

int to_int_saturated(const char* text, const char** end) {
    char* stop = nullptr;
    const long value = std::strtol(text, &stop, 10);
    if (end != nullptr) *end = stop;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}
