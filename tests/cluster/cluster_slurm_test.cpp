// The MPI programs under Slurm (srun, and the shipped job script) print and
// log exactly what they do on one host, and the fences hold every rank.
#include "cluster_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using ClusterSlurm = cluster_fixture;

// srun -N 2 -n 4 --mpi=pmix (Open MPI) or --mpi=pmi2 (MPICH): the ranks get
// their world from Slurm.
TEST_F(ClusterSlurm, SrunOverTwoNodesPrintsAndLogsAsOnOneHost) {
    const std::string scratch = make_scratch_dir();
    for (const program& p : cluster_programs()) {
        SCOPED_TRACE(p.name);
        const one_host_run expected = run_on_one_host(scratch, p, 4);
        const std::string dir = with_input(new_folder(scratch + "/" + p.name));
        const std::string probe = new_folder(scratch + "/hosts-" + p.name);
        const run_result r = run_program(
            srun(joined({srun_probe_export(probe), "-N", "2", "-n", "4"}, program_command(p))), dir,
            "", 60);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(logs_in(dir), expected.logs);
        const std::vector<std::string> hosts = rank_hosts(probe, 4);
        EXPECT_EQ(hosts[0], hosts[1]);
        EXPECT_EQ(hosts[2], hosts[3]);
        EXPECT_NE(hosts[0], hosts[2]);
        const std::vector<std::string> compute = compute_hosts();
        for (const std::string& host : hosts)
            EXPECT_EQ(std::count(compute.begin(), compute.end(), host), 1) << host;
    }
}

// The fences that MPI_Init and MPI_Finalize make through Slurm's PMIx server
// (PMI-2 server for an MPICH build) hold every rank until all have come, on
// every node of the step.
TEST_F(ClusterSlurm, FencesWaitForTheRanksOfEveryNode) {
    const std::string dir = make_scratch_dir();
    for (const int nodes : {2, 3}) {
        SCOPED_TRACE(std::to_string(nodes) + " nodes");
        const std::string probe = new_folder(dir + "/probe" + std::to_string(nodes));
        const run_result r = run_program(
            srun({"--export=ALL," + late_finalize_export(probe), "-N", std::to_string(nodes), "-n",
                  std::to_string(2 * nodes), programs_dir() + "/greetings"}),
            dir, "", 60);
        EXPECT_EQ(r.status, 0) << r.err;
        expect_finalize_waited_for_every_rank(probe, "greetings", 2 * nodes);
    }
}

// The job script of examples/slurm as a user submits it, with the programs
// and the input named through its variables.
TEST_F(ClusterSlurm, ShippedJobScriptRunsTheThreeProgramsAsSteps) {
    const std::string scratch = make_scratch_dir();
    std::string expected_out;
    std::map<std::string, std::string> expected_logs;
    for (const program& p : cluster_programs()) {
        const one_host_run one = run_on_one_host(scratch, p, 4);
        expected_out += one.out;
        expected_logs.insert(one.logs.begin(), one.logs.end());
    }
    const std::string dir = with_input(new_folder(scratch + "/job"));
    const std::string probe = new_folder(scratch + "/probe");
    const run_result r = run_batch_job(
        {"--export=ALL,SRUN_MPI=" + srun_mpi() + ",MPI_PROGRAMS_DIR=" + programs_dir() +
             ",VECTOR_FILE=vector.txt," + late_finalize_export(probe),
         "--output=job.out", JOB_SCRIPT},
        dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(dir + "/job.out"), expected_out);
    EXPECT_EQ(logs_in(dir), expected_logs);
    for (const program& p : cluster_programs())
        expect_finalize_waited_for_every_rank(probe, p.name, 4);
}
