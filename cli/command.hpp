#pragma once
// Subcommands of the quillmere command register themselves here: each command's source
// file holds one static CommandRegistration.

#include <CLI/CLI.hpp>

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

}  // namespace quillmere::cli
