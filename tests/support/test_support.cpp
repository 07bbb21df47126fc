#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    std::istringstream in(text);
    while (in >> item) items.push_back(item);
    return items;
}

namespace {

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

#ifndef TEST_EMULATOR
#define TEST_EMULATOR ""
#endif

// The machine field of an ELF file's header (its 19th and 20th bytes), or -1
// when path is no ELF file.
int elf_machine(const std::string& path) {
    unsigned char header[20];
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) || std::memcmp(header,
                                                                                "\x7f"
                                                                                "ELF",
                                                                                4) != 0)
        return -1;
    return header[5] == 2 ? header[18] << 8 | header[19] : header[18] | header[19] << 8;
}

// Under an emulator (a cross build run through CMAKE_CROSSCOMPILING_EMULATOR)
// the kernel cannot start programs built for the emulated processor, so the
// emulator starts them: its words go before the first argument that names a
// program for the same processor as this test (/proc/self/exe, which the
// emulator shows as the test itself). Host programs such as /usr/bin/env or
// /bin/sh run as they are.
std::vector<std::string> under_emulator(const std::vector<std::string>& argv) {
    if (!running_under_emulator()) return argv;
    const int own_machine = elf_machine("/proc/self/exe");
    std::vector<std::string> command = argv;
    for (size_t k = 0; k < command.size(); ++k) {
        if (elf_machine(command[k]) != own_machine) continue;
        std::vector<std::string> emulator = split_words(TEST_EMULATOR);
        command.insert(command.begin() + static_cast<std::ptrdiff_t>(k), emulator.begin(),
                       emulator.end());
        break;
    }
    return command;
}

}  // namespace

bool running_under_emulator() { return TEST_EMULATOR[0] != '\0'; }

run_result run_program(const std::vector<std::string>& program_argv, const std::string& cwd,
                       const std::string& stdin_text, int timeout_s, bool* timed_out) {
    const std::vector<std::string> argv = under_emulator(program_argv);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {-1, "", ""};
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());  // the PATH search finds an emulator named alone
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    set_nonblocking(in_pipe[1]);
    set_nonblocking(out_pipe[0]);
    set_nonblocking(err_pipe[0]);

    run_result result{-1, "", ""};
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (stdin_text.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    bool killed = false;
    std::chrono::steady_clock::time_point killed_at;
    char buf[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        // Processes the killed child left behind (a launcher's agents) may
        // hold its output open for ever: stop reading 5 s after the kill.
        if (killed && std::chrono::steady_clock::now() - killed_at > std::chrono::seconds(5)) break;
        pollfd fds[3];
        int n = 0;
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
            killed_at = std::chrono::steady_clock::now();
        }
        if (poll(fds, n, left > 0 ? static_cast<int>(std::min<long long>(left, 1000)) : 1000) < 0 &&
            errno != EINTR)
            break;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                ssize_t k = write(in_fd, stdin_text.data() + written, stdin_text.size() - written);
                if (k > 0) written += static_cast<size_t>(k);
                if (k < 0 && errno != EAGAIN) written = stdin_text.size();
                if (written == stdin_text.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            int& fd = fds[i].fd == out_fd ? out_fd : err_fd;
            std::string& sink = fds[i].fd == out_fd ? result.out : result.err;
            ssize_t k = read(fd, buf, sizeof buf);
            if (k > 0) {
                sink.append(buf, static_cast<size_t>(k));
            } else if (k == 0 || errno != EAGAIN) {
                close(fd);
                fd = -1;
            }
        }
    }
    for (int fd : {in_fd, out_fd, err_fd})
        if (fd >= 0) close(fd);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.status = 128 + WTERMSIG(wstatus);
    if (timed_out != nullptr)
        *timed_out = killed;
    else if (killed)
        ADD_FAILURE() << argv[0] << " ran longer than " << timeout_s << " s and was killed";
    return result;
}

int wait_for_held_rank(const std::string& file, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::string text;
    while (text.empty() || text.back() != '\n') {
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (file_exists(file)) text = read_file(file);
    }
    return std::stoi(text);
}

held_rank_kill kill_held_rank(const std::function<run_result()>& job, const std::string& hold_file,
                              int wait_s) {
    held_rank_kill result{{-1, "", ""}, false, -1, {}};
    std::chrono::steady_clock::time_point ended;
    std::thread launcher([&] {
        result.job = job();
        ended = std::chrono::steady_clock::now();
    });
    const int pid = wait_for_held_rank(hold_file, wait_s);
    if (pid >= 0) {
        result.held = true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_EQ(kill(pid, SIGKILL), 0);
        result.killed_at = std::chrono::steady_clock::now();
    }
    launcher.join();
    if (result.held)
        result.seconds_to_end = std::chrono::duration<double>(ended - result.killed_at).count();
    return result;
}

std::string greeting_record(int rank, int np) {
    const std::string r = std::to_string(rank);
    return "Proc " + r + ": Greetings from process " + r + " of " + std::to_string(np) + "!\n";
}

int kill_processes_in(const std::string& dir) {
    const fs::path root = fs::weakly_canonical(dir);
    int count = 0;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(),
                                         [](unsigned char c) { return std::isdigit(c) != 0; }))
            continue;
        std::error_code link_ec;
        const fs::path cwd = fs::read_symlink(entry.path() / "cwd", link_ec);
        if (link_ec) continue;
        const std::string relative = cwd.lexically_relative(root).string();
        if (relative.empty() || relative.rfind("..", 0) == 0) continue;
        if (kill(std::stoi(name), SIGKILL) == 0) ++count;
    }
    return count;
}

std::vector<std::pair<std::string, std::string>> mpi_rank_environment() {
#ifdef TEST_MPI_RANK_ASAN_OPTIONS
    // The ranks keep the suite's sanitizer options, leak detection excepted.
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS",
             std::string(asan_options ? asan_options : "") + ":" + TEST_MPI_RANK_ASAN_OPTIONS}};
#else
    return {};
#endif
}

std::vector<std::string> traced_environment() {
    std::vector<std::string> words;
    for (const auto& [name, value] : mpi_rank_environment()) words.push_back(name + "=" + value);
    return words;
}

namespace {

// A value as the facts file quotes it for the shell: 'text', with a quote
// inside written '\''.
std::string shell_unquoted(const std::string& text) {
    std::string value;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\'') {
            quoted = !quoted;
        } else if (!quoted && text[i] == '\\' && i + 1 < text.size()) {
            value += text[++i];
        } else {
            value += text[i];
        }
    }
    return value;
}

std::map<std::string, std::string> read_launcher_facts() {
    std::map<std::string, std::string> facts;
    std::istringstream lines(read_file(MPI_LAUNCHER_ENV));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        facts[line.substr(0, eq)] = shell_unquoted(line.substr(eq + 1));
    }
    return facts;
}

}  // namespace

std::string mpi_launcher_fact(const std::string& key) {
    static const std::map<std::string, std::string> facts = read_launcher_facts();
    const auto found = facts.find(key);
    return found == facts.end() ? "" : found->second;
}

std::vector<std::string> launcher_env_flags(const std::string& env_form, const std::string& name,
                                            const std::string& value) {
    std::vector<std::string> words = split_words(env_form);
    const std::pair<std::string, std::string> fields[] = {{"{name}", name}, {"{value}", value}};
    for (std::string& word : words) {
        for (const auto& [field, text] : fields) {
            const std::size_t at = word.find(field);
            if (at != std::string::npos) word.replace(at, field.size(), text);
        }
    }
    return words;
}

std::vector<std::string> mpi_env_flags(const std::string& name, const std::string& value) {
    return launcher_env_flags(mpi_launcher_fact("MPI_ENV_FORM"), name, value);
}

int rank_of_log(const std::string& name) {
    const std::size_t end = name.size() >= 4 && name.compare(name.size() - 4, 4, ".log") == 0
                                ? name.size() - 4
                                : std::string::npos;
    if (end == std::string::npos) return -1;
    std::size_t start = end;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1])) != 0) --start;
    return start == end ? -1 : std::stoi(name.substr(start, end - start));
}

std::vector<std::string> mpi_command(int np, const std::string& program,
                                     const std::vector<std::string>& args) {
    std::vector<std::string> cmd{mpi_launcher_fact("MPI_LAUNCHER"),
                                 mpi_launcher_fact("MPI_NUMPROC_FLAG"), std::to_string(np)};
    for (const std::string& flag : split_words(mpi_launcher_fact("MPI_PREFLAGS")))
        cmd.push_back(flag);
    for (const auto& [name, value] : mpi_rank_environment()) {
        for (const std::string& word : mpi_env_flags(name, value)) cmd.push_back(word);
    }
    cmd.push_back(program);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

std::string make_scratch_dir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "no_test";
    std::replace(name.begin(), name.end(), '/', '_');
    fs::path dir = fs::path(TEST_SCRATCH_ROOT) / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    return dir.string();
}

std::string enter_scratch_dir() {
    std::string dir = make_scratch_dir();
    if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir << ": " << std::strerror(errno);
    return dir;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool file_exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, std::string> logs_in(const std::string& dir) {
    std::map<std::string, std::string> logs;
    for (const std::string& name : list_dir(dir))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
            logs[name] = read_file(dir + "/" + name);
    return logs;
}

void expect_help_and_version(const std::string& program, const std::string& name,
                             const std::string& arguments) {
    SCOPED_TRACE(name);
    const std::string dir = make_scratch_dir();
    // Under Open MPI this makes MPI_Init fail, so a program that started MPI
    // would end with an error instead of status 0.
    const std::string no_mpi = "OMPI_MCA_pml=no_such_component";
    run_result r = run_program({"/usr/bin/env", no_mpi, program, "--help"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string usage =
        "usage: " + name + (arguments.empty() ? "" : " " + arguments) + "\n\n";
    EXPECT_EQ(r.out.substr(0, usage.size()), usage);
    for (const char* part :
         {"Log files: ", "--version  print the version", "share/doc/parallel-labs/"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
    const std::string help = r.out;
    EXPECT_EQ(run_program({"/usr/bin/env", no_mpi, program, "-h"}, dir).out, help);
    // Under a launcher only rank 0 answers; its own variable counts before Slurm's.
    for (const char* rank :
         {"OMPI_COMM_WORLD_RANK=1", "PMIX_RANK=2", "PMI_RANK=3", "SLURM_PROCID=1"}) {
        r = run_program({"/usr/bin/env", no_mpi, rank, program, "--help"}, dir);
        EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(0, std::string())) << rank;
    }
    r = run_program({"/usr/bin/env", "SLURM_PROCID=1", "OMPI_COMM_WORLD_RANK=0", program, "-h"},
                    dir);
    EXPECT_EQ(std::make_pair(r.status, r.out), std::make_pair(0, help));

    // Only the first argument counts; what follows it is never looked at.
    r = run_program({"/usr/bin/env", no_mpi, program, "--version", "missing.txt", "x"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, name + " (Parallel labs) " PARALLEL_LABS_VERSION "\n");
    EXPECT_TRUE(list_dir(dir).empty());
}
