// A plain matrix-vector product compiled with fusing allowed, for bits_check:
// the loop that product_timer's kernels must not turn into.
#pragma once

// Whether this build has the fused loop and this processor can run it: only
// on x86-64, where it is compiled for fused multiply-adds (FMA), and only on a
// processor that has them.
bool fused_loop_available();

// y[i] = sum over j of A[i*n + j] * x[j], left to right from +0.0, in one
// thread, compiled so that each multiply and add may become one fused
// multiply-add (one rounding instead of two). Call only when
// fused_loop_available().
void fused_loop_product(const double A[], const double x[], double y[], int m, int n);
