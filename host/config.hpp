#pragma once
// The host's configuration: one TOML file, read by the host alone (the modules take
// everything as arguments). Every section is optional: what is not configured is not used.
//
//   auto config = quillmere::host::load_config("quillmere.toml");   // throws ConfigError
//   std::cout << quillmere::host::redacted_text(config);             // secrets never shown
//
// Secrets (app secret, verify token, access tokens, S3 keys, database passwords) may be
// written as a literal string, as {env = "NAME"} or as {file = "PATH"}; the resolved value
// lives in Secret::value and is never logged or printed.

#include <boost/json/value.hpp>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace quillmere::host {

// A configuration that cannot be used; the message names the key ("graph_api.max_in_flight: ...").
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Secret {
    std::string value;   // the resolved secret
    std::string source;  // "literal", "env NAME" or "file PATH": what redacted_text shows
    bool empty() const noexcept { return value.empty(); }
};

struct SettingsConfig {
    std::filesystem::path file;  // JSON array of brand settings; empty: no settings
    // The Instagram channel group id given to extracting_common_details, when the settings
    // do not carry one.
    boost::json::value channel_group_id;
};

struct GraphApiConfig {
    bool configured = false;
    std::string base_url = "https://graph.facebook.com";
    std::string version = "v21.0";
    Secret access_token;     // parent posts
    Secret dm_access_token;  // owners
    std::size_t max_in_flight = 64;
    std::string token_member;       // brand-settings member holding a per-account token; empty: none
    double usage_threshold = 80.0;  // percent of any usage figure above which requests slow down
    // While a figure is above usage_threshold, at most one request starts per this interval.
    std::chrono::milliseconds usage_interval{1000};
    std::string extra_ca_file;
};

struct RedisConfig {
    bool configured = false;
    std::string url;  // redis://[:password@]host:port[/db]
};

struct ClickHouseConfig {
    bool configured = false;
    std::string url = "http://127.0.0.1:8123/";
    std::string user;
    Secret password;
};

struct StorageConfig {
    bool configured = false;
    std::string bucket;
    Secret access_key;
    Secret secret_key;
    std::string region = "ap-south-1";
    std::string endpoint;            // empty: Amazon S3
    boost::json::value environment;  // the environment object Brastow receives
};

struct OutputConfig {
    std::filesystem::path jsonl;  // empty: standard output
    bool clickhouse = false;      // also store the records in ClickHouse
};

struct LogConfig {
    std::string level = "info";
    bool json = false;
};

struct WebhookConfig {
    std::string listen = "127.0.0.1:8080";
    std::string path = "/webhook";
    Secret app_secret;
    Secret verify_token;
    std::filesystem::path tls_certificate;  // both set: TLS; else plain TCP
    std::filesystem::path tls_key;
    std::size_t max_body = 2 * 1024 * 1024;
    std::chrono::hours redelivery_window{48};
    std::chrono::milliseconds read_timeout{10000};
    std::chrono::milliseconds write_timeout{10000};
    std::chrono::milliseconds idle_timeout{60000};
    std::size_t max_connections = 1024;
    std::chrono::milliseconds shutdown_deadline{20000};
};

struct QueueConfig {
    std::string engine = "sqlite";                      // "sqlite" or "redis"
    std::filesystem::path path = "quillmere-queue.db";  // the SQLite file
    std::string url;                                    // Redis, for engine "redis"
    std::string stream = "quillmere:intake";
    std::string group = "quillmere";
    std::size_t max_deliveries = 5;                // attempts before the dead-letter queue
    std::chrono::milliseconds claim_idle{300000};  // longer than the longest processing time
};

struct Config {
    std::filesystem::path path;  // the file read; empty for defaults
    SettingsConfig settings;
    GraphApiConfig graph_api;
    RedisConfig redis;
    ClickHouseConfig clickhouse;
    StorageConfig storage;
    OutputConfig output;
    LogConfig log;
    WebhookConfig webhook;
    QueueConfig queue;
};

// Reads and checks a configuration file. Unknown sections and keys are errors that name them.
Config load_config(const std::filesystem::path& file);
// The same from TOML text (tests); `origin` names it in messages.
Config parse_config(std::string_view toml_text, const std::filesystem::path& origin = {});
// The effective configuration as TOML, every secret shown as its source only.
std::string redacted_text(const Config& config);

}  // namespace quillmere::host
