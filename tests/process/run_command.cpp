#include "run_command.hpp"

#include "support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillmere::testing {
namespace {

std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

CommandResult run_command(const Command& command) {
    TempDir dir("quillmere-run");
    const auto out = dir.path() / "out", err = dir.path() / "err";
    std::filesystem::path in = command.stdin_file;
    if (in.empty()) {
        in = dir.path() / "in";
        std::ofstream(in, std::ios::binary) << command.stdin_text;
    }

    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& [name, value] : command.env) replaced = replaced || entry.rfind(name + "=", 0) == 0;
        if (!replaced) env_text.push_back(entry);
    }
    for (const auto& [name, value] : command.env) env_text.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = command.argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + command.argv.at(0));

    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + command.deadline;
    int raw = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &raw, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &raw, 0);
            result.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!result.timed_out && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) result.signal = WTERMSIG(raw);
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

}  // namespace quillmere::testing
