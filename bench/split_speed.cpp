// split_speed: the time of compute_product, whose rows thread_rows splits,
// beside a yardstick that runs the same kernel over an even split of its own
// (thread t takes rows m*t/T up to m*(t+1)/T), in one process on the same
// data. The two alternate, each first in every other round, so that both
// see the same machine; it prints the medians and their ratio, the
// yardstick's time over compute_product's (above 1: compute_product is
// faster). Status 1 when the two products differ in a bit.
//
//   split_speed <thread_count> <m> <n> [rounds]   (rounds: default 21)
#include "bench_util.h"
#include "kernels.h"
#include "product_timer.h"
#include "saturated_int.h"

#include <omp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void even_split_product(const double A[], const double x[], double y[], int m, int n,
                        int thread_count, row_kernel kernel) {
#pragma omp parallel num_threads(thread_count)
    {
        const int64_t team = omp_get_num_threads();
        const int64_t t = omp_get_thread_num();
        const int64_t first = m * t / team;
        const int64_t end = m * (t + 1) / team;
        kernel(A, x, y, static_cast<int>(first), static_cast<int>(end - first), n);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const int threads = argc >= 4 ? to_int_saturated(argv[1]) : 0;
    const int m = argc >= 4 ? to_int_saturated(argv[2]) : 0;
    const int n = argc >= 4 ? to_int_saturated(argv[3]) : 0;
    const int rounds = argc == 5 ? to_int_saturated(argv[4]) : 21;
    if ((argc != 4 && argc != 5) || threads < 1 || threads > max_thread_count || m < 1 ||
        m > 100000 || n < 1 || n > 100000 || rounds < 1 || rounds > 1000) {
        std::fprintf(stderr,
                     "usage: %s <thread_count> <m> <n> [rounds]   (threads 1..%d, sizes "
                     "1..100000, rounds 1..1000)\n",
                     argc > 0 ? argv[0] : "split_speed", max_thread_count);
        return 2;
    }
    std::vector<double> A(static_cast<size_t>(m) * n), x(n), y(m), y_even(m);
    gen_matrix(A.data(), m, n);
    gen_vector(x.data(), n);
    const row_kernel kernel = select_kernel();
    // Once each before timing: the thread team starts, the pages are touched.
    compute_product(A.data(), x.data(), y.data(), m, n, threads);
    even_split_product(A.data(), x.data(), y_even.data(), m, n, threads, kernel);
    if (std::memcmp(y.data(), y_even.data(), sizeof(double) * static_cast<size_t>(m)) != 0) {
        std::fprintf(stderr, "split_speed: compute_product and the even split give different y\n");
        return 1;
    }
    std::vector<double> split_seconds, even_seconds;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < 2; ++k) {
            const bool even = (r + k) % 2 == 1;
            const double start = omp_get_wtime();
            if (even)
                even_split_product(A.data(), x.data(), y_even.data(), m, n, threads, kernel);
            else
                compute_product(A.data(), x.data(), y.data(), m, n, threads);
            (even ? even_seconds : split_seconds).push_back(omp_get_wtime() - start);
        }
    }
    const double split = median(split_seconds);
    const double even = median(even_seconds);
    std::printf("compute_product %e s, even split %e s, ratio %.2f\n", split, even, even / split);
    return 0;
}
