// dgemv_once: the cold yardstick for the time product_timer prints. A fresh
// process draws A and x exactly as product_timer does, asks OpenBLAS for
// `thread_count` threads, and times exactly one cblas_dgemv call (y = A*x,
// row-major) with the same clock, printing the seconds. Like product_timer it
// pays for whatever a fresh process pays on its first parallel call.
//
//   dgemv_once <thread_count> <m> <n>
#include "product_timer.h"

#include "program_info.h"

#include <cstdio>
#include <vector>

#include <cblas.h>
#include <omp.h>

namespace {

const program_info dgemv_once_info = {
    "dgemv_once", "<thread_count> <m> <n>",
    "Draws A and x as product_timer does and prints the seconds of one\n"
    "cblas_dgemv call with thread_count OpenBLAS threads. The arguments are read\n"
    "as product_timer reads them; m and n at most 1000000.\n"
    "\n"
    "Log files: none.\n",
    "docs/speed.md"};

}  // namespace

int main(int argc, char* argv[]) {
    if (answer_info_request(argc, argv, dgemv_once_info)) return 0;
    // As product_timer reads them (its usage line and status 1 on a refusal).
    int threads, m, n;
    get_args(argc, argv, &threads, &m, &n);
    if (m > 1000000 || n > 1000000) {
        std::fprintf(stderr, "%s: sizes at most 1000000\n", argv[0]);
        return 1;
    }
    std::vector<double> A(static_cast<size_t>(m) * n), x(n), y(m);
    gen_matrix(A.data(), m, n);
    gen_vector(x.data(), n);
    openblas_set_num_threads(threads);
    const double start = omp_get_wtime();
    cblas_dgemv(CblasRowMajor, CblasNoTrans, m, n, 1.0, A.data(), n, x.data(), 1, 0.0, y.data(), 1);
    const double finish = omp_get_wtime();
    std::printf("%e\n", finish - start);
    return 0;
}
