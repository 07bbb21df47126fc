// Benchmark of the matrix-vector product of product_timer, measured side by
// side in one run with the yardsticks it is judged against:
//
//   kernel   compute_product, the product as product_timer runs it (warm: the
//            thread team of the previous iteration is reused)
//   plain    the same row blocks, one row at a time, left to right
//   dgemv    cblas_dgemv of OpenBLAS, row-major, same data and thread count
//            (only when the build found OpenBLAS)
//   stream   a vectorised read of the same matrix, several streams per thread
//            each with its own accumulator: what the memory can deliver to
//            that many threads
//   program  the time that the product_timer program itself prints (a fresh
//            process per iteration, so its thread team starts cold)
//
// Speeds are in GB/s of matrix read (m*n*8 bytes per product). After the
// benchmarks a table puts the kernel next to the yardsticks as ratios.
//
//   product_bench [--sizes=200,1000,4000,8000] [--threads=1,2] [benchmark flags]
#include "product_timer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
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

struct problem {
    int m;
    int n;
    std::vector<double> A;
    std::vector<double> x;
    std::vector<double> y;
};

// One square problem per size, drawn like product_timer draws its data.
problem& problem_of_size(int size) {
    static std::map<int, std::unique_ptr<problem>> problems;
    std::unique_ptr<problem>& p = problems[size];
    if (!p) {
        p.reset(new problem{size, size, {}, {}, {}});
        p->A.resize(static_cast<size_t>(size) * size);
        p->x.resize(size);
        p->y.resize(size);
        srandom(1);
        gen_matrix(p->A.data(), size, size);
        gen_vector(p->x.data(), size);
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

void bench_kernel(benchmark::State& state, int size, int threads) {
    problem& p = problem_of_size(size);
    for (auto _ : state) {
        compute_product(p.A.data(), p.x.data(), p.y.data(), p.m, p.n, threads);
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
}

void bench_plain(benchmark::State& state, int size, int threads) {
    problem& p = problem_of_size(size);
    for (auto _ : state) {
        plain_product(p, p.y.data(), threads);
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
}

#if HAVE_OPENBLAS
void bench_dgemv(benchmark::State& state, int size, int threads) {
    problem& p = problem_of_size(size);
    openblas_set_num_threads(threads);
    for (auto _ : state) {
        cblas_dgemv(CblasRowMajor, CblasNoTrans, p.m, p.n, 1.0, p.A.data(), p.n, p.x.data(), 1,
                    0.0, p.y.data(), 1);
        benchmark::ClobberMemory();
    }
    set_matrix_bytes(state, p);
}
#endif

void bench_stream(benchmark::State& state, int size, int threads) {
    problem& p = problem_of_size(size);
    for (auto _ : state) benchmark::DoNotOptimize(stream_read(p, threads));
    set_matrix_bytes(state, p);
}

// Runs the program once per iteration and takes the time it prints.
void bench_program(benchmark::State& state, int size, int threads) {
    problem& p = problem_of_size(size);
    const std::string command = std::string(PRODUCT_TIMER_PATH) + " " + std::to_string(threads) +
                                " " + std::to_string(size) + " " + std::to_string(size);
    for (auto _ : state) {
        std::FILE* out = popen(command.c_str(), "r");
        double seconds = -1.0;
        if (out != nullptr) {
            if (std::fscanf(out, "Elapsed time of multiplication part only = %lf", &seconds) != 1)
                seconds = -1.0;
            pclose(out);
        }
        if (seconds < 0.0) {
            state.SkipWithError("product_timer did not print its time line");
            break;
        }
        state.SetIterationTime(seconds);
    }
    set_matrix_bytes(state, p);
}

// Seconds per iteration of every finished benchmark, by name. With
// --benchmark_repetitions the median, reported after the repetitions,
// replaces the single runs.
std::map<std::string, double> seconds_of;

struct recording_reporter : benchmark::ConsoleReporter {
    recording_reporter()
        : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || run.iterations == 0 ||
                (run.run_type == Run::RT_Aggregate && !median))
                continue;
            seconds_of[run.run_name.function_name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::vector<int> parse_list(const char* text) {
    std::vector<int> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) values.push_back(std::atoi(item.c_str()));
    return values;
}

std::string key(const char* what, int size, int threads) {
    return std::string(what) + "/" + std::to_string(size) + "/" + std::to_string(threads);
}

void print_ratios(const std::vector<int>& sizes, const std::vector<int>& thread_counts) {
    auto gbs = [](const std::string& name, int size) {
        auto it = seconds_of.find(name);
        if (it == seconds_of.end() || it->second <= 0.0) return -1.0;
        return static_cast<double>(size) * size * sizeof(double) / it->second / 1e9;
    };
    auto cell = [](double value, const char* format) {
        char text[32];
        if (value < 0.0) return std::string("-");
        std::snprintf(text, sizeof text, format, value);
        return std::string(text);
    };
    std::printf("\nGB/s of matrix read; ratios are speed over speed (above 1: ours is faster)\n");
    std::printf("%6s %3s %8s %8s %8s %8s %8s %13s %14s %14s\n", "size", "thr", "kernel", "plain",
                "dgemv", "stream", "program", "kernel/dgemv", "program/dgemv", "program/stream");
    for (int size : sizes) {
        for (int threads : thread_counts) {
            double k = gbs(key("kernel", size, threads), size);
            double pl = gbs(key("plain", size, threads), size);
            double d = gbs(key("dgemv", size, threads), size);
            double s = gbs(key("stream", size, threads), size);
            double pr = gbs(key("program", size, threads), size);
            auto ratio = [](double a, double b) { return a < 0.0 || b <= 0.0 ? -1.0 : a / b; };
            std::printf("%6d %3d %8s %8s %8s %8s %8s %13s %14s %14s\n", size, threads,
                        cell(k, "%.2f").c_str(), cell(pl, "%.2f").c_str(), cell(d, "%.2f").c_str(),
                        cell(s, "%.2f").c_str(), cell(pr, "%.2f").c_str(),
                        cell(ratio(k, d), "%.2f").c_str(), cell(ratio(pr, d), "%.2f").c_str(),
                        cell(ratio(pr, s), "%.2f").c_str());
        }
    }
}

// The kernel must give exactly the bits of the plain loop; timing a wrong
// kernel would be pointless.
bool kernel_matches_plain(int size, int threads) {
    problem& p = problem_of_size(size);
    std::vector<double> expected(p.m);
    plain_product(p, expected.data(), 1);
    compute_product(p.A.data(), p.x.data(), p.y.data(), p.m, p.n, threads);
    return std::memcmp(expected.data(), p.y.data(), expected.size() * sizeof(double)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<int> sizes{200, 1000, 4000, 8000};
    std::vector<int> thread_counts{1, 2};
    for (int k = 1; k < argc; ++k) {
        if (std::strncmp(argv[k], "--sizes=", 8) == 0) {
            sizes = parse_list(argv[k] + 8);
        } else if (std::strncmp(argv[k], "--threads=", 10) == 0) {
            thread_counts = parse_list(argv[k] + 10);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[k]);
            return 1;
        }
    }

    std::printf("wide kernel: %s\n", wide_kernel_available() ? "AVX" : "portable");
    for (int size : sizes) {
        for (int threads : thread_counts) {
            if (size <= 0 || threads <= 0 || !kernel_matches_plain(size, threads)) {
                std::fprintf(stderr, "size %d, %d threads: the kernel differs from the plain loop\n",
                             size, threads);
                return 1;
            }
        }
    }

    for (int size : sizes) {
        for (int threads : thread_counts) {
            benchmark::RegisterBenchmark(key("stream", size, threads).c_str(), bench_stream, size,
                                         threads)->UseRealTime();
            benchmark::RegisterBenchmark(key("plain", size, threads).c_str(), bench_plain, size,
                                         threads)->UseRealTime();
            benchmark::RegisterBenchmark(key("kernel", size, threads).c_str(), bench_kernel, size,
                                         threads)->UseRealTime();
#if HAVE_OPENBLAS
            benchmark::RegisterBenchmark(key("dgemv", size, threads).c_str(), bench_dgemv, size,
                                         threads)->UseRealTime();
#endif
            benchmark::RegisterBenchmark(key("program", size, threads).c_str(), bench_program, size,
                                         threads)->UseManualTime()->Iterations(size >= 4000 ? 5 : 20);
        }
    }
    recording_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratios(sizes, thread_counts);
    benchmark::Shutdown();
    return 0;
}
