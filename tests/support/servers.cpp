#include "support/servers.hpp"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillmere::testing {
namespace {

constexpr std::chrono::seconds kStartTimeout{30};

std::string tail_of(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

void write_file(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

ClickHouseServer::ClickHouseServer() : http_port_(free_loopback_port()) {
    const auto& d = dir_.path();
    std::filesystem::create_directories(d / "data" / "tmp");
    std::filesystem::create_directories(d / "data" / "user_files");
    const int tcp_port = free_loopback_port();
    write_file(d / "config.xml", R"(<?xml version="1.0"?>
<yandex>
  <logger>
    <level>warning</level>
    <log>)" + (d / "server.log").string() +
                                     R"(</log>
    <errorlog>)" + (d / "server.err.log").string() +
                                     R"(</errorlog>
    <console>0</console>
  </logger>
  <listen_host>127.0.0.1</listen_host>
  <http_port>)" + std::to_string(http_port_) +
                                     R"(</http_port>
  <tcp_port>)" + std::to_string(tcp_port) +
                                     R"(</tcp_port>
  <path>)" + (d / "data").string() + R"(/</path>
  <tmp_path>)" + (d / "data" / "tmp").string() +
                                     R"(/</tmp_path>
  <user_files_path>)" + (d / "data" / "user_files").string() +
                                     R"(/</user_files_path>
  <users_config>)" + (d / "users.xml").string() +
                                     R"(</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <mark_cache_size>16777216</mark_cache_size>
  <uncompressed_cache_size>16777216</uncompressed_cache_size>
  <max_concurrent_queries>20</max_concurrent_queries>
  <query_log>
    <database>system</database>
    <table>query_log</table>
    <flush_interval_milliseconds>60000</flush_interval_milliseconds>
  </query_log>
</yandex>
)");
    write_file(d / "users.xml", std::string(R"(<?xml version="1.0"?>
<yandex>
  <profiles><default><log_queries>1</log_queries></default></profiles>
  <users>
    <default>
      <password></password>
      <networks><ip>127.0.0.1</ip></networks>
      <profile>default</profile>
      <quota>default</quota>
    </default>
    <reader>
      <password>)") + kClickHouseReaderPassword +
                                    R"(</password>
      <networks><ip>127.0.0.1</ip></networks>
      <profile>default</profile>
      <quota>default</quota>
    </reader>
  </users>
  <quotas><default></default></quotas>
</yandex>
)");
    const auto console = d / "console.log";
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"clickhouse-server", "--config-file=" + (d / "config.xml").string()}, console);
    if (!wait_for_port(http_port_, kStartTimeout))
        throw std::runtime_error("clickhouse-server did not start on port " + std::to_string(http_port_) + ":\n" +
                                 tail_of(console) + tail_of(d / "server.err.log"));
}

void Servers::SetUp() {
    instance_ = this;
    try {
        redis_ = std::make_unique<RedisServer>();
        clickhouse_ = std::make_unique<ClickHouseServer>();
    } catch (const std::exception& e) {
        FAIL() << e.what();  // a fatal failure here skips the tests; TearDown still stops what started
    }
}

// Registered before main runs: the servers start once for the whole program.
static ::testing::Environment* const servers_environment = ::testing::AddGlobalTestEnvironment(new Servers);

void Servers::TearDown() {
    clickhouse_.reset();
    redis_.reset();
}

}  // namespace quillmere::testing
