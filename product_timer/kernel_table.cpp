// The kernel table and the dispatch: the one list of kernels. Adding a
// kernel means its own kernel_<set>.cpp and one row here.
#include "kernels.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_target.h"

namespace {

bool always_available() {
    return true;
}

// In order of preference: the first row the processor can run is the
// kernel. Portable runs everywhere, so the emulated design after it is
// chosen only when PRODUCT_TIMER_KERNEL asks for it.
const kernel_entry table[] = {
#if PRODUCT_TIMER_X86
    {"AVX-512", "avx512", multiply_rows_avx512, avx512_kernel_available},
    {"AVX", "avx", multiply_rows_avx, avx_kernel_available},
#endif
#if PRODUCT_TIMER_AARCH64
    {"NEON", "neon", multiply_rows_neon, neon_kernel_available},
#endif
    {"portable", "portable", multiply_rows_portable, always_available},
    {"AVX-512 design, emulated", "avx512_emulated", multiply_rows_avx512_emulated,
     always_available},
};

constexpr int table_size = static_cast<int>(sizeof table / sizeof table[0]);

constexpr char forcing_variable[] = "PRODUCT_TIMER_KERNEL";

// The kernel that PRODUCT_TIMER_KERNEL names, or the process ends with
// status 1 and one line that says why.
row_kernel forced_kernel(const char* key) {
    const kernel_entry* kernel = find_kernel(key);
    if (kernel == nullptr) {
        std::fprintf(stderr, "%s=%s: no such kernel; the kernels are", forcing_variable, key);
        for (int k = 0; k < table_size; ++k)
            std::fprintf(stderr, "%s %s", k == 0 ? "" : ",", table[k].key);
        std::fprintf(stderr, "\n");
        std::exit(1);
    }
    if (!kernel->available()) {
        std::fprintf(stderr, "%s=%s: this processor cannot run the %s kernel\n", forcing_variable,
                     key, kernel->name);
        std::exit(1);
    }
    return kernel->multiply;
}

row_kernel choose_kernel() {
    const char* forced = std::getenv(forcing_variable);
    if (forced != nullptr && forced[0] != '\0') return forced_kernel(forced);
    for (int k = 0; k < table_size; ++k)
        if (table[k].available()) return table[k].multiply;
    return multiply_rows_portable;
}

}  // namespace

kernel_list kernel_table() {
    return {table, table_size};
}

const kernel_entry* find_kernel(const char* key) {
    for (int k = 0; k < table_size; ++k)
        if (std::strcmp(table[k].key, key) == 0) return &table[k];
    return nullptr;
}

row_kernel select_kernel() {
    // A function-local static is initialised once, even when several threads
    // call at the same time.
    static const row_kernel chosen = choose_kernel();
    return chosen;
}

const char* kernel_name(row_kernel kernel) {
    for (int k = 0; k < table_size; ++k)
        if (table[k].multiply == kernel) return table[k].name;
    return "portable";
}

void multiply_rows(const double A[], const double x[], double y[], int first, int count, int n) {
    select_kernel()(A, x, y, first, count, n);
}
