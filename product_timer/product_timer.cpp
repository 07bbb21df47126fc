// product_timer: multiplies a pseudo-random m-by-n matrix by a pseudo-random
// vector with a team of OpenMP threads and prints how long the product took.
//
//   product_timer <thread_count> <m> <n>
#include "product_timer.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <omp.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>

#include "kernels.h"
#include "messages.h"
#include "process_end.h"
#include "program_info.h"
#include "saturated_int.h"

namespace {

// What follows the program's name on its usage line.
constexpr char usage_arguments[] = "<thread_count> <m> <n>";

// malloc for count doubles; nullptr when the byte count does not fit a size_t
// or the heap refuses.
double* allocate_doubles(int64_t count) {
    if (static_cast<uint64_t>(count) > SIZE_MAX / sizeof(double)) return nullptr;
    return static_cast<double*>(std::malloc(static_cast<size_t>(count) * sizeof(double)));
}

double next_random_value() { return static_cast<double>(random()) / 2147483647.0; }

// One "%lf" conversion into *element. On a failed conversion the element keeps
// its value and the word that could not be converted is dropped, so the next
// element is read from the next word rather than failing on the same one.
void read_value(double* element) {
    if (std::scanf("%lf", element) == 1) return;
    int c = std::getchar();
    while (c != EOF && !std::isspace(c)) c = std::getchar();
}

}  // namespace

row_block thread_rows(int rows, int thread, int team_size) {
    int share = rows / team_size;
    int extra = rows % team_size;
    if (thread < extra) return {thread * (share + 1), share + 1};
    return {thread * share + extra, share};
}

void usage(const char* prog_name) { exit_with_usage("usage:", prog_name, usage_arguments); }

namespace {

// The usage line, then the cap on the thread count, which the usage line
// alone does not explain.
[[noreturn]] void refuse_thread_count(const char* prog_name) {
    print_usage_line("usage:", prog_name, usage_arguments);
    std::fprintf(stderr, "At most %d threads are accepted\n", max_thread_count);
    print_help_hint(prog_name);
    end_process(1);
}

}  // namespace

void get_args(int argc, char* argv[], int* thread_count, int* m, int* n) {
    // A process started with an empty argument vector has no name to show.
    if (argc != 4) usage(argc > 0 ? argv[0] : "product_timer");
    *thread_count = to_int_saturated(argv[1]);
    *m = to_int_saturated(argv[2]);
    *n = to_int_saturated(argv[3]);
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

int compute_product(const double A[], const double x[], double y[], int m, int n,
                    int thread_count) {
    // The kernel is taken before the thread team starts; select_kernel
    // chooses it once per process.
    const row_kernel kernel = select_kernel();
    int team_size = thread_count;
#pragma omp parallel num_threads(thread_count) default(none) \
    shared(A, x, y, m, n, kernel, team_size)
    {
        // The rows are shared among the team the runtime granted, which the
        // caller compares with the request.
        const int granted = omp_get_num_threads();
        if (omp_get_thread_num() == 0) team_size = granted;
        row_block rows = thread_rows(m, omp_get_thread_num(), granted);
        kernel(A, x, y, rows.first, rows.count, n);
    }
    return team_size;
}

void product_timer(const double A[], const double x[], double y[], int m, int n, int thread_count) {
    double start = omp_get_wtime();
    const int team_size = compute_product(A, x, y, m, n, thread_count);
    double finish = omp_get_wtime();
    if (team_size != thread_count) {
        std::fprintf(stderr,
                     "The OpenMP runtime started %d of %d threads (dynamic adjustment off, %d "
                     "active levels, thread limit %d), exiting\n",
                     team_size, thread_count, omp_get_max_active_levels(), omp_get_thread_limit());
        end_process(1);
    }
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

// A time printed for fewer threads than were asked for would mislead: the
// runtime may neither shrink the team (OMP_DYNAMIC) nor run it alone
// (OMP_MAX_ACTIVE_LEVELS=0), and a thread limit below the count is refused.
void request_team(int thread_count) {
    omp_set_dynamic(0);
    if (omp_get_max_active_levels() < 1) omp_set_max_active_levels(1);
    if (thread_count > omp_get_thread_limit()) {
        std::fprintf(stderr, "Cannot start %d threads: the OpenMP thread limit is %d, exiting\n",
                     thread_count, omp_get_thread_limit());
        std::exit(1);
    }
}

// The most bytes the process can ever hold: memory and swap as the kernel
// counts them, or less where an address-space or data limit is set. Linux
// grants single allocations up to memory and swap, so arrays that only
// together exceed it would be granted and the process killed while filling
// them.
struct memory_bound {
    uint64_t bytes;
    const char* what;
};

memory_bound process_memory_bound() {
    memory_bound bound = {UINT64_MAX, nullptr};
    struct sysinfo info;
    if (sysinfo(&info) == 0) {
        const long double total =
            (static_cast<long double>(info.totalram) + info.totalswap) * info.mem_unit;
        if (total < static_cast<long double>(UINT64_MAX))
            bound = {static_cast<uint64_t>(total), "memory and swap of this machine"};
    }
    const struct {
        int resource;
        const char* what;
    } limits[] = {{RLIMIT_AS, "address-space limit (ulimit -v)"},
                  {RLIMIT_DATA, "data-segment limit (ulimit -d)"}};
    for (const auto& limit : limits) {
        struct rlimit value;
        if (getrlimit(limit.resource, &value) == 0 && value.rlim_cur != RLIM_INFINITY &&
            value.rlim_cur < bound.bytes)
            bound = {static_cast<uint64_t>(value.rlim_cur), limit.what};
    }
    return bound;
}

// Refuses, before anything is allocated, arrays A, x and y that need more
// bytes than the process can hold. The product is compared with the total,
// not with free memory, so nothing that could fit is refused.
void refuse_product_beyond_memory(int m, int n) {
    const memory_bound bound = process_memory_bound();
    if (bound.what == nullptr) return;
    const uint64_t doubles = static_cast<uint64_t>(m) * static_cast<uint64_t>(n) +
                             static_cast<uint64_t>(m) + static_cast<uint64_t>(n);
    if (doubles <= bound.bytes / sizeof(double)) return;
    std::fputs("Memory could not be allocated, exiting\n", stderr);
    std::fprintf(stderr,
                 "product_timer: the arrays need %.0Lf bytes, more than the %llu bytes of the %s\n",
                 static_cast<long double>(doubles) * sizeof(double),
                 static_cast<unsigned long long>(bound.bytes), bound.what);
    std::exit(1);
}

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
    if (answer_info_request(argc, argv, product_timer_info))
        return close_standard_output(product_timer_info.name, 0);
    int thread_count, m, n;
    get_args(argc, argv, &thread_count, &m, &n);
    // The kernel is chosen now, so that a PRODUCT_TIMER_KERNEL it refuses
    // ends the program before any memory is taken.
    select_kernel();
    request_team(thread_count);
    refuse_product_beyond_memory(m, n);

    double* A = allocate_doubles(static_cast<int64_t>(m) * n);
    double* x = A != nullptr ? allocate_doubles(n) : nullptr;
    double* y = x != nullptr ? allocate_doubles(m) : nullptr;
    if (y == nullptr) {
        std::free(A);
        std::free(x);
        exit_out_of_memory();
    }

    gen_matrix(A, m, n);
    gen_vector(x, n);
    product_timer(A, x, y, m, n, thread_count);

    std::free(A);
    std::free(x);
    std::free(y);
    return close_standard_output(product_timer_info.name, 0);
}
