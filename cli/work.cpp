// quillmere work [--config FILE] [--concurrency N] [--consumer NAME]: the workers of the
// service. Leases deliveries from the configured durable queue, runs the host pipeline on
// each, writes the envelopes to the configured sink and only then acknowledges them, until
// SIGTERM or SIGINT; then finishes the deliveries in flight and exits.

#include "command.hpp"

#include "host/config.hpp"
#include "host/pipeline.hpp"
#include "host/queue.hpp"
#include "host/sink.hpp"
#include "host/worker.hpp"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

namespace quillmere::cli {
namespace {

namespace asio = boost::asio;

constexpr const char* kFooter = R"(
Takes webhook deliveries from the [queue] of the configuration (engine "sqlite": the file
at queue.path; engine "redis": the stream queue.stream at queue.url, read by the consumer
group queue.group), runs each through the pipeline and writes one envelope per item to
the [output] of the configuration, as `quillmere process` does; "delivery" in each
envelope is the hex SHA-256 digest of the delivery's body. A delivery is acknowledged to
the queue only once the sink holds its envelopes: a worker that dies leaves its deliveries
to be offered again (after queue.claim_idle_ms). A delivery that fails is tried again
after a back-off, up to queue.max_deliveries times, then kept in the dead letters with
its last error.

SIGTERM or SIGINT: no new deliveries are taken, those in flight are finished, and the
command exits 0; if they are not finished within webhook.shutdown_deadline_ms (or on a
second signal) it exits 1 at once, and the unfinished deliveries are offered again later.

Logs go to standard error ([log] level, json).

Exit status: 0 after a clean stop, 1 when the queue or the sink cannot be used or the stop
did not finish in time, 2 when the configuration cannot be used (the message names the key).
)";

struct Options {
    std::string config;
    std::size_t concurrency = 64;
    std::string consumer;
};

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

// One JSON object per line: {"time": ..., "level": ..., "logger": ..., "message": ...}.
class JsonLineFormatter : public spdlog::formatter {
public:
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
        const auto since = msg.time.time_since_epoch();
        const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
        const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
        std::tm utc{};
        gmtime_r(&seconds, &utc);
        char stamp[40];
        const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ", static_cast<int>(millis));
        append(dest, "{\"time\": \"");
        append(dest, stamp);
        append(dest, "\", \"level\": \"");
        const auto level = spdlog::level::to_string_view(msg.level);
        dest.append(level.data(), level.data() + level.size());
        append(dest, "\", \"logger\": ");
        quoted(dest, std::string_view(msg.logger_name.data(), msg.logger_name.size()));
        append(dest, ", \"message\": ");
        quoted(dest, std::string_view(msg.payload.data(), msg.payload.size()));
        append(dest, "}\n");
    }
    std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<JsonLineFormatter>(); }

private:
    static void append(spdlog::memory_buf_t& dest, std::string_view text) {
        dest.append(text.data(), text.data() + text.size());
    }
    static void quoted(spdlog::memory_buf_t& dest, std::string_view text) {
        static constexpr char hex[] = "0123456789abcdef";
        dest.push_back('"');
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                dest.push_back('\\');
                dest.push_back(static_cast<char>(c));
            } else if (c < 0x20) {
                const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                dest.append(escaped, escaped + sizeof escaped);
            } else {
                dest.push_back(static_cast<char>(c));
            }
        }
        dest.push_back('"');
    }
};

// Logs to standard error (standard output may carry the envelopes), at the configured level.
void set_up_logging(const host::LogConfig& log) {
    auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto logger = std::make_shared<spdlog::logger>("quillmere", sink);
    if (log.json) logger->set_formatter(std::make_unique<JsonLineFormatter>());
    logger->set_level(spdlog::level::from_str(log.level));
    logger->flush_on(spdlog::level::warn);
    spdlog::set_default_logger(logger);
}

// Where the queue is, fit for a log line (a Redis password is not shown).
std::string queue_place(const host::QueueConfig& q) {
    if (q.engine == "sqlite") return "sqlite " + q.path.string();
    std::string url = q.url;
    if (auto at = url.find('@'); at != std::string::npos) {
        const auto scheme = url.find("://");
        const auto from = scheme == std::string::npos ? 0 : scheme + 3;
        if (from < at) url.replace(from, at - from, "<redacted>");
    }
    return "redis " + url + " stream " + q.stream + " group " + q.group;
}

int work(const Options& options) {
    host::Config config;
    try {
        config = options.config.empty() ? host::parse_config("") : host::load_config(options.config);
    } catch (const host::ConfigError& e) {
        std::fprintf(stderr, "quillmere: configuration error: %s\n", one_line(e.what()).c_str());
        return 2;
    }
    set_up_logging(config.log);
    try {
        asio::io_context io;
        host::Pipeline pipeline(config, io.get_executor());
        auto sink = host::open_sink(config);
        host::QueueOptions queue_options;
        queue_options.redelivery_window = config.webhook.redelivery_window;
        queue_options.consumer = options.consumer;
        auto queue = host::open_queue(config.queue, queue_options);

        host::WorkerCounters counters;
        host::WorkerOptions worker_options;
        worker_options.concurrency = options.concurrency;
        worker_options.max_deliveries = config.queue.max_deliveries;
        host::Worker worker(
            *queue,
            [&pipeline](std::string_view body, boost::json::value delivery) {
                return pipeline.process(body, std::move(delivery));
            },
            *sink, counters, worker_options);

        asio::signal_set signals(io, SIGINT, SIGTERM);
        asio::steady_timer deadline(io);
        bool stopping = false;
        // Not finished in time, or asked twice: what is in flight is offered again later.
        auto give_up = [&](const char* why) {
            spdlog::warn("work: {}; exiting with {} deliveries unfinished (they will be offered again)", why,
                         counters.in_flight.load());
            spdlog::default_logger()->flush();
            std::fflush(stdout);
            std::_Exit(1);
        };
        std::function<void(const boost::system::error_code&, int)> on_signal = [&](const boost::system::error_code& ec,
                                                                                   int number) {
            if (ec) return;
            if (stopping) give_up("a second signal");
            stopping = true;
            spdlog::info("work: {} received; finishing {} deliveries in flight",
                         number == SIGTERM ? "SIGTERM" : "SIGINT", counters.in_flight.load());
            worker.stop();
            deadline.expires_after(config.webhook.shutdown_deadline);
            deadline.async_wait([&](const boost::system::error_code& e) {
                if (!e) give_up("the shutdown deadline passed");
            });
            signals.async_wait(on_signal);
        };
        signals.async_wait(on_signal);

        std::exception_ptr failure;
        asio::co_spawn(io, worker.run(), [&](std::exception_ptr e) {
            failure = e;
            signals.cancel();
            deadline.cancel();
        });
        std::string place = queue_place(config.queue);
        if (config.queue.engine == "redis")
            place += " as consumer " + (options.consumer.empty() ? std::string("(the host name)") : options.consumer);
        spdlog::info("work: up to {} deliveries in flight from {}", options.concurrency, place);
        io.run();
        if (failure) std::rethrow_exception(failure);
        spdlog::info("work: stopped; {} deliveries done, {} retried, {} dead letters",
                     counters.deliveries_acknowledged.load(), counters.retries.load(), counters.dead_letters.load());
        return 0;
    } catch (const host::ConfigError& e) {
        std::fprintf(stderr, "quillmere: configuration error: %s\n", one_line(e.what()).c_str());
        return 2;
    } catch (const std::exception& e) {
        spdlog::error("work: {}", one_line(e.what()));
        std::fprintf(stderr, "quillmere: %s\n", one_line(e.what()).c_str());
        return 1;
    }
}

void add_work(CLI::App& app) {
    auto options = std::make_shared<Options>();
    auto* cmd = app.add_subcommand("work", "Process the deliveries of the durable queue until SIGTERM");
    cmd->footer(kFooter);
    cmd->add_option("--config", options->config, "The TOML configuration file (default: none, nothing configured)");
    cmd->add_option("--concurrency", options->concurrency, "Deliveries in flight at most")
        ->check(CLI::Range(std::size_t{1}, std::size_t{100000}))
        ->capture_default_str();
    cmd->add_option("--consumer", options->consumer,
                    "Redis: this worker's name in the consumer group (default: the host name); give each worker "
                    "process on one host its own");
    cmd->callback([options] { set_exit_status(work(*options)); });
}

const CommandRegistration registration{add_work};

}  // namespace
}  // namespace quillmere::cli
