// Benchmark of the matrix-vector product of product_timer, measured side by
// side in one run with the yardsticks it is judged against.
//
// Warm (Google Benchmark, the data and the thread team already in use):
//   kernel   compute_product, the function product_timer runs, parallel
//            region included, called over and over
//   rows     the kernel alone on the calling thread, no parallel region
//            (one thread only); team_<key> and rows_<key> the same for
//            every other kernel of the table that the processor runs
//            (PRODUCT_TIMER_KERNEL picks the kernel of kernel, rows and the
//            program)
//   plain    the same row blocks, one row at a time, left to right
//   dgemv    cblas_dgemv of OpenBLAS, row-major, same data and thread count
//            (only when the build found OpenBLAS)
//   stream   a vectorised read of the same matrix, several streams per thread
//            each with its own accumulator: what the memory can deliver to
//            that many threads
// Cold (fresh processes, run alternately, medians):
//   program  the time that the product_timer program prints
//   once     the time of exactly one cblas_dgemv call in a fresh process that
//            draws the same A and x (dgemv_once), same thread count
//
// Warm speeds are in GB/s of matrix read (m*n*8 bytes per product); cold
// times in milliseconds. After the benchmarks three tables put every kernel,
// the chosen kernel and the program next to their yardsticks as ratios of
// speed.
//
//   product_bench [--sizes=200,1000,...] [--threads=1,2] [--cold_runs=7]
//                 [benchmark flags]
// A size is one number for a square matrix or MxN.
#include "product_timer.h"

#include "bench_util.h"
#include "kernels.h"
#include "saturated_int.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <omp.h>
#include <unistd.h>

#if HAVE_OPENBLAS
#include <cblas.h>
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BENCH_AVX 1
#else
#define BENCH_AVX 0
#endif

namespace {

struct shape {
    int m;
    int n;
};

std::string label(shape sh) {
    return sh.m == sh.n ? std::to_string(sh.m) : std::to_string(sh.m) + "x" + std::to_string(sh.n);
}

struct problem {
    int m;
    int n;
    std::vector<double> A;
    std::vector<double> x;
    std::vector<double> y;
};

// One problem per shape, drawn like product_timer draws its data.
problem& problem_of_shape(shape sh) {
    static std::map<std::pair<int, int>, std::unique_ptr<problem>> problems;
    std::unique_ptr<problem>& p = problems[{sh.m, sh.n}];
    if (!p) {
        p.reset(new problem{sh.m, sh.n, {}, {}, {}});
        p->A.resize(static_cast<size_t>(sh.m) * sh.n);
        p->x.resize(sh.n);
        p->y.resize(sh.m);
        srandom(1);
        gen_matrix(p->A.data(), sh.m, sh.n);
        gen_vector(p->x.data(), sh.n);
    }
    return *p;
}

void set_matrix_bytes(benchmark::State& state, const problem& p) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * p.m * p.n *
                            static_cast<int64_t>(sizeof(double)));
}

void plain_product(const problem& p, double y[], int thread_count) {
    const double* A = p.A.data();
    const double* x = p.x.data();
    const int m = p.m, n = p.n;
#pragma omp parallel num_threads(thread_count) default(none) shared(A, x, y, m, n)
    {
        row_block rows = thread_rows(m, omp_get_thread_num(), omp_get_num_threads());
        for (int i = rows.first; i < rows.first + rows.count; ++i) {
            double sum = 0.0;
            for (int j = 0; j < n; ++j) sum += A[static_cast<int64_t>(i) * n + j] * x[j];
            y[i] = sum;
        }
    }
}

// Sum of a[0 .. count-1], read as read_streams stretches side by side: one
// core reaches a markedly higher bandwidth with several streams in flight
// than with one, so this is the yardstick the kernel (which reads twelve rows
// side by side) has to be measured against. Each stream has its own
// accumulator, so the additions never limit the read.
constexpr int read_streams = 12;

#if BENCH_AVX
__attribute__((target("avx"))) double read_block_avx(const double* a, int64_t count) {
    const int64_t stretch = count / read_streams / 4 * 4;
    __m256d s[read_streams];
    for (int c = 0; c < read_streams; ++c) s[c] = _mm256_setzero_pd();
    for (int64_t k = 0; k < stretch; k += 4)
        for (int c = 0; c < read_streams; ++c)
            s[c] = _mm256_add_pd(s[c], _mm256_loadu_pd(a + c * stretch + k));
    double lanes[4];
    for (int c = 1; c < read_streams; ++c) s[0] = _mm256_add_pd(s[0], s[c]);
    _mm256_storeu_pd(lanes, s[0]);
    double sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (int64_t k = stretch * read_streams; k < count; ++k) sum += a[k];
    return sum;
}
#endif

double read_block(const double* a, int64_t count) {
#if BENCH_AVX
    if (__builtin_cpu_supports("avx")) return read_block_avx(a, count);
#endif
    const int64_t stretch = count / read_streams;
    double s[read_streams] = {};
    for (int64_t k = 0; k < stretch; ++k)
        for (int c = 0; c < read_streams; ++c) s[c] += a[c * stretch + k];
    double sum = 0.0;
    for (int c = 0; c < read_streams; ++c) sum += s[c];
    for (int64_t k = stretch * read_streams; k < count; ++k) sum += a[k];
    return sum;
}

// Each thread reads the rows it would multiply.
double stream_read(const problem& p, int thread_count) {
    const double* A = p.A.data();
    const int m = p.m, n = p.n;
    double total = 0.0;
#pragma omp parallel num_threads(thread_count) default(none) shared(A, m, n) reduction(+ : total)
    {
        row_block rows = thread_rows(m, omp_get_thread_num(), omp_get_num_threads());
        total += read_block(A + static_cast<int64_t>(rows.first) * n,
                            static_cast<int64_t>(rows.count) * n);
    }
    return total;
}

// Idle threads of a runtime keep spinning for a while after a parallel call
// before they sleep: libgomp's for a few milliseconds, OpenBLAS's for about
// 2^28 cycles (a tenth of a second). On a machine with as many cores as
// threads a spinning thread of the previous benchmark takes a core from the
// next one, which then waits for the scheduler at every join. So every
// benchmark with more than one thread ends with a pause, outside its timed
// loop, long enough for its runtime's threads to go to sleep.
void let_idle_threads_sleep(int threads, int milliseconds) {
    if (threads > 1) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
constexpr int omp_settle_ms = 30;
constexpr int openblas_settle_ms = 200;

void bench_kernel(benchmark::State& state, shape sh, int threads) {
    problem& p = problem_of_shape(sh);
    for (auto _ : state) {
        compute_product(p.A.data(), p.x.data(), p.y.data(), p.m, p.n, threads);
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
    let_idle_threads_sleep(threads, omp_settle_ms);
}

void bench_plain(benchmark::State& state, shape sh, int threads) {
    problem& p = problem_of_shape(sh);
    for (auto _ : state) {
        plain_product(p, p.y.data(), threads);
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
    let_idle_threads_sleep(threads, omp_settle_ms);
}

#if HAVE_OPENBLAS
void bench_dgemv(benchmark::State& state, shape sh, int threads) {
    problem& p = problem_of_shape(sh);
    openblas_set_num_threads(threads);
    for (auto _ : state) {
        cblas_dgemv(CblasRowMajor, CblasNoTrans, p.m, p.n, 1.0, p.A.data(), p.n, p.x.data(), 1, 0.0,
                    p.y.data(), 1);
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
    let_idle_threads_sleep(threads, openblas_settle_ms);
}
#endif

void bench_stream(benchmark::State& state, shape sh, int threads) {
    problem& p = problem_of_shape(sh);
    for (auto _ : state) benchmark::DoNotOptimize(stream_read(p, threads));
    set_matrix_bytes(state, p);
    let_idle_threads_sleep(threads, omp_settle_ms);
}

// A kernel alone over all rows, on this thread: what the vector code
// achieves without the cost of a parallel region.
void bench_rows(benchmark::State& state, shape sh, row_kernel kernel) {
    problem& p = problem_of_shape(sh);
    for (auto _ : state) {
        kernel(p.A.data(), p.x.data(), p.y.data(), 0, p.m, p.n);
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
}

// compute_product's parallel region with the given kernel in place of the
// chosen one.
void bench_team(benchmark::State& state, shape sh, int threads, row_kernel kernel) {
    problem& p = problem_of_shape(sh);
    const double* A = p.A.data();
    const double* x = p.x.data();
    double* y = p.y.data();
    const int m = p.m, n = p.n;
    for (auto _ : state) {
#pragma omp parallel num_threads(threads) default(none) shared(A, x, y, m, n, kernel)
        {
            row_block rows = thread_rows(m, omp_get_thread_num(), omp_get_num_threads());
            kernel(A, x, y, rows.first, rows.count, n);
        }
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
    let_idle_threads_sleep(threads, omp_settle_ms);
}

// Seconds per iteration of every finished benchmark, by name. With
// --benchmark_repetitions the median, reported after the repetitions,
// replaces the single runs.
std::map<std::string, double> seconds_of;

// Whether a run ended in an error or was skipped: Google Benchmark 1.8 turned
// the flag error_occurred into the field skipped; the overload whose member
// exists is chosen.
template <typename R> auto run_failed(const R& run, int)
    -> decltype(static_cast<bool>(run.error_occurred)) {
    return run.error_occurred;
}
template <typename R> auto run_failed(const R& run, long)
    -> decltype(static_cast<bool>(run.skipped)) {
    return static_cast<bool>(run.skipped);
}

struct recording_reporter : benchmark::ConsoleReporter {
    recording_reporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool is_median =
                run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run_failed(run, 0) || run.iterations == 0 ||
                (run.run_type == Run::RT_Aggregate && !is_median))
                continue;
            seconds_of[run.run_name.function_name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// "200,1000,192x1024": square sizes or MxN; an empty list or a shape that is
// not two positive numbers gives an empty result.
std::vector<shape> parse_shapes(const char* text) {
    std::vector<shape> shapes;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const char* end = nullptr;
        const int m = to_int_saturated(item.c_str(), &end);
        int n = m;
        if (*end == 'x') n = to_int_saturated(end + 1, &end);
        if (*end != '\0' || m <= 0 || n <= 0 || m > 100000 || n > 100000) return {};
        shapes.push_back({m, n});
    }
    return shapes;
}

std::vector<int> parse_counts(const char* text) {
    std::vector<int> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const int value = to_int_saturated(item.c_str());
        if (value <= 0 || value > max_thread_count) return {};
        values.push_back(value);
    }
    return values;
}

// The kernels of the table that this processor runs, other than the one
// chosen: each is timed in the parallel region as team_<key> and alone as
// rows_<key>, for comparison with kernel and rows.
std::vector<const kernel_entry*> other_kernels() {
    std::vector<const kernel_entry*> others;
    const kernel_list table = kernel_table();
    for (int k = 0; k < table.count; ++k)
        if (table.entries[k].available() && table.entries[k].multiply != select_kernel())
            others.push_back(&table.entries[k]);
    return others;
}

std::string key(const char* what, shape sh, int threads) {
    return std::string(what) + "/" + label(sh) + "/" + std::to_string(threads);
}

std::string cell(double value, const char* format) {
    char text[32];
    if (value < 0.0) return std::string("-");
    std::snprintf(text, sizeof text, format, value);
    return std::string(text);
}

double ratio(double a, double b) { return a < 0.0 || b <= 0.0 ? -1.0 : a / b; }

void print_warm(const std::vector<shape>& shapes, const std::vector<int>& thread_counts) {
    auto gbs = [](const std::string& name, shape sh) {
        auto it = seconds_of.find(name);
        if (it == seconds_of.end() || it->second <= 0.0) return -1.0;
        return static_cast<double>(sh.m) * sh.n * sizeof(double) / it->second / 1e9;
    };
    std::printf(
        "\nWarm, every kernel this processor runs: GB/s of matrix read, then speed over "
        "dgemv's and over the streaming read's\n%9s %3s %26s %9s %9s %11s %12s\n",
        "size", "thr", "kernel", "team", "rows", "team/dgemv", "team/stream");
    const std::vector<const kernel_entry*> others = other_kernels();
    for (shape sh : shapes) {
        for (int threads : thread_counts) {
            const double d = gbs(key("dgemv", sh, threads), sh);
            const double st = gbs(key("stream", sh, threads), sh);
            auto row = [&](const char* name, const std::string& team, const std::string& rows) {
                const double t = gbs(key(team.c_str(), sh, threads), sh);
                const double r = gbs(key(rows.c_str(), sh, threads), sh);
                std::printf("%9s %3d %26s %9s %9s %11s %12s\n", label(sh).c_str(), threads, name,
                            cell(t, "%.2f").c_str(), cell(r, "%.2f").c_str(),
                            cell(ratio(t, d), "%.2f").c_str(), cell(ratio(t, st), "%.2f").c_str());
            };
            row(kernel_name(select_kernel()), "kernel", "rows");
            for (const kernel_entry* kernel : others)
                row(kernel->name, std::string("team_") + kernel->key,
                    std::string("rows_") + kernel->key);
        }
    }
    std::printf(
        "\nWarm: GB/s of matrix read; ratios are speed over speed (above 1: ours is "
        "faster)\n");
    std::printf("%9s %3s %8s %8s %8s %8s %8s %13s %11s %13s\n", "size", "thr", "kernel", "rows",
                "plain", "dgemv", "stream", "kernel/dgemv", "rows/dgemv", "kernel/stream");
    for (shape sh : shapes) {
        for (int threads : thread_counts) {
            double k = gbs(key("kernel", sh, threads), sh);
            double r = gbs(key("rows", sh, threads), sh);
            double pl = gbs(key("plain", sh, threads), sh);
            double d = gbs(key("dgemv", sh, threads), sh);
            double st = gbs(key("stream", sh, threads), sh);
            std::printf("%9s %3d %8s %8s %8s %8s %8s %13s %11s %13s\n", label(sh).c_str(), threads,
                        cell(k, "%.2f").c_str(), cell(r, "%.2f").c_str(), cell(pl, "%.2f").c_str(),
                        cell(d, "%.2f").c_str(), cell(st, "%.2f").c_str(),
                        cell(ratio(k, d), "%.2f").c_str(), cell(ratio(r, d), "%.2f").c_str(),
                        cell(ratio(k, st), "%.2f").c_str());
        }
    }
}

// Runs a command that prints one number of seconds (product_timer's time line
// or dgemv_once's number); negative when it printed neither.
double run_for_seconds(const std::string& command) {
    std::FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return -1.0;
    char line[256] = "";
    double seconds = -1.0;
    if (std::fgets(line, sizeof line, out) != nullptr &&
        std::sscanf(line, "Elapsed time of multiplication part only = %lf", &seconds) != 1 &&
        std::sscanf(line, "%lf", &seconds) != 1)
        seconds = -1.0;
    if (pclose(out) != 0) seconds = -1.0;
    return seconds;
}

// Fresh processes: product_timer against dgemv_once, alternately (the order
// swaps every run), so that a passing disturbance hits both alike; then the
// medians. Returns false when a program failed.
bool print_cold(const std::vector<shape>& shapes, const std::vector<int>& thread_counts, int runs) {
    std::printf(
        "\nCold: fresh processes, median of %d runs each, milliseconds; ratio above 1: "
        "the program is faster\n",
        runs);
    std::printf("%9s %3s %10s %10s %14s\n", "size", "thr", "program", "once", "program/once");
    for (shape sh : shapes) {
        for (int threads : thread_counts) {
            const std::string args = " " + std::to_string(threads) + " " + std::to_string(sh.m) +
                                     " " + std::to_string(sh.n) + " 2>&1";
            std::vector<double> program, once;
            for (int run = 0; run < runs; ++run) {
                for (int turn = 0; turn < 2; ++turn) {
                    if ((run + turn) % 2 == 0) {
                        program.push_back(run_for_seconds(shell_quoted(PRODUCT_TIMER_PATH) + args));
                        if (program.back() < 0.0) return false;
                    } else {
#if HAVE_OPENBLAS
                        once.push_back(run_for_seconds(shell_quoted(DGEMV_ONCE_PATH) + args));
                        if (once.back() < 0.0) return false;
#endif
                    }
                }
            }
            const double p = median(program) * 1e3, o = median(once) * 1e3;
            std::printf("%9s %3d %10s %10s %14s\n", label(sh).c_str(), threads,
                        cell(p, "%.3f").c_str(), cell(o, "%.3f").c_str(),
                        cell(ratio(o, p), "%.2f").c_str());
            std::fflush(stdout);
        }
    }
    return true;
}

// The kernels must give exactly the bits of the plain loop, the chosen one
// in its parallel region and every other one alone; timing a wrong kernel
// would be pointless.
bool kernel_matches_plain(shape sh, int threads) {
    problem& p = problem_of_shape(sh);
    std::vector<double> expected(p.m);
    plain_product(p, expected.data(), 1);
    auto same = [&] {
        return std::memcmp(expected.data(), p.y.data(), expected.size() * sizeof(double)) == 0;
    };
    compute_product(p.A.data(), p.x.data(), p.y.data(), p.m, p.n, threads);
    if (!same()) return false;
    for (const kernel_entry* kernel : other_kernels()) {
        kernel->multiply(p.A.data(), p.x.data(), p.y.data(), 0, p.m, p.n);
        if (!same()) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<shape> shapes{{200, 200},   {400, 400},   {1000, 1000}, {1024, 1024},
                              {2048, 2048}, {4000, 4000}, {4096, 4096}, {8000, 8000}};
    std::vector<int> thread_counts{1, 2};
    int cold_runs = 7;
    for (int k = 1; k < argc; ++k) {
        if (std::strncmp(argv[k], "--sizes=", 8) == 0) {
            shapes = parse_shapes(argv[k] + 8);
        } else if (std::strncmp(argv[k], "--threads=", 10) == 0) {
            thread_counts = parse_counts(argv[k] + 10);
        } else if (std::strncmp(argv[k], "--cold_runs=", 12) == 0) {
            cold_runs = to_int_saturated(argv[k] + 12);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[k]);
            return 1;
        }
    }
    if (shapes.empty() || thread_counts.empty() || cold_runs < 0 || cold_runs > 1000) {
        std::fprintf(stderr, "sizes: N or MxN, positive; threads: 1..%d; cold_runs: 0..1000\n",
                     max_thread_count);
        return 1;
    }

    std::printf("processor: %s\nkernel: %s\n", processor_name().c_str(),
                kernel_name(select_kernel()));
    for (shape sh : shapes) {
        for (int threads : thread_counts) {
            if (!kernel_matches_plain(sh, threads)) {
                std::fprintf(stderr, "%s, %d threads: the kernel differs from the plain loop\n",
                             label(sh).c_str(), threads);
                return 1;
            }
        }
    }

    for (shape sh : shapes) {
        for (int threads : thread_counts) {
            benchmark::RegisterBenchmark(key("stream", sh, threads).c_str(), bench_stream, sh,
                                         threads)
                ->UseRealTime();
            benchmark::RegisterBenchmark(key("plain", sh, threads).c_str(), bench_plain, sh,
                                         threads)
                ->UseRealTime();
            benchmark::RegisterBenchmark(key("kernel", sh, threads).c_str(), bench_kernel, sh,
                                         threads)
                ->UseRealTime();
            if (threads == 1)
                benchmark::RegisterBenchmark(key("rows", sh, threads).c_str(), bench_rows, sh,
                                             select_kernel())
                    ->UseRealTime();
            for (const kernel_entry* kernel : other_kernels()) {
                benchmark::RegisterBenchmark(
                    key((std::string("team_") + kernel->key).c_str(), sh, threads).c_str(),
                    bench_team, sh, threads, kernel->multiply)
                    ->UseRealTime();
                if (threads == 1)
                    benchmark::RegisterBenchmark(
                        key((std::string("rows_") + kernel->key).c_str(), sh, threads).c_str(),
                        bench_rows, sh, kernel->multiply)
                        ->UseRealTime();
            }
#if HAVE_OPENBLAS
            benchmark::RegisterBenchmark(key("dgemv", sh, threads).c_str(), bench_dgemv, sh,
                                         threads)
                ->UseRealTime();
#endif
        }
    }
    recording_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_warm(shapes, thread_counts);
    int status = 0;
    if (cold_runs > 0 && !print_cold(shapes, thread_counts, cold_runs)) {
        std::fprintf(stderr, "product_timer or dgemv_once did not print its time\n");
        status = 1;
    }
#ifdef HAVE_BENCHMARK_SHUTDOWN
    benchmark::Shutdown();
#endif
    return status;
}
