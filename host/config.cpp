// Reading and checking the host's TOML configuration, and showing it with secrets redacted.
//
// Every section is read by one function below, key by key, through a SectionReader that
// remembers which keys it was asked for: whatever is left in the table afterwards is an
// unknown key. Relative paths are taken relative to the directory of the file.

#include "host/config.hpp"

#include "quillmere/adapters/redis_connection.hpp"

#include <boost/json/serialize.hpp>
#include <boost/url/parse.hpp>

#include <toml++/toml.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace quillmere::host {
namespace {

namespace fs = std::filesystem;

// A secret kept in a file is a short text; anything larger is a mistake (a wrong path).
constexpr std::size_t kMaxSecretFileBytes = 64 * 1024;

const char* type_name(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a number";
        case toml::node_type::boolean:
            return "a boolean";
        case toml::node_type::date:
            return "a date";
        case toml::node_type::time:
            return "a time";
        case toml::node_type::date_time:
            return "a date-time";
        default:
            return "nothing";
    }
}

// Where the configuration comes from, for the location at the end of a message.
struct Origin {
    std::string name;  // the file as given, or empty
    fs::path base;     // directory against which relative paths are resolved

    std::string where(const toml::node* node) const {
        std::string text;
        if (node && node->source().begin.line > 0) {
            text = "line " + std::to_string(node->source().begin.line);
        }
        if (!name.empty()) text = text.empty() ? name : name + " " + text;
        return text.empty() ? std::string() : " (" + text + ")";
    }
};

// The quoted TOML basic string of a text (also used for the redacted output).
std::string toml_string(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    static constexpr char hex[] = "0123456789ABCDEF";
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

class SectionReader {
public:
    SectionReader(const toml::table& table, std::string section, const Origin& origin)
        : table_(table), section_(std::move(section)), origin_(origin) {}

    std::string key_name(std::string_view key) const { return section_ + "." + std::string(key); }

    [[noreturn]] void fail(std::string_view key, const std::string& what, const toml::node* node) const {
        throw ConfigError(key_name(key) + ": " + what + origin_.where(node ? node : &table_));
    }

    const toml::node* get(std::string_view key) {
        asked_.emplace(key);
        return table_.get(key);
    }

    std::optional<std::string> string(std::string_view key) {
        const toml::node* node = get(key);
        if (!node) return std::nullopt;
        if (!node->is_string()) fail(key, std::string("must be a string, not ") + type_name(*node), node);
        return node->as_string()->get();
    }

    std::optional<std::string> nonempty_string(std::string_view key) {
        auto value = string(key);
        if (value && value->empty()) fail(key, "must not be empty", get(key));
        return value;
    }

    std::optional<std::int64_t> integer(std::string_view key, std::int64_t min,
                                        std::int64_t max = std::numeric_limits<std::int64_t>::max()) {
        const toml::node* node = get(key);
        if (!node) return std::nullopt;
        if (!node->is_integer()) fail(key, std::string("must be an integer, not ") + type_name(*node), node);
        std::int64_t v = node->as_integer()->get();
        if (v < min) fail(key, "must be at least " + std::to_string(min), node);
        if (v > max) fail(key, "must be at most " + std::to_string(max), node);
        return v;
    }

    std::optional<double> number(std::string_view key) {
        const toml::node* node = get(key);
        if (!node) return std::nullopt;
        if (node->is_integer()) return static_cast<double>(node->as_integer()->get());
        if (!node->is_floating_point()) fail(key, std::string("must be a number, not ") + type_name(*node), node);
        return node->as_floating_point()->get();
    }

    std::optional<bool> boolean(std::string_view key) {
        const toml::node* node = get(key);
        if (!node) return std::nullopt;
        if (!node->is_boolean()) fail(key, std::string("must be true or false, not ") + type_name(*node), node);
        return node->as_boolean()->get();
    }

    // A path, relative ones taken from the configuration file's directory.
    std::optional<fs::path> path(std::string_view key) {
        auto text = nonempty_string(key);
        if (!text) return std::nullopt;
        return resolve(*text);
    }

    // A path to a file that must be readable now (settings, certificates).
    std::optional<fs::path> input_file(std::string_view key) {
        auto p = path(key);
        if (!p) return std::nullopt;
        std::error_code ec;
        if (fs::is_directory(*p, ec)) fail(key, "cannot read " + p->string() + ": it is a directory", get(key));
        std::ifstream f(*p, std::ios::binary);
        if (!f) fail(key, "cannot read " + p->string() + ": " + std::strerror(errno), get(key));
        return p;
    }

    // A secret: a literal string, {env = "NAME"} or {file = "PATH"}. An empty literal is no
    // secret; a variable that is not set, empty or an unreadable file is an error.
    Secret secret(std::string_view key) {
        const toml::node* node = get(key);
        Secret s;
        if (!node) return s;
        if (node->is_string()) {
            s.value = node->as_string()->get();
            if (!s.value.empty()) s.source = "literal";
            return s;
        }
        if (!node->is_table()) {
            fail(key, std::string("must be a string, {env = \"NAME\"} or {file = \"PATH\"}, not ") + type_name(*node),
                 node);
        }
        const toml::table& t = *node->as_table();
        if (t.size() != 1 || !(t.contains("env") || t.contains("file"))) {
            fail(key, "must be a string, {env = \"NAME\"} or {file = \"PATH\"}", node);
        }
        const toml::node* inner = t.contains("env") ? t.get("env") : t.get("file");
        const bool env = t.contains("env");
        if (!inner->is_string() || inner->as_string()->get().empty()) {
            fail(key, std::string(env ? "env" : "file") + " must be a non-empty string", inner);
        }
        const std::string& name = inner->as_string()->get();
        if (env) {
            const char* value = std::getenv(name.c_str());
            if (!value) fail(key, "environment variable " + name + " is not set", inner);
            s.value = value;
            if (s.value.empty()) fail(key, "environment variable " + name + " is empty", inner);
            s.source = "env " + name;
            return s;
        }
        const fs::path file = resolve(name);
        std::error_code ec;
        if (fs::is_directory(file, ec)) fail(key, "cannot read " + file.string() + ": it is a directory", inner);
        std::ifstream f(file, std::ios::binary);
        if (!f) fail(key, "cannot read " + file.string() + ": " + std::strerror(errno), inner);
        std::string text(kMaxSecretFileBytes + 1, '\0');
        f.read(text.data(), static_cast<std::streamsize>(text.size()));
        if (f.bad()) fail(key, "cannot read " + file.string(), inner);
        text.resize(static_cast<std::size_t>(f.gcount()));
        if (text.size() > kMaxSecretFileBytes) fail(key, file.string() + " is larger than 64 KiB", inner);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.empty()) fail(key, file.string() + " is empty", inner);
        s.value = std::move(text);
        s.source = "file " + name;
        return s;
    }

    // A URL that may carry a password: given like a secret, kept as its text.
    std::optional<std::string> url(std::string_view key) {
        if (!table_.contains(key)) {
            asked_.emplace(key);
            return std::nullopt;
        }
        Secret s = secret(key);
        if (s.empty()) fail(key, "must not be empty", get(key));
        return std::move(s.value);
    }

    // An http:// or https:// address (never echoed: it may hold a password).
    std::optional<std::string> http_url(std::string_view key) {
        auto text = url(key);
        if (!text) return text;
        auto parsed = boost::urls::parse_uri(*text);
        if (!parsed || (parsed->scheme() != "http" && parsed->scheme() != "https") || parsed->host().empty()) {
            fail(key, "must be an http:// or https:// address with a host", get(key));
        }
        return text;
    }

    // A Redis address, checked by the Redis client's own parser.
    std::optional<std::string> redis_url(std::string_view key) {
        auto text = url(key);
        if (!text) return text;
        try {
            (void)adapters::RedisOptions::from_url(*text);
        } catch (const std::invalid_argument& e) {
            fail(key, e.what(), get(key));
        }
        return text;
    }

    std::chrono::milliseconds milliseconds(std::string_view key, std::chrono::milliseconds fallback) {
        auto v = integer(key, 1);
        return v ? std::chrono::milliseconds(*v) : fallback;
    }

    // Every key of the table that no reader asked for is an error.
    void finish() const {
        for (auto&& [key, node] : table_) {
            if (!asked_.count(std::string(key.str()))) fail(key.str(), "unknown key", &node);
        }
    }

private:
    fs::path resolve(const std::string& text) const {
        fs::path p(text);
        if (p.is_relative() && !origin_.base.empty()) p = origin_.base / p;
        return p.lexically_normal();
    }

    const toml::table& table_;
    std::string section_;
    const Origin& origin_;
    std::set<std::string, std::less<>> asked_;
};

void read_settings(SectionReader& r, SettingsConfig& c) {
    if (auto file = r.input_file("file")) c.file = *file;
    if (const toml::node* node = r.get("channel_group_id")) {
        if (node->is_integer()) {
            c.channel_group_id = node->as_integer()->get();
        } else if (node->is_string() && !node->as_string()->get().empty()) {
            c.channel_group_id = node->as_string()->get();
        } else {
            r.fail("channel_group_id", std::string("must be an integer or a non-empty string, not ") + type_name(*node),
                   node);
        }
    }
}

void read_graph_api(SectionReader& r, GraphApiConfig& c) {
    c.configured = true;
    if (auto v = r.http_url("base_url")) {
        // The client appends "/<version>/<id>": a trailing slash would double it.
        while (v->size() > 1 && v->back() == '/') v->pop_back();
        c.base_url = *v;
    }
    if (auto v = r.nonempty_string("version")) {
        for (unsigned char ch : *v) {
            if (ch == '/' || ch == '?' || ch == '#' || std::isspace(ch) || ch < 0x20) {
                r.fail("version", "must be a version such as \"v21.0\", without /, ?, # or blanks", r.get("version"));
            }
        }
        c.version = *v;
    }
    c.access_token = r.secret("access_token");
    c.dm_access_token = r.secret("dm_access_token");
    if (auto v = r.integer("max_in_flight", 1, 100000)) c.max_in_flight = static_cast<std::size_t>(*v);
    if (auto v = r.nonempty_string("token_member")) c.token_member = *v;
    if (auto v = r.number("usage_threshold")) {
        if (!(*v > 0 && *v <= 100))
            r.fail("usage_threshold", "must be a percentage above 0 and at most 100", r.get("usage_threshold"));
        c.usage_threshold = *v;
    }
    if (auto v = r.integer("usage_interval_ms", 1, 3'600'000)) c.usage_interval = std::chrono::milliseconds(*v);
    if (auto v = r.input_file("extra_ca_file")) c.extra_ca_file = v->string();
    if (c.access_token.empty() && c.token_member.empty()) {
        r.fail("access_token", "missing: the Graph API needs an access token (or a token_member)", nullptr);
    }
}

void read_redis(SectionReader& r, RedisConfig& c) {
    c.configured = true;
    auto url = r.redis_url("url");
    if (!url) r.fail("url", "missing (redis://[:password@]host[:port][/db])", nullptr);
    c.url = *url;
}

void read_clickhouse(SectionReader& r, ClickHouseConfig& c) {
    c.configured = true;
    if (auto v = r.http_url("url")) c.url = *v;
    if (auto v = r.string("user")) c.user = *v;
    c.password = r.secret("password");
}

void read_storage(SectionReader& r, StorageConfig& c) {
    c.configured = true;
    auto bucket = r.nonempty_string("bucket");
    if (!bucket) r.fail("bucket", "missing", nullptr);
    c.bucket = *bucket;
    c.access_key = r.secret("access_key");
    c.secret_key = r.secret("secret_key");
    if (auto v = r.nonempty_string("region")) c.region = *v;
    if (auto v = r.http_url("endpoint")) c.endpoint = *v;
    auto environment = r.nonempty_string("environment");
    if (!environment) r.fail("environment", "missing (the deployment environment, e.g. \"production\")", nullptr);
    c.environment = *environment;
    if (c.access_key.empty()) r.fail("access_key", "missing", nullptr);
    if (c.secret_key.empty()) r.fail("secret_key", "missing", nullptr);
}

void read_output(SectionReader& r, OutputConfig& c) {
    if (auto text = r.nonempty_string("jsonl")) {
        // "-" is standard output, as on the command line.
        if (*text != "-") c.jsonl = *r.path("jsonl");
    }
    if (auto v = r.boolean("clickhouse")) c.clickhouse = *v;
}

void read_log(SectionReader& r, LogConfig& c) {
    if (auto v = r.string("level")) {
        static constexpr std::array<std::string_view, 8> levels = {"trace",   "debug", "info",     "warn",
                                                                   "warning", "error", "critical", "off"};
        bool known = false;
        for (auto l : levels) known = known || *v == l;
        if (!known) {
            r.fail("level", "must be one of trace, debug, info, warn, error, critical, off, not " + toml_string(*v),
                   r.get("level"));
        }
        c.level = *v == "warning" ? "warn" : *v;
    }
    if (auto v = r.boolean("json")) c.json = *v;
}

// host:port with a numeric port; an IPv6 host in brackets ("[::1]:8080").
void check_listen(SectionReader& r, const std::string& listen) {
    const toml::node* node = r.get("listen");
    std::string_view host, port;
    if (!listen.empty() && listen.front() == '[') {
        auto close = listen.find(']');
        if (close == std::string::npos || close + 1 >= listen.size() || listen[close + 1] != ':') {
            r.fail("listen", "must be host:port, such as \"127.0.0.1:8080\" or \"[::1]:8080\"", node);
        }
        host = std::string_view(listen).substr(1, close - 1);
        port = std::string_view(listen).substr(close + 2);
    } else {
        auto colon = listen.rfind(':');
        if (colon == std::string::npos || listen.find(':') != colon) {
            r.fail("listen", "must be host:port, such as \"127.0.0.1:8080\" or \"[::1]:8080\"", node);
        }
        host = std::string_view(listen).substr(0, colon);
        port = std::string_view(listen).substr(colon + 1);
    }
    if (host.empty()) r.fail("listen", "names no host (write \"0.0.0.0:8080\" for every address)", node);
    if (port.empty() || port.size() > 5) r.fail("listen", "needs a port from 0 to 65535", node);
    unsigned value = 0;
    for (char ch : port) {
        if (ch < '0' || ch > '9') r.fail("listen", "needs a port from 0 to 65535", node);
        value = value * 10 + static_cast<unsigned>(ch - '0');
    }
    if (value > 65535) r.fail("listen", "needs a port from 0 to 65535", node);
}

void read_webhook(SectionReader& r, WebhookConfig& c) {
    if (auto v = r.nonempty_string("listen")) {
        check_listen(r, *v);
        c.listen = *v;
    }
    if (auto v = r.nonempty_string("path")) {
        if (v->front() != '/') r.fail("path", "must begin with /", r.get("path"));
        c.path = *v;
    }
    c.app_secret = r.secret("app_secret");
    c.verify_token = r.secret("verify_token");
    if (auto v = r.input_file("tls_certificate")) c.tls_certificate = *v;
    if (auto v = r.input_file("tls_key")) c.tls_key = *v;
    if (c.tls_certificate.empty() != c.tls_key.empty()) {
        const char* missing = c.tls_certificate.empty() ? "tls_certificate" : "tls_key";
        r.fail(missing, "missing: TLS needs both tls_certificate and tls_key", nullptr);
    }
    if (auto v = r.integer("max_body", 1)) c.max_body = static_cast<std::size_t>(*v);
    if (auto v = r.integer("redelivery_window_hours", 1)) c.redelivery_window = std::chrono::hours(*v);
    c.read_timeout = r.milliseconds("read_timeout_ms", c.read_timeout);
    c.write_timeout = r.milliseconds("write_timeout_ms", c.write_timeout);
    c.idle_timeout = r.milliseconds("idle_timeout_ms", c.idle_timeout);
    if (auto v = r.integer("max_connections", 1)) c.max_connections = static_cast<std::size_t>(*v);
    c.shutdown_deadline = r.milliseconds("shutdown_deadline_ms", c.shutdown_deadline);
}

void read_queue(SectionReader& r, QueueConfig& c) {
    if (auto v = r.string("engine")) {
        if (*v != "sqlite" && *v != "redis") {
            r.fail("engine", "must be \"sqlite\" or \"redis\", not " + toml_string(*v), r.get("engine"));
        }
        c.engine = *v;
    }
    if (auto v = r.path("path")) c.path = *v;
    if (auto v = r.redis_url("url")) c.url = *v;
    if (auto v = r.nonempty_string("stream")) c.stream = *v;
    if (auto v = r.nonempty_string("group")) c.group = *v;
    if (auto v = r.integer("max_deliveries", 1)) c.max_deliveries = static_cast<std::size_t>(*v);
    c.claim_idle = r.milliseconds("claim_idle_ms", c.claim_idle);
    if (c.engine == "redis" && c.url.empty()) {
        r.fail("url", "missing: engine \"redis\" needs the Redis address (redis://host:port)", nullptr);
    }
}

Config read(const toml::table& root, const Origin& origin) {
    Config config;
    using Reader = void (*)(SectionReader&, Config&);
    struct Section {
        std::string_view name;
        Reader read;
    };
    static constexpr Section sections[] = {
        {"settings", [](SectionReader& r, Config& c) { read_settings(r, c.settings); }},
        {"graph_api", [](SectionReader& r, Config& c) { read_graph_api(r, c.graph_api); }},
        {"redis", [](SectionReader& r, Config& c) { read_redis(r, c.redis); }},
        {"clickhouse", [](SectionReader& r, Config& c) { read_clickhouse(r, c.clickhouse); }},
        {"storage", [](SectionReader& r, Config& c) { read_storage(r, c.storage); }},
        {"output", [](SectionReader& r, Config& c) { read_output(r, c.output); }},
        {"log", [](SectionReader& r, Config& c) { read_log(r, c.log); }},
        {"webhook", [](SectionReader& r, Config& c) { read_webhook(r, c.webhook); }},
        {"queue", [](SectionReader& r, Config& c) { read_queue(r, c.queue); }},
    };
    for (auto&& [key, node] : root) {
        bool known = false;
        for (const Section& s : sections) known = known || s.name == key.str();
        if (!known) {
            throw ConfigError(std::string(key.str()) + ": " + (node.is_table() ? "unknown section" : "unknown key") +
                              origin.where(&node));
        }
    }
    for (const Section& s : sections) {
        const toml::node* node = root.get(s.name);
        if (!node) continue;
        if (!node->is_table()) {
            throw ConfigError(std::string(s.name) + ": must be a section ([" + std::string(s.name) + "]), not " +
                              type_name(*node) + origin.where(node));
        }
        SectionReader reader(*node->as_table(), std::string(s.name), origin);
        s.read(reader, config);
        reader.finish();
    }
    if (config.output.clickhouse && !config.clickhouse.configured) {
        throw ConfigError("output.clickhouse: needs a [clickhouse] section" +
                          origin.where(root.get("output")->as_table()->get("clickhouse")));
    }
    return config;
}

// ---- redacted text -------------------------------------------------------------------

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

// An address with the password of its user information and the values of query
// parameters that name a secret replaced by <redacted>.
std::string redact_url(std::string_view url) {
    std::string out(url);
    auto scheme_end = out.find("://");
    if (scheme_end != std::string::npos) {
        std::size_t start = scheme_end + 3;
        std::size_t end = out.find_first_of("/?#", start);
        if (end == std::string::npos) end = out.size();
        std::size_t at = out.rfind('@', end);
        if (at != std::string::npos && at >= start) {
            std::size_t colon = out.find(':', start);
            if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "<redacted>");
        }
    }
    auto query = out.find('?');
    if (query == std::string::npos) return out;
    std::size_t fragment = out.find('#', query);
    std::string tail = fragment == std::string::npos ? std::string() : out.substr(fragment);
    std::string params =
        out.substr(query + 1, fragment == std::string::npos ? std::string::npos : fragment - query - 1);
    std::string rebuilt;
    std::size_t pos = 0;
    while (pos <= params.size()) {
        std::size_t amp = params.find('&', pos);
        if (amp == std::string::npos) amp = params.size();
        std::string piece = params.substr(pos, amp - pos);
        auto eq = piece.find('=');
        if (eq != std::string::npos) {
            std::string name = lower(piece.substr(0, eq));
            for (std::string_view word : {"password", "token", "secret", "key", "auth"}) {
                if (name.find(word) != std::string::npos) {
                    piece = piece.substr(0, eq + 1) + "<redacted>";
                    break;
                }
            }
        }
        if (!rebuilt.empty() || pos > 0) rebuilt += '&';
        rebuilt += piece;
        pos = amp + 1;
    }
    return out.substr(0, query + 1) + rebuilt + tail;
}

class TomlWriter {
public:
    void section(std::string_view name) {
        if (!out_.empty()) out_ += '\n';
        out_ += "[" + std::string(name) + "]\n";
    }
    void comment(std::string_view text) { out_ += "# " + std::string(text) + "\n"; }
    // A section that is not written, in its place.
    void absent_section(std::string_view text) {
        out_ += '\n';
        comment(text);
    }
    void text(std::string_view key, std::string_view value) { line(key, toml_string(value)); }
    void path(std::string_view key, const fs::path& value) {
        if (!value.empty()) text(key, value.string());
    }
    void url(std::string_view key, std::string_view value) {
        if (!value.empty()) text(key, redact_url(value));
    }
    void integer(std::string_view key, long long value) { line(key, std::to_string(value)); }
    void number(std::string_view key, double value) {
        std::ostringstream s;
        s.precision(17);
        s << value;
        std::string t = s.str();
        if (t.find_first_of(".eE") == std::string::npos) t += ".0";
        line(key, t);
    }
    void boolean(std::string_view key, bool value) { line(key, value ? "true" : "false"); }
    void secret(std::string_view key, const Secret& s) {
        if (s.empty()) {
            comment(std::string(key) + " not set");
            return;
        }
        text(key, "<redacted: " + (s.source.empty() ? std::string("literal") : s.source) + ">");
    }
    void json(std::string_view key, const boost::json::value& v) {
        if (v.is_string()) {
            text(key, v.as_string());
        } else if (v.is_int64() || v.is_uint64()) {
            line(key, boost::json::serialize(v));
        } else if (!v.is_null()) {
            text(key, boost::json::serialize(v));
        }
    }
    std::string str() && { return std::move(out_); }

private:
    void line(std::string_view key, std::string_view value) {
        out_ += key;
        out_ += " = ";
        out_ += value;
        out_ += '\n';
    }
    std::string out_;
};

}  // namespace

Config parse_config(std::string_view toml_text, const std::filesystem::path& origin) {
    Origin o;
    o.name = origin.string();
    if (!origin.empty()) o.base = fs::absolute(origin).parent_path();
    toml::table root;
    try {
        root = toml::parse(toml_text, o.name);
    } catch (const toml::parse_error& e) {
        std::string where;
        if (e.source().begin.line > 0) {
            where =
                "line " + std::to_string(e.source().begin.line) + ", column " + std::to_string(e.source().begin.column);
        }
        std::string prefix = o.name.empty() ? where : (where.empty() ? o.name : o.name + " " + where);
        throw ConfigError((prefix.empty() ? std::string() : prefix + ": ") +
                          "not valid TOML: " + std::string(e.description()));
    }
    Config config = read(root, o);
    config.path = origin;
    return config;
}

Config load_config(const std::filesystem::path& file) {
    std::error_code ec;
    if (fs::is_directory(file, ec)) throw ConfigError("cannot read " + file.string() + ": it is a directory");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ConfigError("cannot read " + file.string() + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ConfigError("cannot read " + file.string());
    return parse_config(text.str(), file);
}

std::string redacted_text(const Config& c) {
    TomlWriter w;
    w.comment(c.path.empty() ? "effective configuration: defaults (no file); secrets redacted"
                             : "effective configuration of " + c.path.string() + "; secrets redacted");

    w.section("settings");
    if (c.settings.file.empty()) w.comment("file not set: no brand settings");
    w.path("file", c.settings.file);
    w.json("channel_group_id", c.settings.channel_group_id);

    if (c.graph_api.configured) {
        w.section("graph_api");
        w.url("base_url", c.graph_api.base_url);
        w.text("version", c.graph_api.version);
        w.secret("access_token", c.graph_api.access_token);
        w.secret("dm_access_token", c.graph_api.dm_access_token);
        w.integer("max_in_flight", static_cast<long long>(c.graph_api.max_in_flight));
        if (!c.graph_api.token_member.empty()) w.text("token_member", c.graph_api.token_member);
        w.number("usage_threshold", c.graph_api.usage_threshold);
        w.integer("usage_interval_ms", static_cast<long long>(c.graph_api.usage_interval.count()));
        if (!c.graph_api.extra_ca_file.empty()) w.text("extra_ca_file", c.graph_api.extra_ca_file);
    } else {
        w.absent_section("[graph_api] not configured: the Graph API is not used");
    }

    if (c.redis.configured) {
        w.section("redis");
        w.url("url", c.redis.url);
    } else {
        w.absent_section("[redis] not configured: no cache");
    }

    if (c.clickhouse.configured) {
        w.section("clickhouse");
        w.url("url", c.clickhouse.url);
        w.text("user", c.clickhouse.user);
        w.secret("password", c.clickhouse.password);
    } else {
        w.absent_section("[clickhouse] not configured: no analytics database");
    }

    if (c.storage.configured) {
        w.section("storage");
        w.text("bucket", c.storage.bucket);
        w.secret("access_key", c.storage.access_key);
        w.secret("secret_key", c.storage.secret_key);
        w.text("region", c.storage.region);
        w.url("endpoint", c.storage.endpoint);
        w.json("environment", c.storage.environment);
    } else {
        w.absent_section("[storage] not configured: media are not kept");
    }

    w.section("output");
    if (c.output.jsonl.empty()) {
        w.text("jsonl", "-");
    } else {
        w.path("jsonl", c.output.jsonl);
    }
    w.boolean("clickhouse", c.output.clickhouse);

    w.section("log");
    w.text("level", c.log.level);
    w.boolean("json", c.log.json);

    w.section("webhook");
    w.text("listen", c.webhook.listen);
    w.text("path", c.webhook.path);
    w.secret("app_secret", c.webhook.app_secret);
    w.secret("verify_token", c.webhook.verify_token);
    w.path("tls_certificate", c.webhook.tls_certificate);
    w.path("tls_key", c.webhook.tls_key);
    w.integer("max_body", static_cast<long long>(c.webhook.max_body));
    w.integer("redelivery_window_hours", c.webhook.redelivery_window.count());
    w.integer("read_timeout_ms", c.webhook.read_timeout.count());
    w.integer("write_timeout_ms", c.webhook.write_timeout.count());
    w.integer("idle_timeout_ms", c.webhook.idle_timeout.count());
    w.integer("max_connections", static_cast<long long>(c.webhook.max_connections));
    w.integer("shutdown_deadline_ms", c.webhook.shutdown_deadline.count());

    w.section("queue");
    w.text("engine", c.queue.engine);
    w.path("path", c.queue.path);
    w.url("url", c.queue.url);
    w.text("stream", c.queue.stream);
    w.text("group", c.queue.group);
    w.integer("max_deliveries", static_cast<long long>(c.queue.max_deliveries));
    w.integer("claim_idle_ms", c.queue.claim_idle.count());
    return std::move(w).str();
}

}  // namespace quillmere::host
