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
    if (argc != 4) usage(argv[0]);
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

void multiply_rows(const double A[], const double x[], double y[], int first, int count, int n) {
    for (int i = first; i < first + count; ++i) {
        const double* row = A + static_cast<int64_t>(i) * n;
        double sum = 0.0;
        for (int j = 0; j < n; ++j) sum += row[j] * x[j];
        y[i] = sum;
    }
}

void compute_product(const double A[], const double x[], double y[], int m, int n,
                     int thread_count) {
#pragma omp parallel num_threads(thread_count) default(none) shared(A, x, y, m, n)
    {
        row_block rows = thread_rows(m, omp_get_thread_num(), omp_get_num_threads());
        multiply_rows(A, x, y, rows.first, rows.count, n);
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
