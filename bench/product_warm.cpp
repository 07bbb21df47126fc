// product_warm: the time of the product of product_timer once its thread team
// is running, for the scaling study. It draws A and x exactly as product_timer
// does, runs compute_product once to start the team, then times `runs` more
// calls, each with its parallel region, and prints the median in seconds.
// The difference to the time product_timer prints is what starting the team
// costs. Its two other modes give the scripts the benchmark's own median and
// processor name.
//
//   product_warm <thread_count> <m> <n> [runs]   (runs: default 21)
//   product_warm --median      (numbers on standard input, one per word)
//   product_warm --processor
#include "product_timer.h"

#include "bench_util.h"
#include "program_info.h"
#include "saturated_int.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <omp.h>

namespace {

const program_info product_warm_info = {
    "product_warm", "<thread_count> <m> <n> [runs]",
    "Times compute_product, the product of product_timer, with its thread team\n"
    "already running: the median of runs calls (default 21), in seconds. The\n"
    "arguments are read as product_timer reads them; m and n at most 1000000,\n"
    "runs 1 to 100000.\n"
    "\n"
    "  --median     prints the median of the numbers on standard input\n"
    "  --processor  prints the processor's name\n"
    "\n"
    "Log files: none.\n",
    "docs/speed.md"};

// The median of the numbers on standard input, printed so that a script
// reads back the same double; status 1 when there is none or a word is no
// number (nan and inf are none: they have no place among timings, and a nan
// would leave the sort without an order).
int print_median() {
    std::vector<double> values;
    double value;
    int read;
    while ((read = std::scanf("%lf", &value)) == 1 && std::isfinite(value)) values.push_back(value);
    if (read != EOF || values.empty()) {
        std::fprintf(stderr, "product_warm --median: numbers on standard input, at least one\n");
        return 1;
    }
    std::printf("%.17g\n", median(values));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (answer_info_request(argc, argv, product_warm_info)) return 0;
    if (argc == 2 && std::strcmp(argv[1], "--median") == 0) return print_median();
    if (argc == 2 && std::strcmp(argv[1], "--processor") == 0) {
        std::printf("%s\n", processor_name().c_str());
        return 0;
    }
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s <thread_count> <m> <n> [runs]\n",
                     argc > 0 ? argv[0] : "product_warm");
        return 1;
    }
    // The first three as product_timer reads them (its usage line and status
    // 1 on a refusal); runs by the same rule.
    int threads, m, n;
    get_args(4, argv, &threads, &m, &n);
    const int runs = argc == 5 ? to_int_saturated(argv[4]) : 21;
    if (m > 1000000 || n > 1000000 || runs < 1 || runs > 100000) {
        std::fprintf(stderr, "%s: sizes at most 1000000, runs 1..100000\n", argv[0]);
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
    std::printf("%e\n", median(seconds));
    return 0;
}
