#include "host/clickhouse_sink.hpp"

#include "quillmere/adapters/clickhouse_client.hpp"
#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/decode.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/pemrith/rules.hpp"

#include <boost/json/serialize.hpp>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <utility>

namespace quillmere::host {
namespace json = boost::json;

namespace {

enum class Kind { text, id, count, flag, group_id };

// A column read by the parent-post lookup: its type and where a record holds its value.
struct LookupColumn {
    const char* name;
    const char* type;
    Kind kind;
    const char* path;  // dotted path into the record, RawData read as the object it encodes
};

// clang-format off
const LookupColumn kLookupColumns[] = {
    {"tweetidorfbid",       "String", Kind::id,       "RawData.SocialID"},
    {"url",                 "String", Kind::text,     "RawData.Url"},
    {"instagramgraphapiid", "String", Kind::id,       "RawData.InstagramGraphApiID"},
    {"u_followerscount",    "Int64",  Kind::count,    "RawData.UserInfo.FollowersCount"},
    {"u_followingcount",    "Int64",  Kind::count,    "RawData.UserInfo.FollowingCount"},
    {"u_tweetcount",        "Int64",  Kind::count,    "RawData.UserInfo.TweetCount"},
    {"u_authorid",          "String", Kind::id,       "RawData.UserInfo.AuthorSocialID"},
    {"isbrandpost",         "UInt8",  Kind::flag,     "isBrandPost"},
    {"categoryid",          "Int64",  Kind::group_id, "BrandInfo.CategoryID"},
    {"brandid",             "Int64",  Kind::group_id, "BrandInfo.BrandID"},
    {"channelgroupid",      "Int64",  Kind::group_id, "ChannelGroup"},
};
// clang-format on

bool is_lookup_column(std::string_view name) {
    for (const auto& c : kLookupColumns)
        if (name == c.name) return true;
    return false;
}

// The columns the rule tables name, with their target per table (the first rule naming a
// column gives it: the parent-post table names "isdarkpost" twice, for IsDarkPost first).
struct NamedColumns {
    std::vector<std::string> names;
    std::vector<std::pair<std::string, std::string>> comment, parent;  // column, target
};

const NamedColumns& named_columns() {
    static const NamedColumns columns = [] {
        NamedColumns out;
        auto collect = [&out](const tindral::RuleTable& rules, std::vector<std::pair<std::string, std::string>>& to) {
            for (const auto& [target, rule] : rules) {
                if (!rule.clickhouse_column_name) continue;
                const std::string& name = *rule.clickhouse_column_name;
                bool seen = false;
                for (const auto& [column, t] : to) seen = seen || column == name;
                if (seen) continue;
                to.emplace_back(name, target);
                bool listed = is_lookup_column(name);
                for (const auto& n : out.names) listed = listed || n == name;
                if (!listed) out.names.push_back(name);
            }
        };
        collect(calvane::rules_obj(), out.comment);
        collect(pemrith::rules_obj(), out.parent);
        return out;
    }();
    return columns;
}

const json::value* walk(const json::object& record, const json::object* raw, std::string_view path) {
    const json::object* obj = &record;
    const json::value* v = nullptr;
    bool first = true;
    while (!path.empty()) {
        const auto dot = path.find('.');
        const std::string_view part = path.substr(0, dot);
        if (first && part == "RawData" && dot != std::string_view::npos) {
            obj = raw;
        } else {
            if (!obj) return nullptr;
            auto it = obj->find(part);
            if (it == obj->end()) return nullptr;
            v = &it->value();
            obj = v->if_object();
        }
        first = false;
        if (dot == std::string_view::npos) break;
        path.remove_prefix(dot + 1);
    }
    return v;
}

std::string text_of(const json::value* v) {
    if (!v || v->is_null()) return {};
    if (const json::string* s = v->if_string()) return std::string(*s);
    return to_json_text(*v);
}

std::string id_of(const json::value* v) {
    if (!v) return {};
    if (const json::string* s = v->if_string()) return std::string(*s);
    if (v->is_int64()) return std::to_string(v->get_int64());
    if (v->is_uint64()) return std::to_string(v->get_uint64());
    return {};
}

std::int64_t integer_of(const json::value* v) {
    if (!v || v->is_null()) return 0;
    try {
        return to_integer(*v);
    } catch (const std::exception&) {
        return 0;
    }
}

class ClickHouseSink final : public Sink {
public:
    explicit ClickHouseSink(std::shared_ptr<ludrake::AnalyticsClient> client) : client_(std::move(client)) {}

    void write(std::span<const json::object> envelopes) override {
        std::string rows;
        for (const json::object& envelope : envelopes) {
            auto it = envelope.find("records");
            if (it == envelope.end() || !it->value().is_array()) continue;
            for (const json::value& entry : it->value().get_array()) {
                const json::object* e = entry.if_object();
                if (!e) continue;
                auto table = e->find("table");
                auto record = e->find("record");
                if (table == e->end() || record == e->end() || !table->value().is_string() ||
                    !record->value().is_object())
                    continue;
                rows += json::serialize(record_row(record->value().get_object(), table->value().get_string()));
                rows += '\n';
            }
        }
        if (rows.empty()) return;
        std::lock_guard lock(mutex_);
        if (!table_ready_) {
            for (const std::string& statement : records_table_ddl()) client_->execute(statement);
            table_ready_ = true;
        }
        client_->execute("INSERT INTO " + std::string(kRecordsTable) + " FORMAT JSONEachRow\n" + rows);
    }

private:
    std::shared_ptr<ludrake::AnalyticsClient> client_;
    std::mutex mutex_;
    bool table_ready_ = false;
};

}  // namespace

const std::vector<RecordColumn>& record_columns() {
    static const std::vector<RecordColumn> columns = [] {
        std::vector<RecordColumn> out;
        for (const auto& c : kLookupColumns) out.push_back({c.name, c.type});
        for (const auto& name : named_columns().names) out.push_back({name, "String"});
        out.push_back({"record_table", "String"});
        out.push_back({"record", "String"});
        out.push_back({"stored_at", "UInt64"});  // microseconds since the epoch
        return out;
    }();
    return columns;
}

std::vector<std::string> records_table_ddl() {
    const std::string table(kRecordsTable);
    std::string create = "CREATE TABLE IF NOT EXISTS " + table + " (";
    bool first = true;
    for (const auto& c : record_columns()) {
        if (!first) create += ", ";
        first = false;
        create += '`' + c.name + "` " + c.type;
    }
    create += ") ENGINE = ReplacingMergeTree(stored_at) ORDER BY (channelgroupid, brandid, categoryid, tweetidorfbid)";
    return {"CREATE DATABASE IF NOT EXISTS " + table.substr(0, table.find('.')), create};
}

json::object record_row(const json::object& record, std::string_view table) {
    json::value raw_value;
    if (auto it = record.find("RawData"); it != record.end()) {
        if (const json::string* text = it->value().if_string()) {
            try {
                raw_value = decode_json_text(*text);
            } catch (const std::exception&) {}
        } else {
            raw_value = it->value();
        }
    }
    const json::object* raw = raw_value.if_object();

    json::object row;
    for (const auto& c : kLookupColumns) {
        const json::value* v = walk(record, raw, c.path);
        switch (c.kind) {
            case Kind::text:
                row[c.name] = text_of(v);
                break;
            case Kind::id:
                row[c.name] = id_of(v);
                break;
            case Kind::count:
            case Kind::group_id:
                row[c.name] = integer_of(v);
                break;
            case Kind::flag:
                row[c.name] = (v && is_set(*v)) ? 1 : 0;
                break;
        }
    }
    const NamedColumns& named = named_columns();
    const auto& targets = table == "parent" ? named.parent : named.comment;
    for (const auto& name : named.names) {
        const json::value* v = nullptr;
        for (const auto& [column, target] : targets)
            if (column == name) v = walk(record, raw, target);
        row[name] = text_of(v);
    }
    row["record_table"] = table;
    row["record"] = json::serialize(record);
    row["stored_at"] = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    return row;
}

std::unique_ptr<Sink> make_clickhouse_sink(std::shared_ptr<ludrake::AnalyticsClient> client) {
    return std::make_unique<ClickHouseSink>(std::move(client));
}

std::unique_ptr<Sink> make_clickhouse_sink(const ClickHouseConfig& config) {
    if (!config.configured) throw ConfigError("output.clickhouse: storing records needs a [clickhouse] section");
    adapters::ClickHouseOptions options;
    options.url = config.url;
    options.user = config.user;
    options.password = config.password.value;
    try {
        return make_clickhouse_sink(std::make_shared<adapters::ClickHouseClient>(std::move(options)));
    } catch (const std::invalid_argument& e) {
        throw ConfigError(std::string("clickhouse.url: ") + e.what());
    }
}

}  // namespace quillmere::host
