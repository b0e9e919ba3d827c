// quillmere config check [--config FILE]: reads the host's configuration, checks every key
// and prints the effective configuration with every secret shown as its source only.

#include "command.hpp"

#include "host/config.hpp"

#include <iostream>
#include <memory>
#include <string>

namespace quillmere::cli {
namespace {

constexpr const char* kFooter = R"(
Prints the effective configuration as TOML: defaults filled in, relative paths resolved
against the file's directory, and each secret (access tokens, passwords, keys) replaced by
where it comes from, such as "<redacted: env QUILLMERE_TOKEN>". Without --config, the
defaults are shown.

Exit status: 0 when the configuration can be used, 2 with a one-line message naming the
key when it cannot.
)";

int check(const std::string& file) {
    try {
        host::Config config = file.empty() ? host::parse_config("") : host::load_config(file);
        std::cout << host::redacted_text(config) << std::flush;
        return 0;
    } catch (const host::ConfigError& e) {
        return configuration_error(e);
    }
}

void add_config(CLI::App& app) {
    auto* config = app.add_subcommand("config", "Work with the host's configuration file");
    config->require_subcommand(1);
    auto* cmd = config->add_subcommand("check", "Check a configuration and print it with secrets redacted");
    auto file = std::make_shared<std::string>();
    cmd->add_option("--config", *file, "The TOML configuration file (default: none, the defaults)");
    cmd->footer(kFooter);
    cmd->callback([file] { set_exit_status(check(*file)); });
}

const CommandRegistration registration(add_config);

}  // namespace
}  // namespace quillmere::cli
