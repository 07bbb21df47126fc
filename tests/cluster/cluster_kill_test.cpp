// A rank killed on a remote host ends the job, under the build's launcher,
// srun and a job script, and leaves no process of it behind.
#include "cluster_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ClusterKill = cluster_fixture;

// A rank on a remote host killed while the others wait for it in MPI.
TEST_F(ClusterKill, MpirunEndsTheJobWhenARemoteRankDies) {
    const std::string dir = make_scratch_dir();
    const std::string hold_file = dir + "/held.pid";
    const std::vector<std::string> cmd = cluster_mpirun(
        {"-x", std::string("LD_PRELOAD=") + RANK_PROBE_PATH, "-x", "PL_PROBE_HOLD_RANK=3", "-x",
         "PL_PROBE_HOLD_FILE=" + hold_file, "-np", "6", programs_dir() + "/greetings"});
    const kill_outcome k =
        kill_rank_of_job([&] { return run_program(cmd, dir, "", launcher_bound_s); }, hold_file);
    report_kill(std::string(mpich_build() ? "mpiexec.mpich" : "mpirun") + ", rank 3 on " +
                    compute_hosts()[1],
                k, k.job.err);
    expect_whole_greeting_records(dir, 6, 3);
}

TEST_F(ClusterKill, SrunWithKillOnBadExitEndsTheStepWhenARankDies) {
    const std::string dir = make_scratch_dir();
    const std::string hold_file = dir + "/held.pid";
    const std::vector<std::string> cmd =
        srun({std::string("--export=ALL,LD_PRELOAD=") + RANK_PROBE_PATH +
                  ",PL_PROBE_HOLD_RANK=3,PL_PROBE_HOLD_FILE=" + hold_file,
              "-N", "3", "-n", "6", programs_dir() + "/greetings"});
    const kill_outcome k =
        kill_rank_of_job([&] { return run_program(cmd, dir, "", launcher_bound_s); }, hold_file);
    report_kill("srun -N 3 -n 6, rank 3 on its second node", k, k.job.err);
    expect_whole_greeting_records(dir, 6, 3);
}

// The job script goes on with its next steps and the job fails.
TEST_F(ClusterKill, JobScriptEndsWhenARankOfAStepDies) {
    const std::string dir = with_input(make_scratch_dir());
    const std::string hold_file = dir + "/held.pid";
    const std::vector<std::string> args{
        "--export=ALL,SRUN_MPI=" + srun_mpi() + ",MPI_PROGRAMS_DIR=" + programs_dir() +
            ",VECTOR_FILE=vector.txt,LD_PRELOAD=" + RANK_PROBE_PATH +
            ",PL_PROBE_HOLD_RANK=3,PL_PROBE_HOLD_FILE=" + hold_file,
        "--output=job.out", JOB_SCRIPT};
    const kill_outcome k = kill_rank_of_job([&] { return run_batch_job(args, dir); }, hold_file);
    report_kill(
        "sbatch job script, rank 3 of its first step", k,
        file_exists(dir + "/job.out") ? read_file(dir + "/job.out") + k.job.out : k.job.out);
    expect_whole_greeting_records(dir, 4, 3);
    // The later steps ran in full.
    EXPECT_EQ(read_file(dir + "/sum_of_ranks0.log"), "The final result is 6\n");
    EXPECT_EQ(read_file(dir + "/vector_max_p0.log"), "The final result is 71\n");
}
