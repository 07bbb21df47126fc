// product_warm: the time of the product of product_timer once its thread team
// is running, for the scaling study. It draws A and x exactly as product_timer
// does, runs compute_product once to start the team, then times `runs` more
// calls, each with its parallel region, and prints the median in seconds.
// The difference to the time product_timer prints is what starting the team
// costs.
//
//   product_warm <thread_count> <m> <n> [runs]   (runs: default 21)
#include "product_timer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <omp.h>

int main(int argc, char* argv[]) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s <thread_count> <m> <n> [runs]\n", argv[0]);
        return 1;
    }
    const long threads = std::strtol(argv[1], nullptr, 10);
    const long m = std::strtol(argv[2], nullptr, 10);
    const long n = std::strtol(argv[3], nullptr, 10);
    const long runs = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 21;
    if (threads < 1 || threads > max_thread_count || m < 1 || n < 1 || runs < 1 ||
        m > 1000000 || n > 1000000 || runs > 100000) {
        std::fprintf(stderr, "%s: thread count 1..%d, sizes and runs positive\n", argv[0],
                     max_thread_count);
        return 1;
    }
    std::vector<double> A(static_cast<size_t>(m) * n), x(n), y(m);
    gen_matrix(A.data(), m, n);
    gen_vector(x.data(), n);
    compute_product(A.data(), x.data(), y.data(), m, n, threads);
    std::vector<double> seconds(runs);
    for (double& s : seconds) {
        const double start = omp_get_wtime();
        compute_product(A.data(), x.data(), y.data(), m, n, threads);
        s = omp_get_wtime() - start;
    }
    std::nth_element(seconds.begin(), seconds.begin() + runs / 2, seconds.end());
    std::printf("%e\n", seconds[runs / 2]);
    return 0;
}
