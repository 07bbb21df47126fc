// The pipelined design of the AVX-512VL kernel, internal to the kernels:
// kernel_avx512vl.cpp builds it for AVX-512VL and kernel_avx512vl_emulated.cpp
// for no particular instruction set. Twelve rows as three groups of four,
// each group in 256-bit vectors, with the multiplies of one step issued while
// the products of the step before are transposed and added.
//
// Each element of an exact sum needs its own multiply and its own add, and the
// transposes that put one row in one lane take vector instructions too, so in
// cache the vector pipes set the pace. A 4x4 transpose of 256-bit vectors
// (two unpacks and two 128-bit lane shuffles per pair of rows) takes one
// instruction per element, fewer than the 8x8 transpose of 512-bit vectors,
// and on processors that split a 512-bit operation into two 256-bit halves
// it is also the cheaper of the two. Keeping the products of one step in
// registers while those of the next are computed needs about thirty vector
// registers: AVX-512VL gives 256-bit operations the 32 registers of AVX-512
// (with AVX alone the compiler spills).
//
// Include it inside the region PRODUCT_TIMER_NOSVE_BEGIN opens (on aarch64).
#pragma once

#include <cstdint>
#include <cstring>

#include "vector_design.h"

namespace {

// rounded (vector_design.h) for this design: the barrier for four products
// in any of the 32 registers (ROUNDING_BARRIER_EVEX), held in registers of W bytes
// (32 for the native build, 16 for the emulated one).
template <int W> KERNEL_INLINE vec4 rounded_evex(const vec4& value) {
    if constexpr (W >= 32) {
        vec4 products = value;
        ROUNDING_BARRIER_EVEX(products);
        return products;
    } else {
        vec2 low = low_half(value), high = high_half(value);
        ROUNDING_BARRIER_EVEX(low);
        ROUNDING_BARRIER_EVEX(high);
        return join(low, high);
    }
}

// The rounded products of columns j .. j+3 of the four rows of a group.
struct quad_products {
    vec4 p[4];
};

template <int W>
KERNEL_INLINE quad_products multiply_quad(const double* const row[4], int64_t j, const vec4& xj) {
    quad_products q;
    for (int k = 0; k < 4; ++k) q.p[k] = rounded_evex<W>(load4(row[k] + j) * xj);
    return q;
}

// Adds four columns of products to the sums of a group, column after column:
// unpacks pair the rows, the 128-bit lane shuffles (vperm2f128 0x20 and 0x31)
// gather one column of all four rows.
KERNEL_INLINE vec4 add_quad(const vec4& sums, const quad_products& q) {
    const vec4 t0 = SHUFFLE(q.p[0], q.p[1], 0, 4, 2, 6);  // columns 0, 2 of rows 0, 1
    const vec4 t1 = SHUFFLE(q.p[0], q.p[1], 1, 5, 3, 7);  // columns 1, 3 of rows 0, 1
    const vec4 t2 = SHUFFLE(q.p[2], q.p[3], 0, 4, 2, 6);  // columns 0, 2 of rows 2, 3
    const vec4 t3 = SHUFFLE(q.p[2], q.p[3], 1, 5, 3, 7);  // columns 1, 3 of rows 2, 3
    vec4 acc = sums;
    acc += SHUFFLE(t0, t2, 0, 1, 4, 5);
    acc += SHUFFLE(t1, t3, 0, 1, 4, 5);
    acc += SHUFFLE(t0, t2, 2, 3, 6, 7);
    acc += SHUFFLE(t1, t3, 2, 3, 6, 7);
    return acc;
}

// Column j of a group alone.
template <int W> KERNEL_INLINE vec4 add_one_column(const vec4& acc, const double* const row[4],
                                                   int64_t j, double xj) {
    const vec4 a = {row[0][j], row[1][j], row[2][j], row[3][j]};
    const vec4 x = {xj, xj, xj, xj};
    return acc + rounded_evex<W>(a * x);
}

// One group's state: its sums, and the products multiplied but not yet added.
// A group starts with zero products pending: adding +0.0 to the sums leaves
// them as they are, since a sum that starts from +0.0 is never -0.0.
struct group_state {
    vec4 sums;
    quad_products pending;
};

// One step of group g over columns j .. j+7: the products of j .. j+3 are
// multiplied while the pending ones are added, then those of j+4 .. j+7 while
// the ones of j .. j+3 are added; the last four stay pending.
template <int W> KERNEL_INLINE void step_group(group_state& s, const double* const row[4],
                                               const double x[], int64_t j) {
    const quad_products first = multiply_quad<W>(row, j, load4(x + j));
    s.sums = add_quad(s.sums, s.pending);
    s.pending = multiply_quad<W>(row, j + 4, load4(x + j + 4));
    s.sums = add_quad(s.sums, first);
}

// With a row stride of a multiple of 2 KB the same columns of all rows fall
// into one or two sets of the first-level cache; each group then runs ahead
// of the one before by this many columns (as in the other vector kernels).
constexpr int64_t lead_columns = 64;

// The sums of G groups of four rows (rows[4*g .. 4*g+3]) into sums[0 .. 4*G-1].
// Single columns until row 0 reaches a cache line (when all rows share its
// alignment), steps of eight columns, each group g at column j + g*lag, then
// the last columns one at a time.
template <int G, int W> KERNEL_INLINE void multiply_groups(const double* const rows[],
                                                           const double x[], int n, double sums[]) {
    group_state s[G];
    for (int g = 0; g < G; ++g) s[g] = group_state{};
    int64_t j = 0;
    int64_t head = 0;
    if (n % 8 == 0) head = (64 - reinterpret_cast<uintptr_t>(rows[0]) % 64) % 64 / sizeof(double);
    for (; j < head && j < n; ++j)
        for (int g = 0; g < G; ++g) s[g].sums = add_one_column<W>(s[g].sums, rows + 4 * g, j, x[j]);

    const int64_t whole = j + (n - j) / 8 * 8;
    const int64_t lag = n % 256 == 0 && whole - j >= (G - 1) * lead_columns + 8 ? lead_columns : 0;
    for (int64_t c = j; c < j + (G - 1) * lag; c += 8)
        for (int g = 1; g < G; ++g)
            if (c < j + g * lag) step_group<W>(s[g], rows + 4 * g, x, c);
    for (; j + (G - 1) * lag < whole; j += 8)
        for (int g = 0; g < G; ++g) step_group<W>(s[g], rows + 4 * g, x, j + g * lag);
    for (int64_t c = j; c < j + (G - 1) * lag; c += 8)
        for (int g = 0; g < G - 1; ++g)
            if (c + g * lag < whole) step_group<W>(s[g], rows + 4 * g, x, c + g * lag);
    for (int g = 0; g < G; ++g) s[g].sums = add_quad(s[g].sums, s[g].pending);

    for (j = whole; j < n; ++j)
        for (int g = 0; g < G; ++g) s[g].sums = add_one_column<W>(s[g].sums, rows + 4 * g, j, x[j]);
    for (int g = 0; g < G; ++g) std::memcpy(sums + 4 * g, &s[g].sums, sizeof s[g].sums);
}

template <int G, int W> KERNEL_INLINE void multiply_block(const double A[], const double x[],
                                                          double y[], int64_t i, int n) {
    const double* rows[4 * G];
    for (int k = 0; k < 4 * G; ++k) rows[k] = A + (i + k) * n;
    multiply_groups<G, W>(rows, x, n, y + i);
}

// This design's group of four rows, for multiply_last_rows (vector_design.h).
template <int W> struct pipelined_quad {
    static KERNEL_INLINE void multiply(const double* const rows[], const double x[], int n,
                                       double sums[]) {
        multiply_groups<1, W>(rows, x, n, sums);
    }
};

// Blocks of twelve rows, then one of eight, one of four, and one to three rows
// in a group of four that repeats its last row (only the real rows' sums are
// kept).
template <int W> KERNEL_INLINE void multiply_rows_in_quads(const double A[], const double x[],
                                                           double y[], int first, int count,
                                                           int n) {
    const int64_t end = static_cast<int64_t>(first) + count;
    int64_t i = first;
    for (; end - i >= 12; i += 12) multiply_block<3, W>(A, x, y, i, n);
    if (end - i >= 8) {
        multiply_block<2, W>(A, x, y, i, n);
        i += 8;
    }
    if (end - i >= 4) {
        multiply_block<1, W>(A, x, y, i, n);
        i += 4;
    }
    if (end > i) multiply_last_rows<pipelined_quad<W>>(A, x, y, i, static_cast<int>(end - i), n);
}

}  // namespace
