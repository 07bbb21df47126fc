// The kernel table and the dispatch: the one list of kernels. Adding a
// kernel means its own kernel_<set>.cpp and one row here.
#include "kernels.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_target.h"

#if PRODUCT_TIMER_X86
#include <cpuid.h>
#endif

namespace {

bool always_available() { return true; }

// In order of preference: the first row the processor can run is the
// kernel. Portable runs everywhere, so the emulated design after it is
// chosen only when PRODUCT_TIMER_KERNEL asks for it. Where one processor can
// run several vector kernels, measured_families may pick another than the
// first.
const kernel_entry table[] = {
#if PRODUCT_TIMER_X86
    {"AVX-512", "avx512", multiply_rows_avx512, avx512_kernel_available},
    {"AVX-512VL", "avx512vl", multiply_rows_avx512vl, avx512vl_kernel_available},
    {"AVX", "avx", multiply_rows_avx, avx_kernel_available},
#endif
#if PRODUCT_TIMER_AARCH64
    {"NEON", "neon", multiply_rows_neon, neon_kernel_available},
#endif
    {"portable", "portable", multiply_rows_portable, always_available},
    {"AVX-512 design, emulated", "avx512_emulated", multiply_rows_avx512_emulated,
     always_available},
    {"AVX-512VL design, emulated", "avx512vl_emulated", multiply_rows_avx512vl_emulated,
     always_available},
};

constexpr int table_size = static_cast<int>(sizeof table / sizeof table[0]);

// The kernel that measured fastest per processor family, each kernel timed
// side by side with cblas_dgemv in one run (docs/speed.md has the tables).
// A family that is not listed takes the first row it can run.
//   AMD family 26 (Zen 5, 512-bit pipes), model 2: each kernel alone on one
//   thread in turn with dgemv on the same data, medians of six runs:
//   AVX-512 at 1.06-1.25 of dgemv's speed in cache (200 to 1024 columns)
//   and 1.19-1.68 from memory (4000, 8000); AVX-512VL 1-7% slower in every
//   cell.
struct measured_family {
    bool amd;         // AuthenticAMD, else GenuineIntel
    unsigned family;  // base plus extended family, as CPUID leaf 1 gives it
    const char* key;  // the kernel that measured fastest
};
constexpr measured_family measured_families[] = {{true, 26, "avx512"}};

// The key measured_families gives this processor; nullptr for a family not
// listed, or for other processors than x86.
const char* measured_key() {
#if PRODUCT_TIMER_X86
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return nullptr;
    // The vendor string in ebx, edx, ecx: "AuthenticAMD" or "GenuineIntel".
    const bool amd = ebx == 0x68747541u && edx == 0x69746e65u && ecx == 0x444d4163u;
    const bool intel = ebx == 0x756e6547u && edx == 0x49656e69u && ecx == 0x6c65746eu;
    if ((!amd && !intel) || __get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return nullptr;
    unsigned family = (eax >> 8) & 0xfu;
    if (family == 0xfu) family += (eax >> 20) & 0xffu;
    for (const measured_family& f : measured_families)
        if (f.amd == amd && f.family == family) return f.key;
#endif
    return nullptr;
}

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
    if (const kernel_entry* measured = measured_kernel()) return measured->multiply;
    for (int k = 0; k < table_size; ++k)
        if (table[k].available()) return table[k].multiply;
    return multiply_rows_portable;
}

}  // namespace

kernel_list kernel_table() { return {table, table_size}; }

const kernel_entry* measured_kernel() {
    const char* key = measured_key();
    const kernel_entry* kernel = key == nullptr ? nullptr : find_kernel(key);
    return kernel != nullptr && kernel->available() ? kernel : nullptr;
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
