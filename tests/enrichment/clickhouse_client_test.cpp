#include "quillmere/adapters/clickhouse_client.hpp"

#include "query_log.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "support/servers.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace quillmere::testing {
namespace {

using adapters::ClickHouseClient;
using adapters::ClickHouseError;
using adapters::ClickHouseOptions;
using ludrake::ResultTable;
using namespace std::chrono_literals;

ClickHouseOptions options() {
    ClickHouseOptions o;
    o.url = Servers::clickhouse().url();
    return o;
}

ResultTable run(ClickHouseClient& ch, std::string_view query) {
    ch.execute(query);
    return ch.fetch_df();
}

std::string kinds_of(const ResultTable& t) {
    std::string out;
    for (const auto& [i, row] : t.iterrows())
        for (const auto& [column, value] : row.items())
            out += std::string(column) + ":" + std::string(kind_name(value)) + "=" + to_json_text(value) + " ";
    return out;
}

TEST(ClickHouseClient, ValuesKeepTheTypesClickHouseReports) {
    ClickHouseClient ch(options());
    ResultTable t = run(
        ch,
        "SELECT toInt64(-5) AS i64, toUInt64(18446744073709551615) AS u64, toInt64(9223372036854775807) AS max64, "
        "toUInt8(1) AS u8, toFloat64(2) AS whole_float, toFloat32(1.5) AS f32, toDecimal32(1.25, 2) AS dec, "
        "'t\\'ext\xc3\xa9' AS str, CAST(NULL AS Nullable(Int32)) AS null_int, toNullable(toInt64(7)) AS nullable_int, "
        "nan AS not_a_number, [1, 2] AS arr, toDate('2020-01-02') AS day");
    EXPECT_EQ(kinds_of(t),
              "i64:int=-5 u64:int=18446744073709551615 max64:int=9223372036854775807 u8:int=1 whole_float:float=2.0 "
              "f32:float=1.5 dec:float=1.25 str:str=\"t'ext\\u00e9\" null_int:null=null nullable_int:int=7 "
              "not_a_number:null=null arr:list=[1, 2] day:str=\"2020-01-02\" ");
    EXPECT_TRUE(t.row(0)["u64"].is_uint64());
}

TEST(ClickHouseClient, RowsInOrderAndEmptyResults) {
    ClickHouseClient ch(options());
    ResultTable t = run(ch, "SELECT number AS n, toString(number) AS s FROM system.numbers LIMIT 3");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(kinds_of(t), "n:int=0 s:str=\"0\" n:int=1 s:str=\"1\" n:int=2 s:str=\"2\" ");
    EXPECT_TRUE(run(ch, "SELECT 1 AS x FROM system.one WHERE 0").empty());
    EXPECT_TRUE(run(ch, "CREATE TABLE IF NOT EXISTS default.ddl_probe (x UInt8) ENGINE = Memory").empty());
}

TEST(ClickHouseClient, QueryTextIsSentAsItIs) {
    ClickHouseClient ch(options());
    const std::string query = "\n   SELECT 'exact-probe-41' AS p,\t1  -- a comment\n    ";
    run(ch, query);
    flush_query_log(ch);
    ResultTable t = run(ch,
                        "SELECT query FROM system.query_log WHERE type = 1 AND "
                        "position(query, concat('exact-probe', '-41')) > 0");
    ASSERT_EQ(t.size(), 1u);
    // The server logs the text up to the end of the statement (without the trailing
    // comment and blanks): everything before is byte for byte what was sent, and no
    // FORMAT clause was added to it.
    EXPECT_EQ(t.row(0)["query"], json::value("\n   SELECT 'exact-probe-41' AS p,\t1"));
}

TEST(ClickHouseClient, DatabaseErrorsCarryClickHousesMessage) {
    ClickHouseClient ch(options());
    run(ch, "SELECT 1");
    try {
        ch.execute("SELECT nosuch FROM system.one");
        FAIL() << "no error";
    } catch (const ClickHouseError& e) {
        const std::string m = e.what();
        EXPECT_EQ(m.rfind("ClickHouse error (HTTP ", 0), 0u) << m;
        EXPECT_NE(m.find("Code: 47"), std::string::npos) << m;
        EXPECT_NE(m.find("Unknown identifier: nosuch"), std::string::npos) << m;
        EXPECT_GE(e.http_status(), 400);
    }
    // No stale result after a failure.
    EXPECT_THROW(ch.fetch_df(), std::logic_error);
    // An error while the result is produced is an error too, not a cut-off table.
    EXPECT_THROW(
        ch.execute("SELECT throwIf(number = 70000) FROM system.numbers LIMIT 100000 SETTINGS max_block_size = 100"),
        ClickHouseError);
}

TEST(ClickHouseClient, CredentialsAreUsedAndNeverShown) {
    ClickHouseOptions o = options();
    o.user = "reader";
    o.password = kClickHouseReaderPassword;
    ClickHouseClient reader(o);
    run(reader, "SELECT 'user-probe-1'");

    ClickHouseOptions in_url = options();
    in_url.url = "http://reader:" + std::string(kClickHouseReaderPassword) +
                 "@127.0.0.1:" + std::to_string(Servers::clickhouse().http_port()) + "/";
    ClickHouseClient from_url(in_url);
    run(from_url, "SELECT 'user-probe-2'");

    ClickHouseClient admin(options());
    flush_query_log(admin);
    EXPECT_EQ(kinds_of(run(admin,
                           "SELECT user FROM system.query_log WHERE type = 1 AND "
                           "position(query, concat('user-', 'probe-')) > 0 ORDER BY query")),
              "user:str=\"reader\" user:str=\"reader\" ");

    o.password = "wrong-Secret-42";
    ClickHouseClient wrong(o);
    try {
        wrong.execute("SELECT 1");
        FAIL() << "no error";
    } catch (const ClickHouseError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("Wrong password for user reader"), std::string::npos) << m;
        EXPECT_EQ(m.find("wrong-Secret-42"), std::string::npos) << m;
    }
}

TEST(ClickHouseClient, UnreachableServerAndTimeOut) {
    ClickHouseOptions o;
    o.url = "http://127.0.0.1:" + std::to_string(free_loopback_port()) + "/";
    o.password = "hidden-pw";
    ClickHouseClient down(o);
    try {
        down.execute("SELECT 1");
        FAIL() << "no error";
    } catch (const ClickHouseError& e) {
        const std::string m = e.what();
        EXPECT_EQ(m.rfind("ClickHouse request to " + o.url.substr(0, o.url.size() - 1) + " failed: ", 0), 0u) << m;
        EXPECT_EQ(m.find("hidden-pw"), std::string::npos);
        EXPECT_EQ(e.http_status(), 0);
    }
    ClickHouseOptions slow = options();
    slow.timeout = 300ms;
    ClickHouseClient impatient(slow);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(impatient.execute("SELECT sleep(2)"), ClickHouseError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST(ClickHouseClient, TheServerIsToldTheClientsTimeOut) {
    struct Case {
        std::chrono::milliseconds timeout;
        std::vector<std::pair<std::string, std::string>> settings;
        const char* expected;  // max_execution_time as the server sees it, in seconds
    };
    const Case cases[] = {
        {300ms, {}, "1"},  // rounded up: 0 would mean no limit
        {1000ms, {}, "1"},   {1001ms, {}, "2"},
        {60000ms, {}, "60"}, {1000ms, {{"max_execution_time", "7"}}, "7"},  // a setting given by the caller wins
        {0ms, {}, "0"},                                                     // no time-out: no limit either
    };
    for (const auto& c : cases) {
        ClickHouseOptions o = options();
        o.timeout = c.timeout;
        o.settings = c.settings;
        ClickHouseClient ch(o);
        EXPECT_EQ(kinds_of(run(ch, "SELECT value FROM system.settings WHERE name = 'max_execution_time'")),
                  "value:str=\"" + std::string(c.expected) + "\" ")
            << c.timeout.count() << " ms";
    }
}

TEST(ClickHouseClient, AnAbandonedQueryDoesNotGoOnRunningOnTheServer) {
    ClickHouseOptions o = options();
    o.timeout = 1000ms;
    ClickHouseClient impatient(o);
    // Counts without end unless the server stops it.
    EXPECT_THROW(impatient.execute("SELECT count() FROM system.numbers WHERE 'abandon-probe' != ''"), ClickHouseError);

    ClickHouseClient admin(options());
    const std::string running =
        "SELECT count() AS n FROM system.processes WHERE position(query, concat('abandon', '-probe')) > 0";
    std::int64_t still_running = 1;
    for (int i = 0; i < 100 && still_running != 0; ++i) {
        still_running = run(admin, running).row(0)["n"].to_number<std::int64_t>();
        if (still_running != 0) std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(still_running, 0) << "the query went on running after the client gave up";
    // Whatever the outcome, leave nothing running for the tests that follow.
    run(admin, "KILL QUERY WHERE position(query, concat('abandon', '-probe')) > 0 SYNC");
}

TEST(ClickHouseClient, EachThreadFetchesItsOwnResult) {
    ClickHouseClient ch(options());
    std::vector<std::string> seen(4);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 5; ++round) {
                ch.execute("SELECT " + std::to_string(i) + " AS t");
                seen[i] += kinds_of(ch.fetch_df());
            }
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < 4; ++i) {
        std::string expected;
        for (int round = 0; round < 5; ++round) expected += "t:int=" + std::to_string(i) + " ";
        EXPECT_EQ(seen[i], expected);
    }
}

}  // namespace
}  // namespace quillmere::testing
