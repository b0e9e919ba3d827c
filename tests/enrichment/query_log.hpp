#pragma once
// Reading ClickHouse's own log of queries in tests. The server fills system.query_log
// from a queue in the background, and SYSTEM FLUSH LOGS only asks for a flush (it returns
// before the rows are written), so a count taken right after it can miss rows.

#include "quillmere/adapters/clickhouse_client.hpp"

namespace quillmere::testing {

// Makes every query that the server has already started visible in system.query_log:
// sends a marker query of its own, then flushes the logs until the marker can be read
// (a few seconds at most; throws std::runtime_error when it never appears). The log is
// written in the order queries start, so what came before the marker is there too.
void flush_query_log(adapters::ClickHouseClient& ch);

}  // namespace quillmere::testing
