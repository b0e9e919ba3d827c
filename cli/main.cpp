// The quillmere command: host-side tools over the library.

#include "command.hpp"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <vector>

namespace quillmere::cli {
namespace {

std::vector<CommandFactory>& factories() {
    static std::vector<CommandFactory> list;
    return list;
}

int exit_status = 0;

}  // namespace

CommandRegistration::CommandRegistration(CommandFactory factory) { factories().push_back(factory); }

void set_exit_status(int status) { exit_status = status; }

std::string one_line(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

int print_failure(const char* prefix, const std::exception& failure, int status) {
    std::fprintf(stderr, "quillmere: %s%s\n", prefix, one_line(failure.what()).c_str());
    return status;
}

}  // namespace quillmere::cli

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    CLI::App app{"quillmere: turn Instagram webhook deliveries into platform records"};
    app.require_subcommand(1);
    for (auto factory : quillmere::cli::factories()) factory(app);
    CLI11_PARSE(app, argc, argv);
    return quillmere::cli::exit_status;
}
