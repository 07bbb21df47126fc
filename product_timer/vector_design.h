// The shared vector design of the product kernels, internal to them: each
// kernel_<set>.cpp instantiates multiply_rows_grouped in a function compiled
// for its instruction set. Include it after rounding_barrier.h and, on
// aarch64, inside the region PRODUCT_TIMER_NOSVE_BEGIN opens
// (kernel_target.h says why).
//
// The additions of one row form a dependent chain, and a loop that finishes
// one row before it starts the next is bound by the latency of that chain
// rather than by memory. The kernels therefore sum several rows side by side,
// each row still strictly in column order.
//
// The vector kernels are written once with the compiler's generic vector
// types (vec4: four doubles, vec8: eight) and compiled for each instruction
// set by the functions that instantiate them: for AVX, for AVX-512F, for NEON
// on aarch64, and once more for no particular instruction set, where the
// compiler carries out the 512-bit operations with whatever vectors the
// processor has. That last build runs the 512-bit design on any machine, so
// the tests can compare it with the plain loop even where no AVX-512
// processor is at hand.
//
// A group of rows shares one vector of sums, lane k for row k of the group.
// Each step multiplies a slice of every row of the group by the same columns
// of x, transposes the products so that one vector holds one column of all
// the group's rows, and adds these columns to the sums one after the other:
// each lane still adds its row's products in column order.
//
// The template parameter W is the size in bytes of the widest vector register
// the instantiating function may use (16 for SSE2 and NEON, 32 for AVX, 64
// for AVX-512F): the rounding barrier holds a vector that fits one such
// register whole, and a wider one half by half.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "rounding_barrier.h"

namespace {

typedef double vec2 __attribute__((vector_size(16)));
typedef double vec4 __attribute__((vector_size(32)));
typedef double vec8 __attribute__((vector_size(64)));

#define KERNEL_INLINE __attribute__((always_inline)) inline

// GCC and clang warn that passing these vectors by value differs between
// instruction sets. The helpers below are internal and always inlined, so no
// call ever crosses that boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

// SHUFFLE(a, b, lanes...): the lanes of a followed by those of b, picked by
// constant indices. GCC before 12 has only __builtin_shuffle, which takes the
// indices as a vector of integers as wide as the doubles.
#if defined(__clang__) || __GNUC__ >= 12
#define SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
template <typename V> struct lane_indices;
template <> struct lane_indices<vec4> { typedef int64_t type __attribute__((vector_size(32))); };
template <> struct lane_indices<vec8> { typedef int64_t type __attribute__((vector_size(64))); };
#define SHUFFLE(a, b, ...) \
    __builtin_shuffle(a, b, lane_indices<std::decay_t<decltype(a)>>::type{__VA_ARGS__})
#endif

// The two halves of a vector, and a vector from its halves.
#if defined(__clang__) || __GNUC__ >= 12
KERNEL_INLINE vec2 low_half(const vec4& v) { return __builtin_shufflevector(v, v, 0, 1); }
KERNEL_INLINE vec2 high_half(const vec4& v) { return __builtin_shufflevector(v, v, 2, 3); }
KERNEL_INLINE vec4 low_half(const vec8& v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3); }
KERNEL_INLINE vec4 high_half(const vec8& v) { return __builtin_shufflevector(v, v, 4, 5, 6, 7); }
KERNEL_INLINE vec4 join(const vec2& low, const vec2& high) {
    return __builtin_shufflevector(low, high, 0, 1, 2, 3);
}
KERNEL_INLINE vec8 join(const vec4& low, const vec4& high) {
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}
#else
// Through memory, which the compiler keeps in registers where it can.
template <typename H, typename V> KERNEL_INLINE H half_at(const V& v, int k) {
    H half;
    std::memcpy(&half, reinterpret_cast<const char*>(&v) + k * sizeof half, sizeof half);
    return half;
}
KERNEL_INLINE vec2 low_half(const vec4& v) { return half_at<vec2>(v, 0); }
KERNEL_INLINE vec2 high_half(const vec4& v) { return half_at<vec2>(v, 1); }
KERNEL_INLINE vec4 low_half(const vec8& v) { return half_at<vec4>(v, 0); }
KERNEL_INLINE vec4 high_half(const vec8& v) { return half_at<vec4>(v, 1); }
template <typename V, typename H> KERNEL_INLINE V joined(const H& low, const H& high) {
    V v;
    std::memcpy(&v, &low, sizeof low);
    std::memcpy(reinterpret_cast<char*>(&v) + sizeof low, &high, sizeof high);
    return v;
}
KERNEL_INLINE vec4 join(const vec2& low, const vec2& high) { return joined<vec4>(low, high); }
KERNEL_INLINE vec8 join(const vec4& low, const vec4& high) { return joined<vec8>(low, high); }
#endif

// rounding_barrier for a vector of products, in registers of W bytes.
template <int W, typename V> KERNEL_INLINE V rounded(const V& value) {
    V products = value;
    if constexpr (sizeof(V) <= W) {
        ROUNDING_BARRIER(products);
        return products;
    } else {
        return join(rounded<W>(low_half(products)), rounded<W>(high_half(products)));
    }
}

KERNEL_INLINE vec4 load4(const double* p) {
    vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

KERNEL_INLINE vec8 load8(const double* p) {
    vec8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Columns j .. j+3 of four rows, added to acc column after column.
template <int W> KERNEL_INLINE vec4 add_four_columns(const vec4& sums, const double* const row[4],
                                                     int64_t j, const vec4& xj) {
    vec4 acc = sums;
    const vec4 p0 = rounded<W>(load4(row[0] + j) * xj);
    const vec4 p1 = rounded<W>(load4(row[1] + j) * xj);
    const vec4 p2 = rounded<W>(load4(row[2] + j) * xj);
    const vec4 p3 = rounded<W>(load4(row[3] + j) * xj);
    const vec4 t0 = SHUFFLE(p0, p1, 0, 4, 2, 6);  // columns j, j+2 of rows 0, 1
    const vec4 t1 = SHUFFLE(p0, p1, 1, 5, 3, 7);  // columns j+1, j+3 of rows 0, 1
    const vec4 t2 = SHUFFLE(p2, p3, 0, 4, 2, 6);  // columns j, j+2 of rows 2, 3
    const vec4 t3 = SHUFFLE(p2, p3, 1, 5, 3, 7);  // columns j+1, j+3 of rows 2, 3
    acc += SHUFFLE(t0, t2, 0, 1, 4, 5);
    acc += SHUFFLE(t1, t3, 0, 1, 4, 5);
    acc += SHUFFLE(t0, t2, 2, 3, 6, 7);
    acc += SHUFFLE(t1, t3, 2, 3, 6, 7);
    return acc;
}

// Shuffles of eight-double vectors seen as four pairs (128-bit lanes):
// pairs 0 and 2 of a then of b, or pairs 1 and 3 of a then of b.
KERNEL_INLINE vec8 even_pairs(const vec8& a, const vec8& b) {
    return SHUFFLE(a, b, 0, 1, 4, 5, 8, 9, 12, 13);
}
KERNEL_INLINE vec8 odd_pairs(const vec8& a, const vec8& b) {
    return SHUFFLE(a, b, 2, 3, 6, 7, 10, 11, 14, 15);
}

// Columns j .. j+7 of eight rows, added to acc column after column: an 8x8
// transpose of the products in three stages of eight shuffles each.
template <int W> KERNEL_INLINE vec8 add_eight_columns(const vec8& sums, const double* const row[8],
                                                      int64_t j, const vec8& xj) {
    vec8 acc = sums;
    vec8 p[8];
    for (int k = 0; k < 8; ++k) p[k] = rounded<W>(load8(row[k] + j) * xj);
    // Pairs of rows interleaved: t[2r] holds columns j, j+2, j+4, j+6 of
    // rows 2r and 2r+1, t[2r+1] the odd columns.
    vec8 t[8];
    for (int r = 0; r < 4; ++r) {
        t[2 * r] = SHUFFLE(p[2 * r], p[2 * r + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        t[2 * r + 1] = SHUFFLE(p[2 * r], p[2 * r + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    // Rows 0-3 and rows 4-7: columns (j, j+4), (j+2, j+6), (j+1, j+5),
    // (j+3, j+7), each as two pairs of rows.
    const vec8 w0 = even_pairs(t[0], t[2]), w1 = odd_pairs(t[0], t[2]);
    const vec8 w2 = even_pairs(t[1], t[3]), w3 = odd_pairs(t[1], t[3]);
    const vec8 w4 = even_pairs(t[4], t[6]), w5 = odd_pairs(t[4], t[6]);
    const vec8 w6 = even_pairs(t[5], t[7]), w7 = odd_pairs(t[5], t[7]);
    // One column of all eight rows per vector, in column order.
    acc += even_pairs(w0, w4);  // j
    acc += even_pairs(w2, w6);  // j+1
    acc += even_pairs(w1, w5);  // j+2
    acc += even_pairs(w3, w7);  // j+3
    acc += odd_pairs(w0, w4);   // j+4
    acc += odd_pairs(w2, w6);   // j+5
    acc += odd_pairs(w1, w5);   // j+6
    acc += odd_pairs(w3, w7);   // j+7
    return acc;
}

// Column j of four or eight rows alone, for the columns that do not fill a
// whole step.
template <int W>
KERNEL_INLINE vec4 add_column(const vec4& acc, const double* const row[4], int64_t j, double xj) {
    const vec4 a = {row[0][j], row[1][j], row[2][j], row[3][j]};
    const vec4 x = {xj, xj, xj, xj};
    return acc + rounded<W>(a * x);
}
template <int W>
KERNEL_INLINE vec8 add_column(const vec8& acc, const double* const row[8], int64_t j, double xj) {
    const vec8 a = {row[0][j], row[1][j], row[2][j], row[3][j],
                    row[4][j], row[5][j], row[6][j], row[7][j]};
    const vec8 x = {xj, xj, xj, xj, xj, xj, xj, xj};
    return acc + rounded<W>(a * x);
}

// Group g of O groups of eight rows and the groups of four that follow them
// takes one step of eight columns, j .. j+7.
template <int O, int W> KERNEL_INLINE void step_group(vec8 acc8[], vec4 acc4[],
                                                      const double* const rows[], const double x[],
                                                      int g, int64_t j) {
    if (g < O) {
        acc8[g] = add_eight_columns<W>(acc8[g], rows + 8 * g, j, load8(x + j));
    } else {
        const double* const* quad = rows + 8 * O + 4 * (g - O);
        acc4[g - O] = add_four_columns<W>(acc4[g - O], quad, j, load4(x + j));
        acc4[g - O] = add_four_columns<W>(acc4[g - O], quad, j + 4, load4(x + j + 4));
    }
}

// Column j of every group alone.
template <int O, int Q, int W>
KERNEL_INLINE void add_column_to_groups(vec8 acc8[], vec4 acc4[], const double* const rows[],
                                        const double x[], int64_t j) {
    for (int g = 0; g < O; ++g) acc8[g] = add_column<W>(acc8[g], rows + 8 * g, j, x[j]);
    for (int g = 0; g < Q; ++g) acc4[g] = add_column<W>(acc4[g], rows + 8 * O + 4 * g, j, x[j]);
}

// The sums of O groups of eight rows and Q groups of four, side by side:
// rows[0 .. 8*O-1] are the eight-row groups, the next 4*Q the four-row
// groups, and the sum of rows[k] goes to sums[k]. The groups keep O + Q
// independent chains of additions in flight and 8*O + 4*Q rows streaming
// from memory.
//
// Steps take eight columns, a whole 64-byte cache line of every row once the
// columns are aligned: with n a multiple of 8 all rows share the same
// alignment, so the first few columns are taken one at a time until row 0
// (and with it every row) reaches a line boundary.
//
// With a row stride of a multiple of 2 KB (n a multiple of 256, powers of two
// among them) the same columns of all rows fall into one or two sets of the
// first-level cache, fewer ways than rows, and the lines that the prefetcher
// brings in for the next steps crowd the sets that follow. Each group then
// runs ahead of the one before by group_lead columns (eight lines), so the
// groups read lines of different sets; every group still takes its own
// columns in order. On the AVX2 machine of the benchmark this made the kernel
// 5-24% faster at n = 512, 1024 and 2048 (a lead of 16 columns helped less).
constexpr int64_t group_lead = 64;

template <int O, int Q, int W> KERNEL_INLINE void multiply_groups(const double* const rows[],
                                                                  const double x[], int n,
                                                                  double sums[]) {
    constexpr int G = O + Q;
    vec8 acc8[O > 0 ? O : 1] = {};
    vec4 acc4[Q > 0 ? Q : 1] = {};
    int64_t j = 0;
    int64_t head = 0;
    if (n % 8 == 0) head = (64 - reinterpret_cast<uintptr_t>(rows[0]) % 64) % 64 / sizeof(double);
    for (; j < head && j < n; ++j) add_column_to_groups<O, Q, W>(acc8, acc4, rows, x, j);

    // Group g works on column j + g*lag; all groups stop at the same column
    // `whole`, after the last whole step.
    const int64_t whole = j + (n - j) / 8 * 8;
    const int64_t lag = n % 256 == 0 && whole - j >= (G - 1) * group_lead + 8 ? group_lead : 0;
    for (int64_t c = j; c < j + (G - 1) * lag; c += 8)
        for (int g = 1; g < G; ++g)
            if (c < j + g * lag) step_group<O, W>(acc8, acc4, rows, x, g, c);
    for (; j + (G - 1) * lag < whole; j += 8)
        for (int g = 0; g < G; ++g) step_group<O, W>(acc8, acc4, rows, x, g, j + g * lag);
    for (int64_t c = j; c < j + (G - 1) * lag; c += 8)
        for (int g = 0; g < G - 1; ++g)
            if (c + g * lag < whole) step_group<O, W>(acc8, acc4, rows, x, g, c + g * lag);
    for (j = whole; j < n; ++j) add_column_to_groups<O, Q, W>(acc8, acc4, rows, x, j);

    // The groups' sums lie one after the other, as in sums. (Copied only
    // where there are groups: GCC without optimisation warns about a copy
    // from the one-element placeholder array even where it never runs.)
    if constexpr (O > 0) std::memcpy(sums, acc8, sizeof acc8);
    if constexpr (Q > 0) std::memcpy(sums + 8 * O, acc4, sizeof acc4);
}

// Rows i .. i+8*O+4*Q-1 of A into y[i ..].
template <int O, int Q, int W> KERNEL_INLINE void multiply_block(const double A[], const double x[],
                                                                 double y[], int64_t i, int n) {
    const double* rows[8 * O + 4 * Q];
    for (int k = 0; k < 8 * O + 4 * Q; ++k) rows[k] = A + (i + k) * n;
    multiply_groups<O, Q, W>(rows, x, n, y + i);
}

// The last one to three rows, rows_left from row i, as a group of four that
// repeats its last real row; only the real rows' sums are kept. Group is a
// design's group of four: Group::multiply(rows, x, n, sums).
template <typename Group> KERNEL_INLINE void multiply_last_rows(const double A[], const double x[],
                                                                double y[], int64_t i,
                                                                int rows_left, int n) {
    const double* rows[4];
    for (int k = 0; k < 4; ++k) rows[k] = A + (i + (k < rows_left ? k : rows_left - 1)) * n;
    double sums[4];
    Group::multiply(rows, x, n, sums);
    for (int k = 0; k < rows_left; ++k) y[i + k] = sums[k];
}

// This design's group of four rows, for multiply_last_rows.
template <int W> struct quad_group {
    static KERNEL_INLINE void multiply(const double* const rows[], const double x[], int n,
                                       double sums[]) {
        multiply_groups<0, 1, W>(rows, x, n, sums);
    }
};

// Rows first .. first+count-1 in blocks of twelve (O groups of eight and Q
// of four, 8*O + 4*Q = 12), then one block of eight, one of four, and one to
// three rows in a group of four that repeats its last row, of which only the
// sums of the real rows are kept.
//
// From memory the number of rows in flight matters most, and twelve was
// measured best (more only add register pressure and cache-set conflicts);
// in cache the vector units set the pace. With AVX the twelve rows are three
// groups of four; with AVX-512 one group of eight (0.625 vector instructions
// per element instead of 1) and one of four.
template <int O, int Q, int W>
KERNEL_INLINE void multiply_rows_grouped(const double A[], const double x[], double y[], int first,
                                         int count, int n) {
    static_assert(8 * O + 4 * Q == 12, "blocks of twelve rows");
    const int64_t end = static_cast<int64_t>(first) + count;
    int64_t i = first;
    for (; end - i >= 12; i += 12) multiply_block<O, Q, W>(A, x, y, i, n);
    if (end - i >= 8) {
        if (O > 0)
            multiply_block<1, 0, W>(A, x, y, i, n);
        else
            multiply_block<0, 2, W>(A, x, y, i, n);
        i += 8;
    }
    if (end - i >= 4) {
        multiply_block<0, 1, W>(A, x, y, i, n);
        i += 4;
    }
    if (end > i) multiply_last_rows<quad_group<W>>(A, x, y, i, static_cast<int>(end - i), n);
}

}  // namespace
