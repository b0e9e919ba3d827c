#pragma once
// The records of the envelopes stored in ClickHouse, in the table that the parent-post
// lookup reads (orbenix.mentiondetails): a parent post stored here is found for the next
// comment on the same post, and a redelivered webhook replaces its earlier row instead of
// adding one (ReplacingMergeTree, read with FINAL).
//
//   auto sink = quillmere::host::make_clickhouse_sink(config.clickhouse);
//   sink->write(envelopes);   // one INSERT for all their records

#include "host/config.hpp"
#include "host/sink.hpp"

#include <boost/json/object.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::ludrake {
class AnalyticsClient;
}

namespace quillmere::host {

inline constexpr std::string_view kRecordsTable = "orbenix.mentiondetails";

struct RecordColumn {
    std::string name;
    std::string type;  // ClickHouse type
};

// The table's columns, in order: those the parent-post lookup selects and filters on
// (typed as it reads them), then those the rule tables name in clickhouse_column_name
// (text), then the record's table ("comment" or "parent"), the whole record as JSON text
// and the time it was stored, in microseconds (the version that decides which row a
// redelivery keeps: the latest).
const std::vector<RecordColumn>& record_columns();

// CREATE DATABASE / CREATE TABLE statements, each "IF NOT EXISTS".
std::vector<std::string> records_table_ddl();

// One row of the table for a record of the given rule table ("comment" or "parent").
boost::json::object record_row(const boost::json::object& record, std::string_view table);

// A sink storing every record of the envelopes (envelopes without records store nothing).
// The table is created, when missing, before the first insert. Throws ConfigError for an
// unusable [clickhouse] section.
std::unique_ptr<Sink> make_clickhouse_sink(const ClickHouseConfig& config);
std::unique_ptr<Sink> make_clickhouse_sink(std::shared_ptr<ludrake::AnalyticsClient> client);

}  // namespace quillmere::host
