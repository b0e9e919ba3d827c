#include "query_log.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace quillmere::testing {

void flush_query_log(adapters::ClickHouseClient& ch) {
    static std::atomic<unsigned> markers{0};
    const std::string number = std::to_string(::getpid()) + "-" + std::to_string(++markers);
    ch.execute("SELECT 'query-log-marker-" + number + "' AS marker");
    // The look-up names the marker in two pieces, so that it does not find itself, and
    // with its closing quote, so that marker 1 is not found in the text of marker 10.
    const std::string look_up =
        "SELECT count() AS n FROM system.query_log WHERE type = 1 AND "
        "position(query, concat('query-log-', 'marker-" +
        number + "\\'')) > 0";
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        ch.execute("SYSTEM FLUSH LOGS");
        ch.execute(look_up);
        if (ch.fetch_df().row(0)["n"].to_number<std::int64_t>() > 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("the marker query " + number + " never appeared in system.query_log");
}

}  // namespace quillmere::testing
