// bits_check: shows that product_timer's y is the same bit for bit whatever
// the thread count, and that a plain loop compiled with fusing allowed is
// not. It draws A and x as product_timer does, runs compute_product for 1 to
// max_threads threads and prints a checksum of y's bytes for each, then the
// checksum of the fused loop's y where this build and processor have it.
//
//   bits_check [max_threads [m [n]]]   (defaults: 4, 1000, 1000)
//   bits_check --kernel                prints the kernel product_timer runs here
//   bits_check -h | --help | --version
//
// Exit status 0 when every thread count gave the same y (and after --kernel,
// --help and --version), 1 when one did not, 2 on a bad argument.
#include "fused_loop.h"
#include "kernels.h"
#include "product_timer.h"
#include "program_info.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const program_info bits_check_info = {
    "bits_check", "[max_threads [m [n]]]",
    "Draws A and x as product_timer does, computes y = A*x with 1 to max_threads\n"
    "threads (default 4) for an m x n matrix (default 1000 x 1000) and prints a\n"
    "checksum of y's bytes for each, then that of a plain loop compiled with\n"
    "fusing allowed, where this build and processor have one. Exit status 0 when\n"
    "every thread count gave the same y, 1 when one did not, 2 on a bad argument.\n"
    "\n"
    "  --kernel   prints the kernel product_timer runs on this processor\n"
    "\n"
    "Log files: none.\n",
    "docs/speed.md"};

// FNV-1a over the bytes of y: any flipped bit of any element changes it.
std::uint64_t checksum(const std::vector<double>& y) {
    std::uint64_t hash = 14695981039346656037ull;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(y.data());
    for (std::size_t k = 0; k < y.size() * sizeof(double); ++k) {
        hash ^= bytes[k];
        hash *= 1099511628211ull;
    }
    return hash;
}

// How many elements of a and b differ in any bit.
int elements_differing(const std::vector<double>& a, const std::vector<double>& b) {
    int count = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) ++count;
    return count;
}

bool read_count(const char* text, long limit, int* value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > limit) return false;
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (answer_info_request(argc, argv, bits_check_info)) return 0;
    if (argc == 2 && std::strcmp(argv[1], "--kernel") == 0) {
        std::printf("%s\n", kernel_name(select_kernel()));
        return 0;
    }
    int max_threads = 4;
    int m = 1000;
    int n = 1000;
    if (argc > 4 || (argc > 1 && !read_count(argv[1], max_thread_count, &max_threads)) ||
        (argc > 2 && !read_count(argv[2], 20000, &m)) ||
        (argc > 3 && !read_count(argv[3], 20000, &n))) {
        std::fprintf(stderr,
                     "usage: %s [max_threads [m [n]]]   (threads 1..%d, sizes 1..20000)\n"
                     "       %s --kernel\n",
                     argv[0], max_thread_count, argv[0]);
        return 2;
    }
    std::vector<double> A(static_cast<std::size_t>(m) * n), x(n), y(m), first(m);
    gen_matrix(A.data(), m, n);
    gen_vector(x.data(), n);
    std::printf("y = A*x for a %d x %d matrix, kernel %s\n", m, n, kernel_name(select_kernel()));
    std::printf("%-34s %s\n", "computed by", "checksum of y");
    bool all_same = true;
    for (int t = 1; t <= max_threads; ++t) {
        // A row that no thread writes keeps a NaN and differs, instead of
        // keeping the value of the run before.
        std::fill(y.begin(), y.end(), std::numeric_limits<double>::quiet_NaN());
        compute_product(A.data(), x.data(), y.data(), m, n, t);
        if (t == 1) first = y;
        const bool same = elements_differing(y, first) == 0;
        all_same = all_same && same;
        char label[64];
        std::snprintf(label, sizeof label, "product_timer, %d thread%s", t, t == 1 ? "" : "s");
        std::printf("%-34s %016llx%s\n", label, static_cast<unsigned long long>(checksum(y)),
                    same ? "" : "  DIFFERS from 1 thread");
    }
    if (fused_loop_available()) {
        fused_loop_product(A.data(), x.data(), y.data(), m, n);
        const int differ = elements_differing(y, first);
        std::printf("%-34s %016llx  %d of %d elements differ from product_timer's\n",
                    "plain loop, fusing allowed", static_cast<unsigned long long>(checksum(y)),
                    differ, m);
    } else {
        std::printf("%-34s not available (built for x86-64 processors with FMA only)\n",
                    "plain loop, fusing allowed");
    }
    std::printf("%s\n", all_same ? "every thread count gave the same bits"
                                 : "thread counts gave different bits");
    return all_same ? 0 : 1;
}
