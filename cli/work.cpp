// quillmere work [--config FILE] [--concurrency N] [--consumer NAME]: the workers of the
// service. Leases deliveries from the configured durable queue, runs the host pipeline on
// each, writes the envelopes to the configured sink and only then acknowledges them, until
// SIGTERM or SIGINT; then finishes the deliveries in flight and exits.

#include "command.hpp"

#include "host/config.hpp"
#include "host/logging.hpp"
#include "host/pipeline.hpp"
#include "host/queue.hpp"
#include "host/sink.hpp"
#include "host/worker.hpp"

#include <spdlog/logger.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <csignal>
#include <cstdio>
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
        return configuration_error(e);
    }
    try {
        host::setup_logging(config.log);
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
            host::host_logger()->warn("work: {}; exiting with {} deliveries unfinished (they will be offered again)",
                                      why, counters.in_flight.load());
            host::host_logger()->flush();
            std::fflush(stdout);
            std::_Exit(1);
        };
        std::function<void(const boost::system::error_code&, int)> on_signal = [&](const boost::system::error_code& ec,
                                                                                   int number) {
            if (ec) return;
            if (stopping) give_up("a second signal");
            stopping = true;
            host::host_logger()->info("work: {} received; finishing {} deliveries in flight",
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
        host::host_logger()->info("work: up to {} deliveries in flight from {}", options.concurrency, place);
        io.run();
        if (failure) std::rethrow_exception(failure);
        host::host_logger()->info("work: stopped; {} deliveries done, {} retried, {} dead letters",
                                  counters.deliveries_acknowledged.load(), counters.retries.load(),
                                  counters.dead_letters.load());
        return 0;
    } catch (const host::ConfigError& e) {
        return configuration_error(e);
    } catch (const std::exception& e) {
        return print_failure("", e, 1);
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
