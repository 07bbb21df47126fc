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

#include <omp.h>

#if defined(__x86_64__) || defined(__i386__)
#define PRODUCT_TIMER_WIDE_KERNEL 1
#include <immintrin.h>
#else
#define PRODUCT_TIMER_WIDE_KERNEL 0
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
    std::exit(1);
}

void get_args(int argc, char* argv[], int* thread_count, int* m, int* n) {
    // A process started with an empty argument vector has no name to show.
    if (argc != 4) usage(argc > 0 ? argv[0] : "product_timer");
    *thread_count = to_int(argv[1]);
    *m = to_int(argv[2]);
    *n = to_int(argv[3]);
    if (*thread_count <= 0 || *m <= 0 || *n <= 0 || *thread_count > max_thread_count)
        usage(argv[0]);
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
// sum several rows side by side, each row still strictly in column order, and
// never fuse a multiply with an add (the build uses -ffp-contract=off, and the
// wide kernel is compiled for AVX, which has no fused multiply-add).

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
            s0 += r0[j] * x[j];
            s1 += r1[j] * x[j];
            s2 += r2[j] * x[j];
            s3 += r3[j] * x[j];
        }
        y[i] = s0;
        y[i + 1] = s1;
        y[i + 2] = s2;
        y[i + 3] = s3;
    }
    for (; i < end; ++i) {
        const double* row = A + i * n;
        double sum = 0.0;
        for (int j = 0; j < n; ++j) sum += row[j] * x[j];
        y[i] = sum;
    }
}

#if PRODUCT_TIMER_WIDE_KERNEL

namespace {

// Four rows of A for one group of sums: lane k of the group's vector of sums
// belongs to row[k].
struct row_quad {
    const double* row[4];
};

// Adds the products of columns j .. j+3 of the four rows, one column after the
// other, to acc. The four row slices are multiplied by x as they lie, then
// transposed so that each vector holds one column of the four rows.
__attribute__((target("avx"), always_inline)) inline __m256d
add_four_columns(__m256d acc, const row_quad& q, int64_t j, __m256d xj) {
    __m256d p0 = _mm256_mul_pd(_mm256_loadu_pd(q.row[0] + j), xj);
    __m256d p1 = _mm256_mul_pd(_mm256_loadu_pd(q.row[1] + j), xj);
    __m256d p2 = _mm256_mul_pd(_mm256_loadu_pd(q.row[2] + j), xj);
    __m256d p3 = _mm256_mul_pd(_mm256_loadu_pd(q.row[3] + j), xj);
    __m256d t0 = _mm256_unpacklo_pd(p0, p1);  // columns j, j+2 of rows 0, 1
    __m256d t1 = _mm256_unpackhi_pd(p0, p1);  // columns j+1, j+3 of rows 0, 1
    __m256d t2 = _mm256_unpacklo_pd(p2, p3);  // columns j, j+2 of rows 2, 3
    __m256d t3 = _mm256_unpackhi_pd(p2, p3);  // columns j+1, j+3 of rows 2, 3
    acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t0, t2, 0x20));
    acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t1, t3, 0x20));
    acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t0, t2, 0x31));
    acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(t1, t3, 0x31));
    return acc;
}

// The sums of G groups of four rows, written to sums[4*g + k]. The G groups
// keep G independent chains of additions in flight.
template <int G>
__attribute__((target("avx"), always_inline)) inline void
multiply_quads(const row_quad (&quads)[G], const double x[], int n, double sums[]) {
    __m256d acc[G];
    for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_pd();
    int64_t j = 0;
    for (; n - j >= 4; j += 4) {
        const __m256d xj = _mm256_loadu_pd(x + j);
        for (int g = 0; g < G; ++g) acc[g] = add_four_columns(acc[g], quads[g], j, xj);
    }
    for (; j < n; ++j) {
        const __m256d xj = _mm256_set1_pd(x[j]);
        for (int g = 0; g < G; ++g) {
            const row_quad& q = quads[g];
            __m256d a = _mm256_set_pd(q.row[3][j], q.row[2][j], q.row[1][j], q.row[0][j]);
            acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(a, xj));
        }
    }
    for (int g = 0; g < G; ++g) _mm256_storeu_pd(sums + 4 * g, acc[g]);
}

// Rows i .. i+4*G-1 of A into y[i ..].
template <int G>
__attribute__((target("avx"))) void multiply_row_block(const double A[], const double x[],
                                                       double y[], int64_t i, int n) {
    row_quad quads[G];
    for (int g = 0; g < G; ++g)
        for (int k = 0; k < 4; ++k) quads[g].row[k] = A + (i + 4 * g + k) * n;
    multiply_quads<G>(quads, x, n, y + i);
}

}  // namespace

__attribute__((target("avx"))) void multiply_rows_wide(const double A[], const double x[],
                                                       double y[], int first, int count, int n) {
    const int64_t end = static_cast<int64_t>(first) + count;
    int64_t i = first;
    // Twelve rows at a time keep enough chains of additions in flight to hide
    // their latency, and twelve streams through memory let the prefetchers
    // keep the memory busy; more rows only add register spills. The rest of
    // the block goes in eights and fours.
    for (; end - i >= 12; i += 12) multiply_row_block<3>(A, x, y, i, n);
    for (; end - i >= 8; i += 8) multiply_row_block<2>(A, x, y, i, n);
    for (; end - i >= 4; i += 4) multiply_row_block<1>(A, x, y, i, n);
    if (end > i) {
        // One to three rows left: a group that repeats its last row, of
        // which only the sums of the real rows are kept.
        const int rows = static_cast<int>(end - i);
        row_quad quads[1];
        for (int k = 0; k < 4; ++k) quads[0].row[k] = A + (i + (k < rows ? k : rows - 1)) * n;
        double sums[4];
        multiply_quads<1>(quads, x, n, sums);
        for (int k = 0; k < rows; ++k) y[i + k] = sums[k];
    }
}

bool wide_kernel_available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
}

#else

void multiply_rows_wide(const double A[], const double x[], double y[], int first, int count,
                        int n) {
    multiply_rows_portable(A, x, y, first, count, n);
}

bool wide_kernel_available() {
    return false;
}

#endif

void multiply_rows(const double A[], const double x[], double y[], int first, int count, int n) {
    if (wide_kernel_available())
        multiply_rows_wide(A, x, y, first, count, n);
    else
        multiply_rows_portable(A, x, y, first, count, n);
}

void compute_product(const double A[], const double x[], double y[], int m, int n,
                     int thread_count) {
    // The instruction set is checked once, before the thread team starts.
    const bool wide = wide_kernel_available();
#pragma omp parallel num_threads(thread_count) default(none) shared(A, x, y, m, n, wide)
    {
        row_block rows = thread_rows(m, omp_get_thread_num(), omp_get_num_threads());
        if (wide)
            multiply_rows_wide(A, x, y, rows.first, rows.count, n);
        else
            multiply_rows_portable(A, x, y, rows.first, rows.count, n);
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

int main(int argc, char* argv[]) {
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
