// dgemv_once: the cold yardstick for the time product_timer prints. A fresh
// process draws A and x exactly as product_timer does, asks OpenBLAS for
// `thread_count` threads, and times exactly one cblas_dgemv call (y = A*x,
// row-major) with the same clock, printing the seconds. Like product_timer it
// pays for whatever a fresh process pays on its first parallel call.
//
//   dgemv_once <thread_count> <m> <n>
#include "product_timer.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <cblas.h>
#include <omp.h>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <thread_count> <m> <n>\n", argv[0]);
        return 1;
    }
    const long threads = std::strtol(argv[1], nullptr, 10);
    const long m = std::strtol(argv[2], nullptr, 10);
    const long n = std::strtol(argv[3], nullptr, 10);
    if (threads < 1 || threads > max_thread_count || m < 1 || n < 1 || m > 1000000 ||
        n > 1000000) {
        std::fprintf(stderr, "%s: thread count 1..%d, sizes positive\n", argv[0],
                     max_thread_count);
        return 1;
    }
    std::vector<double> A(static_cast<size_t>(m) * n), x(n), y(m);
    gen_matrix(A.data(), m, n);
    gen_vector(x.data(), n);
    openblas_set_num_threads(static_cast<int>(threads));
    const double start = omp_get_wtime();
    cblas_dgemv(CblasRowMajor, CblasNoTrans, m, n, 1.0, A.data(), n, x.data(), 1, 0.0, y.data(),
                1);
    const double finish = omp_get_wtime();
    std::printf("%e\n", finish - start);
    return 0;
}
