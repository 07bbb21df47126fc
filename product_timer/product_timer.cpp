// product_timer: multiplies a pseudo-random m-by-n matrix by a pseudo-random
// vector with a team of OpenMP threads and prints how long the product took.
//
//   product_timer <thread_count> <m> <n>
#include "product_timer.h"

#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <omp.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "messages.h"
#include "program_info.h"

#if defined(__x86_64__) || defined(__i386__)
#define PRODUCT_TIMER_X86 1
#else
#define PRODUCT_TIMER_X86 0
#endif
#if defined(__aarch64__)
#define PRODUCT_TIMER_AARCH64 1
#else
#define PRODUCT_TIMER_AARCH64 0
#endif

// -ffast-math lets the compiler reorder the additions of a row, which no
// statement in this file can prevent: refuse it instead of giving other bits.
#ifdef __FAST_MATH__
#error "product_timer.cpp must not be compiled with -ffast-math: y must be the left-to-right sum of rounded products"
#endif

namespace {

const char memory_message[] = "Memory could not be allocated, exiting\n";

// strtol in base 10, saturated to the int range instead of wrapping, so that
// 4294967298 means INT_MAX and not 2.
int to_int(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// malloc for count doubles; nullptr when the byte count does not fit a size_t
// or the heap refuses.
double* allocate_doubles(int64_t count) {
    if (static_cast<uint64_t>(count) > SIZE_MAX / sizeof(double)) return nullptr;
    return static_cast<double*>(std::malloc(static_cast<size_t>(count) * sizeof(double)));
}

double next_random_value() {
    return static_cast<double>(random()) / 2147483647.0;
}

// One "%lf" conversion into *element. On a failed conversion the element keeps
// its value and the word that could not be converted is dropped, so the next
// element is read from the next word rather than failing on the same one.
void read_value(double* element) {
    if (std::scanf("%lf", element) == 1) return;
    int c = std::getchar();
    while (c != EOF && !std::isspace(c)) c = std::getchar();
}

}  // namespace

row_block thread_rows(int m, int t, int T) {
    int q = m / T;
    int r = m % T;
    if (t < r) return {t * (q + 1), q + 1};
    return {t * q + r, q};
}

void usage(const char* prog_name) {
    std::fprintf(stderr, "usage: %s <thread_count> <m> <n>\n", prog_name);
    print_help_hint(prog_name);
    std::exit(1);
}

namespace {

// The usage line, then the cap on the thread count, which the usage line
// alone does not explain.
[[noreturn]] void refuse_thread_count(const char* prog_name) {
    std::fprintf(stderr, "usage: %s <thread_count> <m> <n>\n", prog_name);
    std::fprintf(stderr, "At most %d threads are accepted\n", max_thread_count);
    print_help_hint(prog_name);
    std::exit(1);
}

}  // namespace

void get_args(int argc, char* argv[], int* thread_count, int* m, int* n) {
    // A process started with an empty argument vector has no name to show.
    if (argc != 4) usage(argc > 0 ? argv[0] : "product_timer");
    *thread_count = to_int(argv[1]);
    *m = to_int(argv[2]);
    *n = to_int(argv[3]);
    if (*thread_count <= 0 || *m <= 0 || *n <= 0) usage(argv[0]);
    if (*thread_count > max_thread_count) refuse_thread_count(argv[0]);
}

void gen_matrix(double A[], int m, int n) {
    if (m <= 0 || n <= 0) return;
    int64_t size = static_cast<int64_t>(m) * n;
    for (int64_t k = 0; k < size; ++k) A[k] = next_random_value();
}

void gen_vector(double x[], int n) {
    for (int j = 0; j < n; ++j) x[j] = next_random_value();
}

// The product kernels. Every y[i] must be the left-to-right sum of the rounded
// products, starting from +0.0, so the additions of one row form a dependent
// chain, and a loop that finishes one row before it starts the next is bound
// by the latency of that chain rather than by memory. The kernels therefore
// sum several rows side by side, each row still strictly in column order.
//
// A multiply must never be fused with the add that follows it (one rounding
// instead of two). Compilers fuse by default where the processor has fused
// multiply-adds (GCC on aarch64, or on x86-64 with -march=native; Clang
// within one expression), GCC ignores `#pragma STDC FP_CONTRACT OFF`, and
// Clang ignores it under -ffp-contract=fast. So every product passes through
// rounding_barrier before it is added: an empty asm statement that claims to
// change the value in its register. The compiler must then take the product
// as an unknown value, already rounded, and has no multiply left to fuse; the
// statement itself emits no instruction. This holds whatever flags the file
// is compiled with, the build's -ffp-contract=off being only a second guard.

namespace {

#if PRODUCT_TIMER_X86
#define ROUNDING_BARRIER_CONSTRAINT "+x"  // an SSE, AVX or AVX-512 register
#elif PRODUCT_TIMER_AARCH64
#define ROUNDING_BARRIER_CONSTRAINT "+w"  // a floating-point / NEON register
#else
#define ROUNDING_BARRIER_CONSTRAINT "+m"  // other processors: through memory
#endif

// Built with PRODUCT_TIMER_WITHOUT_ROUNDING_GUARD (only the tests do, to show
// that the guard matters) the barrier is left out.
#ifdef PRODUCT_TIMER_WITHOUT_ROUNDING_GUARD
#define ROUNDING_BARRIER(value) static_cast<void>(value)
#else
#define ROUNDING_BARRIER(value) asm("" : ROUNDING_BARRIER_CONSTRAINT(value))
#endif

__attribute__((always_inline)) inline double rounding_barrier(double product) {
    ROUNDING_BARRIER(product);
    return product;
}

}  // namespace

void multiply_rows_portable(const double A[], const double x[], double y[], int first, int count,
                            int n) {
    const int64_t end = static_cast<int64_t>(first) + count;
    int64_t i = first;
    for (; end - i >= 4; i += 4) {
        const double* r0 = A + i * n;
        const double* r1 = r0 + n;
        const double* r2 = r1 + n;
        const double* r3 = r2 + n;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int j = 0; j < n; ++j) {
            s0 += rounding_barrier(r0[j] * x[j]);
            s1 += rounding_barrier(r1[j] * x[j]);
            s2 += rounding_barrier(r2[j] * x[j]);
            s3 += rounding_barrier(r3[j] * x[j]);
        }
        y[i] = s0;
        y[i + 1] = s1;
        y[i + 2] = s2;
        y[i + 3] = s3;
    }
    for (; i < end; ++i) {
        const double* row = A + i * n;
        double sum = 0.0;
        for (int j = 0; j < n; ++j) sum += rounding_barrier(row[j] * x[j]);
        y[i] = sum;
    }
}

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

// GCC on aarch64 with SVE enabled (-march=armv9-a, -mcpu=neoverse-v1)
// carries out 32- and 64-byte generic vectors one double at a time, since SVE
// vectors have no fixed size. The vector kernels are therefore compiled
// without SVE: NEON, which every ARMv8 processor has, holds them.
#if PRODUCT_TIMER_AARCH64 && defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC target("+nosve")
#define PRODUCT_TIMER_NOSVE_REGION 1
#endif

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
template <> struct lane_indices<vec4> {
    typedef int64_t type __attribute__((vector_size(32)));
};
template <> struct lane_indices<vec8> {
    typedef int64_t type __attribute__((vector_size(64)));
};
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
template <int W, typename V>
KERNEL_INLINE V rounded(const V& value) {
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
template <int W>
KERNEL_INLINE vec4 add_four_columns(const vec4& sums, const double* const row[4], int64_t j,
                                    const vec4& xj) {
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
template <int W>
KERNEL_INLINE vec8 add_eight_columns(const vec8& sums, const double* const row[8], int64_t j,
                                     const vec8& xj) {
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

// Group g of O groups of eight rows and Q groups of four (the eight-row
// groups first) takes one step of eight columns, j .. j+7.
template <int O, int Q, int W>
KERNEL_INLINE void step_group(vec8 acc8[], vec4 acc4[], const double* const rows[],
                              const double x[], int g, int64_t j) {
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

template <int O, int Q, int W>
KERNEL_INLINE void multiply_groups(const double* const rows[], const double x[], int n,
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
            if (c < j + g * lag) step_group<O, Q, W>(acc8, acc4, rows, x, g, c);
    for (; j + (G - 1) * lag < whole; j += 8)
        for (int g = 0; g < G; ++g) step_group<O, Q, W>(acc8, acc4, rows, x, g, j + g * lag);
    for (int64_t c = j; c < j + (G - 1) * lag; c += 8)
        for (int g = 0; g < G - 1; ++g)
            if (c + g * lag < whole) step_group<O, Q, W>(acc8, acc4, rows, x, g, c + g * lag);
    for (j = whole; j < n; ++j) add_column_to_groups<O, Q, W>(acc8, acc4, rows, x, j);

    // The groups' sums lie one after the other, as in sums. (Copied only
    // where there are groups: GCC without optimisation warns about a copy
    // from the one-element placeholder array even where it never runs.)
    if constexpr (O > 0) std::memcpy(sums, acc8, sizeof acc8);
    if constexpr (Q > 0) std::memcpy(sums + 8 * O, acc4, sizeof acc4);
}

// Rows i .. i+8*O+4*Q-1 of A into y[i ..].
template <int O, int Q, int W>
KERNEL_INLINE void multiply_block(const double A[], const double x[], double y[], int64_t i,
                                  int n) {
    const double* rows[8 * O + 4 * Q];
    for (int k = 0; k < 8 * O + 4 * Q; ++k) rows[k] = A + (i + k) * n;
    multiply_groups<O, Q, W>(rows, x, n, y + i);
}

// Rows first .. first+count-1 in blocks of twelve (O groups of eight and Q
// of four, 8*O + 4*Q = 12), then one block of eight, one of four, and one to
// three rows in a group of four that repeats its last row, of which only the
// sums of the real rows are kept.
template <int O, int Q, int W>
KERNEL_INLINE void multiply_rows_grouped(const double A[], const double x[], double y[],
                                         int first, int count, int n) {
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
    if (end > i) {
        const int rows_left = static_cast<int>(end - i);
        const double* rows[4];
        for (int k = 0; k < 4; ++k) rows[k] = A + (i + (k < rows_left ? k : rows_left - 1)) * n;
        double sums[4];
        multiply_groups<0, 1, W>(rows, x, n, sums);
        for (int k = 0; k < rows_left; ++k) y[i + k] = sums[k];
    }
}

}  // namespace

// From memory the number of rows in flight matters most, and twelve was
// measured best (more only add register pressure and cache-set conflicts);
// in cache the vector units set the pace. With AVX the twelve rows are three
// groups of four; with AVX-512 one group of eight (0.625 vector instructions
// per element instead of 1) and one of four.
void multiply_rows_avx512_emulated(const double A[], const double x[], double y[], int first,
                                   int count, int n) {
    multiply_rows_grouped<1, 1, 16>(A, x, y, first, count, n);
}

#if PRODUCT_TIMER_AARCH64
// NEON registers hold two doubles; the compiler carries out each vec4 and
// vec8 operation with two or four of them. Counted under qemu, the grouping
// of the AVX-512 kernel takes fewer instructions per element here (2.5) than
// that of the AVX kernel (2.8); docs/platforms.md has the counts.
void multiply_rows_neon(const double A[], const double x[], double y[], int first, int count,
                        int n) {
    multiply_rows_grouped<1, 1, 16>(A, x, y, first, count, n);
}
#endif

#ifdef PRODUCT_TIMER_NOSVE_REGION
#pragma GCC pop_options
#endif

#if PRODUCT_TIMER_X86

__attribute__((target("avx"))) void multiply_rows_wide(const double A[], const double x[],
                                                       double y[], int first, int count, int n) {
    multiply_rows_grouped<0, 3, 32>(A, x, y, first, count, n);
}

__attribute__((target("avx512f"))) void multiply_rows_avx512(const double A[], const double x[],
                                                             double y[], int first, int count,
                                                             int n) {
    multiply_rows_grouped<1, 1, 64>(A, x, y, first, count, n);
}

bool wide_kernel_available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
}

bool avx512_kernel_available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
}

#else

void multiply_rows_wide(const double A[], const double x[], double y[], int first, int count,
                        int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

void multiply_rows_avx512(const double A[], const double x[], double y[], int first, int count,
                          int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

bool wide_kernel_available() {
    return false;
}

bool avx512_kernel_available() {
    return false;
}

#endif

#if !PRODUCT_TIMER_AARCH64

void multiply_rows_neon(const double A[], const double x[], double y[], int first, int count,
                        int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

#endif

// Every ARMv8 processor has NEON, so no run-time check is needed.
bool neon_kernel_available() {
    return PRODUCT_TIMER_AARCH64 != 0;
}

// Which of the two AVX-512 kernels runs is chosen per processor family, by
// side-by-side measurement against cblas_dgemv (docs/speed.md has the
// tables). Measured so far:
//   AMD family 26 (Zen 5, full 512-bit pipes), model 2, 2 vCPUs: each kernel
//   alone on one thread, called in turn with cblas_dgemv on the same data,
//   medians of CPU time, six runs: AVX-512 at 1.06-1.25 of dgemv's speed in
//   cache (200 to 1024 columns) and 1.19-1.68 from memory (4000, 8000);
//   AVX-512VL 1-7% slower in every cell (1.02-1.20 and 1.15-1.63). AVX-512
//   stays.
// A family that is not listed keeps the AVX-512 kernel, the choice made
// before the AVX-512VL kernel existed.
namespace {

struct measured_family {
    bool amd;         // AuthenticAMD, else GenuineIntel
    unsigned family;  // base plus extended family, as CPUID leaf 1 reports them
    bool avx512vl_faster;
};
constexpr measured_family measured_families[] = {{true, 26, false}};

}  // namespace

bool avx512vl_kernel_preferred() {
#if PRODUCT_TIMER_X86
    if (!avx512vl_kernel_available()) return false;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return false;
    // The vendor string in ebx, edx, ecx: "AuthenticAMD" or "GenuineIntel".
    const bool amd = ebx == 0x68747541u && edx == 0x69746e65u && ecx == 0x444d4163u;
    const bool intel = ebx == 0x756e6547u && edx == 0x49656e69u && ecx == 0x6c65746eu;
    if ((!amd && !intel) || __get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    unsigned family = (eax >> 8) & 0xfu;
    if (family == 0xfu) family += (eax >> 20) & 0xffu;
    for (const measured_family& f : measured_families)
        if (f.amd == amd && f.family == family) return f.avx512vl_faster;
#endif
    return false;
}

row_kernel select_kernel() {
    if (avx512vl_kernel_preferred()) return multiply_rows_avx512vl;
    if (avx512_kernel_available()) return multiply_rows_avx512;
    if (wide_kernel_available()) return multiply_rows_wide;
    if (neon_kernel_available()) return multiply_rows_neon;
    return multiply_rows_portable;
}

// Only the kernels of this processor family have their own name; elsewhere
// the same functions run the portable code and are named so.
const char* kernel_name(row_kernel kernel) {
#if PRODUCT_TIMER_X86
    if (kernel == multiply_rows_avx512) return "AVX-512";
    if (kernel == multiply_rows_avx512vl) return "AVX-512VL";
    if (kernel == multiply_rows_wide) return "AVX";
#endif
#if PRODUCT_TIMER_AARCH64
    if (kernel == multiply_rows_neon) return "NEON";
#endif
    if (kernel == multiply_rows_avx512_emulated) return "AVX-512 design, emulated";
    if (kernel == multiply_rows_avx512vl_emulated) return "AVX-512VL design, emulated";
    return "portable";
}

void multiply_rows(const double A[], const double x[], double y[], int first, int count, int n) {
    select_kernel()(A, x, y, first, count, n);
}

void compute_product(const double A[], const double x[], double y[], int m, int n,
                     int thread_count) {
    // The instruction set is checked once, before the thread team starts.
    const row_kernel kernel = select_kernel();
#pragma omp parallel num_threads(thread_count) default(none) shared(A, x, y, m, n, kernel)
    {
        row_block rows = thread_rows(m, omp_get_thread_num(), omp_get_num_threads());
        kernel(A, x, y, rows.first, rows.count, n);
    }
}

void product_timer(const double A[], const double x[], double y[], int m, int n,
                   int thread_count) {
    double start = omp_get_wtime();
    compute_product(A, x, y, m, n, thread_count);
    double finish = omp_get_wtime();
    std::printf("Elapsed time of multiplication part only = %e seconds\n", finish - start);
}

void read_matrix(const char* prompt, double A[], int m, int n) {
    std::printf("%s\n", prompt);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) read_value(&A[static_cast<int64_t>(i) * n + j]);
}

void read_vector(const char* prompt, double x[], int n) {
    std::printf("%s\n", prompt);
    for (int j = 0; j < n; ++j) read_value(&x[j]);
}

void print_matrix(const char* title, const double A[], int m, int n) {
    std::printf("%s\n", title);
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < n; ++j) std::printf("%4.1f ", A[static_cast<int64_t>(i) * n + j]);
        std::printf("\n");
    }
}

void print_vector(const char* title, const double y[], double count) {
    std::printf("%s\n", title);
    for (int64_t i = 0; static_cast<double>(i) < count; ++i) std::printf("%4.1f ", y[i]);
    std::printf("\n");
}

namespace {

const program_info product_timer_info = {
    "product_timer", "<thread_count> <m> <n>",
    "Fills an m x n matrix and a vector of n values with pseudo-random numbers,\n"
    "multiplies them with a team of OpenMP threads, each taking a contiguous block\n"
    "of rows, and prints how long the product took. The result is the same bit for\n"
    "bit whatever the thread count.\n"
    "\n"
    "  <thread_count>  threads of the team (1 to 1024)\n"
    "  <m> <n>         rows and columns of the matrix (1 or more)\n"
    "\n"
    "Log files: none; the program reads and writes no file.\n",
    "docs/product_timer.md"};

}  // namespace

int main(int argc, char* argv[]) {
    if (answer_info_request(argc, argv, product_timer_info)) return 0;
    int thread_count, m, n;
    get_args(argc, argv, &thread_count, &m, &n);

    double* A = allocate_doubles(static_cast<int64_t>(m) * n);
    double* x = A != nullptr ? allocate_doubles(n) : nullptr;
    double* y = x != nullptr ? allocate_doubles(m) : nullptr;
    if (y == nullptr) {
        std::free(A);
        std::free(x);
        std::fputs(memory_message, stderr);
        return 1;
    }

    gen_matrix(A, m, n);
    gen_vector(x, n);
    product_timer(A, x, y, m, n, thread_count);

    std::free(A);
    std::free(x);
    std::free(y);
    return 0;
}
