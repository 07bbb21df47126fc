// Built with -ffp-contract=fast -mfma on x86-64 (bench/CMakeLists.txt), so
// that the compiler fuses the multiply and the add of the loop below; built
// elsewhere without them, and then not available.
#include "fused_loop.h"

#include <cstddef>

bool fused_loop_available() {
#if defined(BITS_FUSED_LOOP) && defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") != 0;
#else
    return false;
#endif
}

void fused_loop_product(const double A[], const double x[], double y[], int m, int n) {
    for (int i = 0; i < m; ++i) {
        const double* row = A + static_cast<std::size_t>(i) * n;
        double sum = 0.0;
        for (int j = 0; j < n; ++j) sum += row[j] * x[j];
        y[i] = sum;
    }
}
