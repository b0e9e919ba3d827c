#pragma once
// Test support: `quillmere serve` as a real child process, given a configuration file, its
// standard error kept in a file, ended with real signals and waited for with a time-out.
// The child is killed when the test process dies.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::testing {

class ServeProcess {
public:
    // Runs `binary serve --config config [extra...]`. Does not wait for it to listen.
    ServeProcess(const std::string& binary, const std::filesystem::path& config, const std::filesystem::path& log,
                 std::vector<std::string> extra = {});
    ~ServeProcess();  // SIGKILL when still running
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    void signal(int number);
    // The exit status (128 + n for a signal n), or nothing when still running at `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    // Whether standard error holds `text` within `timeout`.
    bool log_holds(const std::string& text, std::chrono::milliseconds timeout) const;
    std::string log_text() const;
    int pid() const { return pid_; }

private:
    int pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path log_;
};

}  // namespace quillmere::testing
