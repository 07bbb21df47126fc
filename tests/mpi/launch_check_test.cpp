// The check against a launcher of another MPI: which variables it reads, and
// each program refusing a one-process world the launcher said was larger,
// while correct launches (one rank, no launcher at all) run as before.
#include "launch_check.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* const launcher_variables[] = {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE",
                                          "SLURM_STEP_NUM_TASKS"};

void clear_launcher_variables() {
    for (const char* name : launcher_variables) unsetenv(name);
}

struct program_case {
    const char* path;
    std::vector<std::string> args;
};

std::vector<program_case> programs() {
    return {{VECTOR_MAX_PATH, {"vector.txt"}}, {GREETINGS_PATH, {}}, {SUM_OF_RANKS_PATH, {}}};
}

// Command line that runs a program without a launcher, with `assignments`
// (NAME=VALUE) and the MPI processes' test environment added.
std::vector<std::string> alone(const program_case& p, const std::vector<std::string>& assignments) {
    std::vector<std::string> cmd{"/usr/bin/env"};
    for (const auto& [name, value] : mpi_rank_environment()) cmd.push_back(name + "=" + value);
    cmd.insert(cmd.end(), assignments.begin(), assignments.end());
    cmd.push_back(p.path);
    cmd.insert(cmd.end(), p.args.begin(), p.args.end());
    return cmd;
}

// A folder of its own for the program below scratch, with vector_max's input.
std::string program_folder(const std::string& scratch, const program_case& p) {
    const std::string dir = scratch + "/" + std::filesystem::path(p.path).filename().string();
    std::filesystem::create_directory(dir);
    write_file(dir + "/vector.txt", "1 2 3\n");
    return dir;
}

const char refusal[] =
    "Started by a launcher of another MPI than the one this program was built with: ";
const char srun_hint[] =
    "Under srun, a possible cause is its --mpi plugin: an MPICH build needs --mpi=pmi2, an Open "
    "MPI build --mpi=pmix (srun --mpi=list shows them)\n";

}  // namespace

TEST(LaunchCheck, ReadsTheNearestLauncherFirstAndIgnoresNonsense) {
    clear_launcher_variables();
    launcher_world w = launcher_world_from_env();
    EXPECT_EQ(w.size, 0);
    EXPECT_STREQ(w.variable, "");

    // srun's step size gives way to Hydra's, and Hydra's to Open MPI's: an
    // mpirun inside a Slurm allocation leaves the allocation's variables set.
    setenv("SLURM_STEP_NUM_TASKS", "2", 1);
    EXPECT_STREQ(launcher_world_from_env().variable, "SLURM_STEP_NUM_TASKS=2");
    setenv("PMI_SIZE", "3", 1);
    EXPECT_STREQ(launcher_world_from_env().variable, "PMI_SIZE=3");
    EXPECT_FALSE(started_by_srun(launcher_world_from_env()));  // Hydra inside a step of 2
    setenv("SLURM_STEP_NUM_TASKS", "3", 1);
    EXPECT_TRUE(started_by_srun(launcher_world_from_env()));  // srun --mpi=pmi2
    setenv("OMPI_COMM_WORLD_SIZE", "4", 1);
    w = launcher_world_from_env();
    EXPECT_EQ(w.size, 4);
    EXPECT_STREQ(w.variable, "OMPI_COMM_WORLD_SIZE=4");
    EXPECT_FALSE(started_by_srun(w));

    // A value that is no positive count is passed over.
    for (const char* bad : {"", "0", "-2", "4x", "x", "99999999999999999999"}) {
        SCOPED_TRACE(bad);
        setenv("OMPI_COMM_WORLD_SIZE", bad, 1);
        EXPECT_STREQ(launcher_world_from_env().variable, "PMI_SIZE=3");
    }
    clear_launcher_variables();
}

// What another family's launcher leaves a rank with, made by hand so that it
// runs with one MPI installed: a size in the environment, a world of one.
TEST(LaunchCheck, ProgramsRefuseAOneProcessWorldTheLauncherSaidWasLarger) {
    const std::string scratch = make_scratch_dir();
    for (const program_case& p : programs()) {
        SCOPED_TRACE(p.path);
        const std::string dir = program_folder(scratch, p);
        run_result r = run_program(alone(p, {"SLURM_STEP_NUM_TASKS=3"}), dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(refusal, 0), 0u) << r.err;
        EXPECT_NE(r.err.find("the launcher set SLURM_STEP_NUM_TASKS=3, but "), std::string::npos)
            << r.err;
        // Started by srun: the --mpi plugin is named as a possible cause.
        EXPECT_NE(r.err.find(std::string(" sees a world of 1 process\n") + srun_hint),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{"vector.txt"});  // no log record
        // Another launcher inside a step of srun: no word of srun.
        r = run_program(alone(p, {"SLURM_STEP_NUM_TASKS=1", "PMI_SIZE=2"}), dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("the launcher set PMI_SIZE=2, but "), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

        // Without a launcher (a singleton), and with one that says 1, it runs.
        for (const std::vector<std::string>& size :
             {std::vector<std::string>{}, {"SLURM_STEP_NUM_TASKS=1"}}) {
            r = run_program(alone(p, size), dir);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err.find(refusal), std::string::npos) << r.err;
        }
    }
}

// The real thing: this build's programs under the other MPI's launcher, when
// one was found at configure time.
TEST(LaunchCheck, ProgramsRefuseTheOtherFamilysLauncher) {
    const std::vector<std::string> launcher = split_words(mpi_launcher_fact("MPI_OTHER_LAUNCHER"));
    if (launcher.empty()) GTEST_SKIP() << OTHER_MPIEXEC_MISSING;
    const std::string env_form = mpi_launcher_fact("MPI_OTHER_ENV_FORM");
    const std::string scratch = make_scratch_dir();
    for (const program_case& p : programs()) {
        SCOPED_TRACE(p.path);
        const std::string dir = program_folder(scratch, p);
        std::vector<std::string> cmd = launcher;
        cmd.insert(cmd.end(), {"-n", "2"});
        for (const auto& [name, value] : mpi_rank_environment()) {
            for (const std::string& word : launcher_env_flags(env_form, name, value))
                cmd.push_back(word);
        }
        cmd.push_back(p.path);
        cmd.insert(cmd.end(), p.args.begin(), p.args.end());
        run_result r = run_program(cmd, dir);
        EXPECT_NE(r.status, 0);
        // One line from each process that got that far (Open MPI's mpirun
        // stops the others once one has ended with status 1), nothing printed
        // or logged.
        size_t lines = 0;
        for (size_t at = r.err.find(refusal); at != std::string::npos;
             at = r.err.find(refusal, at + 1))
            ++lines;
        EXPECT_GE(lines, 1u) << r.err;
        EXPECT_LE(lines, 2u) << r.err;
        EXPECT_EQ(r.out.find("Greetings"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Process 0"), std::string::npos) << r.out;
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{"vector.txt"});
    }
}
