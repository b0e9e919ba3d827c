#pragma once
// Subcommands of the quillmere command register themselves here: each command's source
// file holds one static CommandRegistration.

#include <CLI/CLI.hpp>

#include <exception>
#include <functional>
#include <string>

namespace quillmere::cli {

// Adds a subcommand to the application. The callback it installs must store the exit
// status with set_exit_status.
using CommandFactory = void (*)(CLI::App& app);

struct CommandRegistration {
    explicit CommandRegistration(CommandFactory factory);
};

void set_exit_status(int status);

// A message fit for one line of standard error: line breaks become spaces.
std::string one_line(std::string text);

// Prints "quillmere: <prefix><message>" on standard error, on one line; returns `status`.
int print_failure(const char* prefix, const std::exception& failure, int status);
// A configuration that cannot be used: "quillmere: configuration error: <message naming
// the key>"; returns 2, the exit status for it.
inline int configuration_error(const std::exception& failure) {
    return print_failure("configuration error: ", failure, 2);
}

}  // namespace quillmere::cli
