#pragma once
// Test support: child processes for the real servers the integration tests run against,
// free loopback ports and throw-away directories.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace quillmere::testing {

// A free TCP port on 127.0.0.1 (bound once and released; the caller binds it next).
int free_loopback_port();

// Waits until something accepts connections on 127.0.0.1:port, or the timeout passes.
bool wait_for_port(int port, std::chrono::milliseconds timeout);

// A throw-away directory, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "quillmere");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A child process that is ended (SIGTERM, then SIGKILL after a grace period) when the
// object is destroyed, and also when the test process itself dies.
class ChildProcess {
public:
    // argv[0] is looked up in PATH. Standard output and error go to `log_file` if given.
    explicit ChildProcess(std::vector<std::string> argv, const std::filesystem::path& log_file = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool running() const;
    void stop();
    // Waits for it to end by itself: its exit status, 128 + the signal that ended it, or
    // -1 when it is still running after `timeout` (it is left running).
    int wait(std::chrono::milliseconds timeout);
    int pid() const { return pid_; }

private:
    int pid_ = -1;
};

// Full path of an executable in PATH, or "" when none.
std::string find_executable(const std::string& name);

}  // namespace quillmere::testing
