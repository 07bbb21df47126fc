// Test data and the reference product shared by the product_timer tests.
#pragma once

#include <cmath>
#include <cstring>
#include <vector>

// Values spread over many binades, so that any change in the order of the
// additions shows in the low bits of the sums, with all 53 bits of the
// significand in use, so that products are rarely exact and a fused
// multiply-add (which skips the product's rounding) shows too.
inline std::vector<double> wide_values(size_t count, unsigned seed) {
    std::vector<double> v(count);
    for (size_t k = 0; k < count; ++k) {
        seed = seed * 1103515245u + 12345u;
        const unsigned high = seed >> 5;  // 27 bits
        seed = seed * 1103515245u + 12345u;
        const unsigned low = seed >> 6;  // 26 bits
        const double mantissa = std::ldexp(static_cast<double>(high), -27) +
                                std::ldexp(static_cast<double>(low), -53) - 0.5;
        v[k] = std::ldexp(mantissa, static_cast<int>(seed % 41) - 20);
    }
    return v;
}

// Values in [0, 1) with all 53 bits of the significand in use, like the
// program's own data: the sums of a row grow steadily, so that skipping the
// rounding of a product (a fused multiply-add) changes many of them.
inline std::vector<double> unit_values(size_t count, unsigned seed) {
    std::vector<double> v(count);
    for (size_t k = 0; k < count; ++k) {
        seed = seed * 1103515245u + 12345u;
        const unsigned high = seed >> 5;
        seed = seed * 1103515245u + 12345u;
        v[k] = std::ldexp(static_cast<double>(high), -27) +
               std::ldexp(static_cast<double>(seed >> 6), -53);
    }
    return v;
}

// The plain left-to-right sum of rounded products. Each product is stored in
// a volatile variable before it is added, so no compiler flag can fuse the
// multiply with the add here either.
inline std::vector<double> plain_product(const std::vector<double>& A, const std::vector<double>& x,
                                         int m, int n) {
    std::vector<double> y(m);
    for (int i = 0; i < m; ++i) {
        double sum = 0.0;
        for (int j = 0; j < n; ++j) {
            volatile double product = A[static_cast<size_t>(i) * n + j] * x[j];
            sum += product;
        }
        y[i] = sum;
    }
    return y;
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}
