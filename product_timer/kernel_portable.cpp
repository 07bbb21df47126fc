// The portable kernel: plain C++ for any processor, four rows side by side.
#include "kernels.h"

#include <cstdint>

#include "rounding_barrier.h"

void multiply_rows_portable(const double A[], const double x[], double y[], int first, int count,
                            int n) {
    const int64_t end = static_cast<int64_t>(first) + count;
    int64_t i = first;
    for (; end - i >= 4; i += 4) {
        const double* r0 = A + i * n;
        const double* r1 = r0 + n;
        const double* r2 = r1 + n;
        const double* r3 = r2 + n;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int j = 0; j < n; ++j) {
            s0 += rounding_barrier(r0[j] * x[j]);
            s1 += rounding_barrier(r1[j] * x[j]);
            s2 += rounding_barrier(r2[j] * x[j]);
            s3 += rounding_barrier(r3[j] * x[j]);
        }
        y[i] = s0;
        y[i + 1] = s1;
        y[i + 2] = s2;
        y[i + 3] = s3;
    }
    for (; i < end; ++i) {
        const double* row = A + i * n;
        double sum = 0.0;
        for (int j = 0; j < n; ++j) sum += rounding_barrier(row[j] * x[j]);
        y[i] = sum;
    }
}
