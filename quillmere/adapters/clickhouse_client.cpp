#include "quillmere/adapters/clickhouse_client.hpp"

#include "quillmere/common/value.hpp"

#include <boost/json/parser.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <curl/curl.h>

#include <charconv>

namespace quillmere::adapters {
namespace {

constexpr std::size_t kMaxIdleConnections = 4;

void global_init() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) throw ClickHouseError(std::string("cannot initialise libcurl: ") + curl_easy_strerror(rc), 0);
}

std::size_t append_body(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.remove_suffix(1);
    while (!s.empty() && (s.front() == '\n' || s.front() == '\r' || s.front() == ' ')) s.remove_prefix(1);
    return s;
}

enum class ColumnKind { other, integer, floating };

// Kind of a ClickHouse column type, seen through Nullable(...) and LowCardinality(...).
ColumnKind kind_of(std::string_view type) {
    for (bool unwrapped = true; unwrapped;) {
        unwrapped = false;
        for (std::string_view wrapper : {"Nullable(", "LowCardinality("}) {
            if (type.starts_with(wrapper) && type.ends_with(")")) {
                type.remove_prefix(wrapper.size());
                type.remove_suffix(1);
                unwrapped = true;
            }
        }
    }
    if (type.starts_with("Int") || type.starts_with("UInt")) return ColumnKind::integer;
    if (type.starts_with("Float") || type.starts_with("Decimal")) return ColumnKind::floating;
    return ColumnKind::other;
}

// Brings a value to the kind its column reports: a float column's whole numbers are
// floats; an integer column's quoted numbers (a server quoting 64-bit integers) are
// integers. Integers wider than 64 bits stay text.
void convert(json::value& v, ColumnKind kind) {
    if (kind == ColumnKind::floating && (v.is_int64() || v.is_uint64())) {
        v = v.is_int64() ? static_cast<double>(v.get_int64()) : static_cast<double>(v.get_uint64());
    } else if (kind == ColumnKind::integer && v.is_string()) {
        std::string_view s = v.get_string();
        std::int64_t i = 0;
        if (auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), i);
            ec == std::errc() && end == s.data() + s.size()) {
            v = i;
            return;
        }
        std::uint64_t u = 0;
        if (auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), u);
            ec == std::errc() && end == s.data() + s.size())
            v = u;
    }
}

[[noreturn]] void unreadable(const std::string& why) {
    throw ClickHouseError("ClickHouse gave a result that cannot be read as JSONCompact: " + why, 200);
}

}  // namespace

struct ClickHouseClient::Connection {
    CURL* handle = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    ~Connection() {
        if (handle) curl_easy_cleanup(handle);
    }
};

ClickHouseClient::ClickHouseClient(ClickHouseOptions options) : options_(std::move(options)) {
    global_init();
    auto parsed = boost::urls::parse_uri(options_.url);
    if (!parsed) throw std::invalid_argument("not a ClickHouse HTTP address: " + std::string(parsed.error().message()));
    boost::urls::url u = *parsed;
    if (u.scheme() != "http" && u.scheme() != "https")
        throw std::invalid_argument("a ClickHouse HTTP address starts with http:// or https://");
    if (u.has_userinfo()) {
        if (options_.user.empty()) options_.user = u.user();
        if (options_.password.empty()) options_.password = u.password();
        u.remove_userinfo();
    }
    if (options_.user.empty() && !options_.password.empty()) options_.user = "default";
    origin_ = u.encoded_origin();
    if (u.encoded_path().empty()) u.set_encoded_path("/");
    auto params = u.params();
    params.append({"default_format", "JSONCompact"});
    params.append({"output_format_json_quote_64bit_integers", "0"});
    params.append({"output_format_json_quote_denormals", "0"});
    // The whole result is produced before the answer starts, so that a failure during
    // the query is an error status rather than a truncated body.
    params.append({"wait_end_of_query", "1"});
    if (!options_.database.empty()) params.append({"database", options_.database});
    bool execution_time_given = false;
    for (const auto& [name, value] : options_.settings) {
        params.append({name, value});
        execution_time_given = execution_time_given || name == "max_execution_time";
    }
    // The server stops a query when the client would stop waiting for it, so that an
    // abandoned query does not go on running there. The setting takes whole seconds:
    // rounded up, never 0 (which would mean no limit).
    if (!execution_time_given && options_.timeout.count() > 0) {
        const auto seconds = (options_.timeout.count() + 999) / 1000;
        params.append({"max_execution_time", std::to_string(seconds)});
    }
    request_url_ = u.buffer();

    headers_ = curl_slist_append(headers_, "Content-Type: text/plain; charset=UTF-8");
    headers_ = curl_slist_append(headers_, "Expect:");
}

ClickHouseClient::~ClickHouseClient() {
    idle_.clear();
    curl_slist_free_all(headers_);
}

std::unique_ptr<ClickHouseClient::Connection> ClickHouseClient::acquire() {
    {
        std::lock_guard lock(pool_mutex_);
        if (!idle_.empty()) {
            auto c = std::move(idle_.back());
            idle_.pop_back();
            return c;
        }
    }
    auto c = std::make_unique<Connection>();
    c->handle = curl_easy_init();
    if (!c->handle) throw ClickHouseError("cannot create a libcurl handle", 0);
    CURL* h = c->handle;
    curl_easy_setopt(h, CURLOPT_URL, request_url_.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connect_timeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeout.count()));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, c->error);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &append_body);
    if (!options_.user.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(h, CURLOPT_USERNAME, options_.user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, options_.password.c_str());
    }
    return c;
}

void ClickHouseClient::release(std::unique_ptr<Connection> c) noexcept {
    std::lock_guard lock(pool_mutex_);
    if (idle_.size() < kMaxIdleConnections) idle_.push_back(std::move(c));
}

std::string ClickHouseClient::post(std::string_view query) {
    std::unique_ptr<Connection> c = acquire();
    std::string body;
    c->error[0] = '\0';
    curl_easy_setopt(c->handle, CURLOPT_POSTFIELDS, query.data());
    curl_easy_setopt(c->handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(query.size()));
    curl_easy_setopt(c->handle, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(c->handle);
    curl_easy_setopt(c->handle, CURLOPT_WRITEDATA, nullptr);
    if (rc != CURLE_OK) {
        std::string detail = c->error[0] ? c->error : curl_easy_strerror(rc);
        throw ClickHouseError("ClickHouse request to " + origin_ + " failed: " + detail, 0);  // handle dropped
    }
    long status = 0;
    curl_easy_getinfo(c->handle, CURLINFO_RESPONSE_CODE, &status);
    release(std::move(c));
    if (status != 200)
        throw ClickHouseError("ClickHouse error (HTTP " + std::to_string(status) + "): " + std::string(trim(body)),
                              status);
    return body;
}

void ClickHouseClient::execute(std::string_view query) {
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard lock(results_mutex_);
        results_.erase(self);  // no stale result after a failure
    }
    ludrake::ResultTable table = parse_result(post(query));
    std::lock_guard lock(results_mutex_);
    results_.insert_or_assign(self, std::move(table));
}

ludrake::ResultTable ClickHouseClient::fetch_df() {
    std::lock_guard lock(results_mutex_);
    auto it = results_.find(std::this_thread::get_id());
    if (it == results_.end()) throw std::logic_error("fetch_df without a successful execute before it on this thread");
    return it->second;
}

ludrake::ResultTable ClickHouseClient::parse_result(std::string_view body) {
    if (trim(body).empty()) return {};
    boost::system::error_code ec;
    json::parse_options opt;
    opt.max_depth = kMaxJsonDepth;
    json::value doc = json::parse(body, ec, json::storage_ptr(), opt);
    if (ec) unreadable(ec.message());
    json::object* top = doc.if_object();
    if (!top) unreadable("not an object");
    json::array* meta = top->contains("meta") ? top->at("meta").if_array() : nullptr;
    json::array* data = top->contains("data") ? top->at("data").if_array() : nullptr;
    if (!meta || !data) unreadable("no \"meta\" or \"data\"");

    std::vector<std::string> columns;
    std::vector<ColumnKind> kinds;
    columns.reserve(meta->size());
    kinds.reserve(meta->size());
    for (const json::value& m : *meta) {
        const json::object* col = m.if_object();
        const json::value* name = col ? col->if_contains("name") : nullptr;
        const json::value* type = col ? col->if_contains("type") : nullptr;
        if (!name || !name->is_string() || !type || !type->is_string()) unreadable("a column without name or type");
        columns.emplace_back(name->get_string());
        kinds.push_back(kind_of(type->get_string()));
    }
    std::vector<json::array> rows;
    rows.reserve(data->size());
    for (json::value& r : *data) {
        json::array* row = r.if_array();
        if (!row || row->size() != columns.size()) unreadable("a row that does not match the columns");
        for (std::size_t i = 0; i < row->size(); ++i) convert((*row)[i], kinds[i]);
        rows.push_back(std::move(*row));
    }
    return ludrake::ResultTable(std::move(columns), std::move(rows));
}

}  // namespace quillmere::adapters
