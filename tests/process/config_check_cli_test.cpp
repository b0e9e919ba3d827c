// `quillmere config check` through the built command: the bundled example, errors that
// name the key with exit status 2, secrets never printed.

#include "run_command.hpp"
#include "support/process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using quillmere::testing::Command;
using quillmere::testing::CommandResult;
using quillmere::testing::run_command;
using quillmere::testing::split_lines;
using quillmere::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

const fs::path kExample = fs::path(QUILLMERE_SOURCE_DIR) / "examples" / "quillmere.toml";

CommandResult check(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {}) {
    Command c;
    c.argv = {QUILLMERE_CLI, "config", "check"};
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    c.env = std::move(env);
    return run_command(c);
}

void write_file(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

TEST(ConfigCheckCli, BundledExampleIsValidAndShownRedacted) {
    CommandResult r = check({"--config", kExample.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.out, HasSubstr("[graph_api]\n"));
    EXPECT_THAT(r.out, HasSubstr("access_token = \"<redacted: literal>\"\n"));
    EXPECT_THAT(r.out, HasSubstr("file = \"" + (kExample.parent_path() / "brands.json").string() + "\"\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("demo-access-token")));
    EXPECT_THAT(r.out, Not(HasSubstr("demo-dm-access-token")));
}

// Every key the configuration knows appears in the example, under its own section,
// written out or commented out, so that the example documents all of them.
TEST(ConfigCheckCli, BundledExampleNamesEveryKey) {
    const std::map<std::string, std::vector<std::string>> keys = {
        {"settings", {"file", "channel_group_id"}},
        {"graph_api",
         {"base_url", "version", "access_token", "dm_access_token", "max_in_flight", "token_member", "usage_threshold",
          "extra_ca_file"}},
        {"redis", {"url"}},
        {"clickhouse", {"url", "user", "password"}},
        {"storage", {"bucket", "access_key", "secret_key", "region", "endpoint", "environment"}},
        {"output", {"jsonl", "clickhouse"}},
        {"log", {"level", "json"}},
        {"webhook",
         {"listen", "path", "app_secret", "verify_token", "tls_certificate", "tls_key", "max_body",
          "redelivery_window_hours", "read_timeout_ms", "write_timeout_ms", "idle_timeout_ms", "max_connections",
          "shutdown_deadline_ms"}},
        {"queue", {"engine", "path", "url", "stream", "group", "max_deliveries", "claim_idle_ms"}},
    };
    std::ifstream f(kExample);
    std::stringstream text;
    text << f.rdbuf();
    std::map<std::string, std::set<std::string>> found;
    const std::regex section(R"(^#? ?\[([a-z_]+)\]\s*$)"), key(R"(^#? ?([a-z_]+) = .*)");
    std::string current;
    for (const std::string& line : split_lines(text.str())) {
        std::smatch m;
        if (std::regex_match(line, m, section)) {
            current = m[1];
        } else if (std::regex_match(line, m, key) && !current.empty()) {
            found[current].insert(m[1]);
        }
    }
    for (const auto& [s, names] : keys) {
        for (const auto& k : names) EXPECT_TRUE(found[s].count(k)) << s << "." << k << " is not in the example";
    }
    // And the command accepts every one of them: the example with all its comments
    // removed from the key lines is valid too.
    TempDir dir;
    std::string uncommented;
    for (const std::string& line : split_lines(text.str())) {
        std::smatch m;
        std::string l = line;
        if (std::regex_match(l, m, section) || std::regex_match(l, m, key)) {
            if (l.rfind("# ", 0) == 0) l = l.substr(2);
            // Keep the value, drop a trailing comment.
            auto hash = l.find("   #");
            if (hash != std::string::npos) l = l.substr(0, hash);
        } else {
            continue;
        }
        uncommented += l + "\n";
    }
    // The files it names exist here; engine "sqlite" keeps queue.url unused but checked.
    write_file(dir.path() / "brands.json", "[]");
    for (const char* name : {"private-ca.pem", "cert.pem", "key.pem"}) write_file(dir.path() / name, "x");
    uncommented = std::regex_replace(uncommented, std::regex("/etc/ssl/|/etc/quillmere/"), dir.path().string() + "/");
    write_file(dir.path() / "all.toml", uncommented);
    CommandResult r =
        check({"--config", (dir.path() / "all.toml").string()}, {{"QUILLMERE_CLICKHOUSE_PASSWORD", "Zq7-ch"},
                                                                 {"QUILLMERE_S3_ACCESS_KEY", "Zq7-ak"},
                                                                 {"QUILLMERE_S3_SECRET_KEY", "Zq7-sk"},
                                                                 {"QUILLMERE_APP_SECRET", "Zq7-app"},
                                                                 {"QUILLMERE_VERIFY_TOKEN", "Zq7-verify"}});
    EXPECT_EQ(r.status, 0) << r.err << "\n" << uncommented;
    EXPECT_THAT(r.out, Not(HasSubstr("Zq7"))) << r.out;
    for (const char* shown : {"password = \"<redacted: env QUILLMERE_CLICKHOUSE_PASSWORD>\"",
                              "secret_key = \"<redacted: env QUILLMERE_S3_SECRET_KEY>\"",
                              "app_secret = \"<redacted: env QUILLMERE_APP_SECRET>\""}) {
        EXPECT_THAT(r.out, HasSubstr(shown));
    }
}

TEST(ConfigCheckCli, ErrorsExitTwoWithOneLineNamingTheKey) {
    TempDir dir;
    struct Case {
        std::string toml, message;
    };
    const std::vector<Case> cases = {
        {"[graph_api]\naccess_token = \"t\"\nmax_in_flight = 0\n", "graph_api.max_in_flight: must be at least 1"},
        {"[queue]\nengine = \"kafka\"\n", "queue.engine: must be \"sqlite\" or \"redis\", not \"kafka\""},
        {"[webhook]\nlisten = \"127.0.0.1\"\n", "webhook.listen: must be host:port"},
        {"[graph_api]\naccess_token = {env = \"QUILLMERE_TEST_UNSET\"}\n",
         "graph_api.access_token: environment variable QUILLMERE_TEST_UNSET is not set"},
        {"[nonsense]\n", "nonsense: unknown section"},
        {"[graph_api\n", "not valid TOML"},
    };
    for (const Case& c : cases) {
        write_file(dir.path() / "q.toml", c.toml);
        CommandResult r = check({"--config", (dir.path() / "q.toml").string()});
        EXPECT_EQ(r.status, 2) << c.toml;
        EXPECT_EQ(r.out, "") << c.toml;
        auto lines = split_lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_THAT(lines[0], HasSubstr("quillmere: configuration error: "));
        EXPECT_THAT(lines[0], HasSubstr(c.message));
    }
    CommandResult missing = check({"--config", (dir.path() / "absent.toml").string()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_THAT(missing.err, HasSubstr("cannot read " + (dir.path() / "absent.toml").string()));
}

TEST(ConfigCheckCli, SecretsFromTheEnvironmentAndFilesAreNeverPrinted) {
    TempDir dir;
    write_file(dir.path() / "dm_token", "Zq7-from-file\n");
    write_file(dir.path() / "q.toml",
               "[graph_api]\naccess_token = {env = \"QUILLMERE_TEST_TOKEN\"}\ndm_access_token = {file = \"dm_token\"}\n"
               "[redis]\nurl = {env = \"QUILLMERE_TEST_REDIS\"}\n");
    CommandResult r = check(
        {"--config", (dir.path() / "q.toml").string()},
        {{"QUILLMERE_TEST_TOKEN", "Zq7-from-env"}, {"QUILLMERE_TEST_REDIS", "redis://:Zq7-redis@127.0.0.1:6379/0"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("access_token = \"<redacted: env QUILLMERE_TEST_TOKEN>\""));
    EXPECT_THAT(r.out, HasSubstr("dm_access_token = \"<redacted: file dm_token>\""));
    EXPECT_THAT(r.out, HasSubstr("url = \"redis://:<redacted>@127.0.0.1:6379/0\""));
    EXPECT_THAT(r.out + r.err, Not(HasSubstr("Zq7")));
}

TEST(ConfigCheckCli, WithoutAFileTheDefaultsAreShown) {
    CommandResult r = check({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("# [graph_api] not configured"));
    EXPECT_THAT(r.out, HasSubstr("[queue]\nengine = \"sqlite\"\n"));
}

}  // namespace
