#pragma once
// Runs a program to its end with a deadline: arguments, extra environment variables,
// standard input from a file or a text, standard output and error captured. A program
// still running at the deadline is killed (SIGKILL) and reported as timed out.

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::testing {

struct CommandResult {
    int status = -1;  // exit status; -1 when killed by a signal or timed out
    int signal = 0;   // the signal that ended it, if any
    bool timed_out = false;
    std::string out, err;
};

struct Command {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing in) ours
    std::string stdin_text;                                // used when stdin_file is empty
    std::filesystem::path stdin_file;
    std::chrono::milliseconds deadline{60000};
};

CommandResult run_command(const Command& command);

// The lines of a text, without their newlines.
std::vector<std::string> split_lines(const std::string& text);

}  // namespace quillmere::testing
