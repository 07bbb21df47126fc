// product_timer run as a program: refused arguments, --help and --version,
// the time line, memory it cannot get, PRODUCT_TIMER_KERNEL; and the
// benchmark's helpers run the same way.
#include "kernels.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/sysinfo.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized_build = true;
#elif defined(__has_feature)
constexpr bool sanitized_build =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool sanitized_build = false;
#endif

const std::string program = PRODUCT_TIMER_PATH;
const std::string usage_line = "usage: " + program + " <thread_count> <m> <n>\n";
const std::string help_hint = "Try '" + program + " --help' for more information.\n";
const std::string memory_line = "Memory could not be allocated, exiting\n";

run_result run_timer(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

// stderr without the notes a sanitizer adds ("==pid==WARNING: ... failed to
// allocate ..." when an instrumented build is refused memory).
std::string without_sanitizer_notes(const std::string& err) {
    std::string kept;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(start, 2, "==") != 0) kept += err.substr(start, end - start);
        start = end;
    }
    return kept;
}

// Each argument list must be refused: status 1, nothing on stdout, exactly
// `err` on stderr (less a sanitizer's notes).
void expect_refused(const std::vector<std::vector<std::string>>& cases, const std::string& err) {
    const std::string dir = make_scratch_dir();
    for (const auto& args : cases) {
        run_result r = run_timer(args, dir);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(without_sanitizer_notes(r.err), err);
    }
    EXPECT_TRUE(list_dir(dir).empty());
}

// True when out is exactly one time line: the number, printed again with
// "%e", must give back the same characters.
bool is_time_line(const std::string& out) {
    const std::string head = "Elapsed time of multiplication part only = ", tail = " seconds\n";
    if (out.size() <= head.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string number = out.substr(head.size(), out.size() - head.size() - tail.size());
    char again[64];
    std::snprintf(again, sizeof again, "%e", std::strtod(number.c_str(), nullptr));
    return number == again;
}

// One number of seconds on a line of its own, as the helpers print it.
bool is_seconds_line(const std::string& out) {
    char* end = nullptr;
    const double value = std::strtod(out.c_str(), &end);
    return !out.empty() && value >= 0.0 && std::string(end) == "\n";
}

// product_timer run with PRODUCT_TIMER_KERNEL set to value.
run_result run_with_kernel(const std::string& value, const std::vector<std::string>& args,
                           const std::string& dir) {
    std::vector<std::string> argv{"env", "PRODUCT_TIMER_KERNEL=" + value, program};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

}  // namespace

TEST(ProductTimerProgram, RefusesBadArgumentsWithUsageLine) {
    const std::vector<std::vector<std::string>> refused{
        {},
        {"2", "3"},
        {"2", "3", "4", "5"},
        {"0", "3", "4"},
        {"2", "0", "4"},
        {"2", "3", "0"},
        {"-1", "3", "4"},
        {"2", "-3", "4"},
        {"2", "3", "-4"},
        {"x", "3", "4"},
        {"2", "abc", "4"},
        {"2", "3", ""},
        // A value that would wrap to a small positive number if narrowed
        // instead of saturated; a thread count above the cap with a size
        // that is refused anyway.
        {"2", "-4294967295", "4"},
        {"1025", "0", "4"},
    };
    expect_refused(refused, usage_line + help_hint);

    // Above the thread cap (4294967297 saturates rather than wrapping to 1):
    // the usage line, then the cap.
    const std::vector<std::vector<std::string>> too_many_threads{
        {"100000", "3", "4"}, {"1025", "3", "4"}, {"4294967297", "3", "4"}};
    expect_refused(too_many_threads,
                   usage_line + "At most 1024 threads are accepted\n" + help_hint);
}

TEST(ProductTimerProgram, HelpAndVersion) {
    expect_help_and_version(PRODUCT_TIMER_PATH, "product_timer", "<thread_count> <m> <n>");
}

TEST(ProductTimerProgram, RunsAndPrintsOnlyTheTimeLine) {
    const std::string dir = make_scratch_dir();
    const std::vector<std::vector<std::string>> accepted{
        {"1", "1", "1"},    {"3", "7", "5"},    {"4", "2", "3"},   {"8abc", "5", "5"},
        {"2", "8abc", "5"}, {"2", "5", "8abc"}, {" +2", "5", "5"}, {"1024", "3", "2"},
    };
    for (const auto& args : accepted) {
        run_result r = run_timer(args, dir);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(is_time_line(r.out)) << r.out;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(list_dir(dir).empty());
}

// Arrays beyond memory and swap are refused before they are allocated, with
// the reason. The last size is the one that used to be granted and killed:
// each of A and x alone fits, only together they do not (n about 3/4 of
// memory and swap in doubles). A code that allocates it after all is stopped
// by a ulimit -v a little above memory and swap before it can fill it.
TEST(ProductTimerProgram, ReportsSizesThatCannotBeAllocated) {
    struct sysinfo info;
    ASSERT_EQ(sysinfo(&info), 0);
    const uint64_t bytes = (uint64_t{info.totalram} + info.totalswap) * info.mem_unit;
    const uint64_t n = std::min<uint64_t>(INT_MAX, bytes / 8 * 3 / 4), m = bytes / 8 / n;
    const std::vector<std::vector<std::string>> too_big{
        // 4294967298 saturates to INT_MAX rows: 2^31 * 10000 doubles (156 TiB).
        {"1", "4294967298", "10000"},
        {"1", "10000", "4294967296"},
        // INT_MAX * INT_MAX * 8 bytes overflows a 64-bit size.
        {"1", "2147483647", "2147483647"},
        {"2", "4294967298", "4294967298"},
        {"1", std::to_string(m), std::to_string(n)},
    };
    // A sanitizer's shadow memory cannot start under a ulimit -v.
    const std::string guard =
        sanitized_build ? "" : "ulimit -v " + std::to_string(bytes / 1024 * 11 / 10) + " && ";
    const std::string dir = make_scratch_dir();
    for (const auto& args : too_big) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<std::string> argv{"bash", "-c", guard + "exec \"$0\" \"$@\"", program};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = run_program(argv, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        const std::string err = without_sanitizer_notes(r.err);
        EXPECT_EQ(err.rfind(memory_line + "product_timer: the arrays need ", 0), 0u) << err;
        EXPECT_NE(err.find(" bytes of the memory and swap of this machine\n"), std::string::npos);
    }
}

TEST(ProductTimerProgram, RunsTheKernelThatTheEnvironmentForces) {
    const std::string dir = make_scratch_dir();
    const kernel_list table = kernel_table();
    // Every kernel the processor runs, and an empty value (the usual choice).
    std::vector<std::string> runnable{""};
    std::vector<const kernel_entry*> refused;
    for (int k = 0; k < table.count; ++k) {
        if (table.entries[k].available())
            runnable.push_back(table.entries[k].key);
        else
            refused.push_back(&table.entries[k]);
    }
    for (const std::string& key : runnable) {
        run_result r = run_with_kernel(key, {"2", "13", "9"}, dir);
        SCOPED_TRACE(key);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(is_time_line(r.out)) << r.out;
        EXPECT_EQ(r.err, "");
    }

    // A kernel the processor cannot run, and names the table lacks (the
    // printed name is not a key, nor is a key of another case): one line.
    for (const kernel_entry* kernel : refused) {
        run_result r = run_with_kernel(kernel->key, {"1", "3", "4"}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(without_sanitizer_notes(r.err),
                  "PRODUCT_TIMER_KERNEL=" + std::string(kernel->key) +
                      ": this processor cannot run the " + kernel->name + " kernel\n");
    }
    std::string keys;
    for (int k = 0; k < table.count; ++k)
        keys += (k == 0 ? " " : ", ") + std::string(table.entries[k].key);
    for (const char* name : {"fastest", "Portable", "portable ", "AVX"}) {
        const std::string key = name;
        run_result r = run_with_kernel(key, {"1", "3", "4"}, dir);
        SCOPED_TRACE(key);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(
            without_sanitizer_notes(r.err),
            "PRODUCT_TIMER_KERNEL=" + key + ": no such kernel; the kernels are" + keys + "\n");
    }
    // The kernel is refused before any memory is asked for.
    run_result r = run_with_kernel("fastest", {"1", "4294967298", "10000"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_sanitizer_notes(r.err),
              "PRODUCT_TIMER_KERNEL=fastest: no such kernel; the kernels are" + keys + "\n");
    EXPECT_TRUE(list_dir(dir).empty());
}

#ifdef PRODUCT_WARM_PATH
TEST(ProductTimerTools, WarmHelperPrintsItsMedianAndRefusesBadArguments) {
    const std::string dir = make_scratch_dir();
    run_result r = run_program({PRODUCT_WARM_PATH, "2", "37", "11", "3"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(is_seconds_line(r.out)) << r.out;
    EXPECT_EQ(r.err, "");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"2", "3"},
                                               {"0", "3", "4"},
                                               {"1025", "3", "4"},
                                               {"2", "x", "4"},
                                               {"2", "3", "4", "0"}}) {
        std::vector<std::string> argv{PRODUCT_WARM_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        r = run_program(argv, dir);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    EXPECT_TRUE(list_dir(dir).empty());
}
#endif

#ifdef PRODUCT_WARM_PATH
TEST(ProductTimerTools, WarmHelperGivesScriptsTheMedianAndTheProcessorName) {
    const std::string dir = make_scratch_dir();
    const std::string warm = PRODUCT_WARM_PATH;
    run_result r = run_program({warm, "--median"}, dir, "3 1\n2\n4\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2.5\n");
    r = run_program({warm, "--median"}, dir, "1.25e-3\n");
    EXPECT_EQ(r.out, "0.00125\n");
    for (const char* input : {"", "1 x 2\n", "1 nan 2\n", "-inf\n"}) {
        r = run_program({warm, "--median"}, dir, input);
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err, "");
    }
    r = run_program({warm, "--processor"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_GT(r.out.size(), 1u);
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    // The numbers are read as product_timer reads them: a number followed by
    // other characters counts, and the refusal is product_timer's own.
    r = run_program({warm, "2", "8abc", "11", "3"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(is_seconds_line(r.out)) << r.out;
    r = run_program({warm, "4294967297", "3", "4"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "usage: " + warm + " <thread_count> <m> <n>\n" +
                         "At most 1024 threads are accepted\n" + "Try '" + warm +
                         " --help' for more information.\n");
    EXPECT_TRUE(list_dir(dir).empty());
}
#endif

#ifdef DGEMV_ONCE_PATH
TEST(ProductTimerTools, ColdYardstickPrintsOneTime) {
    const std::string dir = make_scratch_dir();
    run_result r = run_program({DGEMV_ONCE_PATH, "2", "37", "11"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(is_seconds_line(r.out)) << r.out;
    r = run_program({DGEMV_ONCE_PATH, "2", "0", "11"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(list_dir(dir).empty());
}
#endif
