// quillmere serve [--config FILE] [--workers N]: the webhook receiver, answering Meta on the
// configured listener and storing every verified delivery in the durable queue before its
// 200; with --workers N, also N workers in this process that run the pipeline on the queue.
//
// One event loop on one thread serves the connections; the queue's blocking calls run on a
// pool of threads and their results come back to the loop; the workers run on a loop and
// thread of their own. SIGTERM or SIGINT: no new connections, /readyz answers 503, the
// requests in flight are finished and answered, the workers finish their deliveries in
// flight, then the process exits 0, all within webhook.shutdown_deadline_ms.

#include "command.hpp"

#include "host/config.hpp"
#include "host/http_server.hpp"
#include "host/logging.hpp"
#include "host/metrics.hpp"
#include "host/pipeline.hpp"
#include "host/queue.hpp"
#include "host/receiver.hpp"
#include "host/sink.hpp"
#include "host/worker.hpp"

#include <spdlog/logger.h>
#include <spdlog/spdlog.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::cli {
namespace {

namespace asio = boost::asio;

constexpr const char* kFooter = R"(
Serves, on [webhook] listen (TLS when tls_certificate and tls_key are set):

  GET  <path>?hub.mode=subscribe&hub.verify_token=...&hub.challenge=...
       the subscription handshake: 200 with the challenge when the token is right, else 403
  POST <path>  a delivery: 401 unless X-Hub-Signature-256 is the HMAC-SHA256 of the body
       with the app secret; 200 once the queue holds it (a redelivery: 200, stored once);
       413 beyond max_body; 503 when the queue cannot take it (Meta delivers it again)
  GET  /healthz  /readyz  /metrics (Prometheus text)

With --workers N, N workers in this process take the deliveries from the queue, run the
pipeline on each and write the envelopes to [output], as `quillmere work` does; each has
up to 16 deliveries in flight. Their figures join /metrics.

Logs go to standard error, one line per event ([log] json = true for JSON lines).
SIGTERM or SIGINT shuts down gracefully within [webhook] shutdown_deadline_ms.

Exit status: 0 after a graceful shutdown, 1 when the service could not start (address in
use, queue unreachable, the workers failed) or work was still open at the shutdown
deadline (no request of it was answered 200, no delivery of it acknowledged), 2 when the configuration cannot be used (the message names the key).
)";

// Threads for the queue's blocking calls: enqueues wait for a commit, so more of them in
// flight let the queue commit many deliveries at once.
constexpr std::size_t kBlockingThreads = 16;
// Deliveries in flight per in-process worker (as `quillmere work` has by default).
constexpr std::size_t kDeliveriesInFlightPerWorker = 64;

struct Options {
    std::string config;
    std::size_t workers = 0;
};

// The workers of this process: the pipeline and sink on an event loop and thread of their
// own, so that their work never delays the receiver's answers.
class InProcessWorkers {
public:
    InProcessWorkers(const host::Config& config, host::Queue& queue, std::size_t count)
        : pipeline_(config, io_.get_executor()), sink_(host::open_sink(config)) {
        host::WorkerOptions options;
        options.max_deliveries = config.queue.max_deliveries;
        options.concurrency = kDeliveriesInFlightPerWorker;
        for (std::size_t i = 0; i < count; ++i) {
            workers_.push_back(std::make_unique<host::Worker>(
                queue,
                [this](std::string_view body, boost::json::value delivery) {
                    return pipeline_.process(body, std::move(delivery));
                },
                *sink_, counters_, options));
        }
    }
    ~InProcessWorkers() {
        stop();
        if (thread_.joinable()) thread_.join();
    }

    // Starts them; `done` is called on their thread once every worker has returned, with
    // the failure of the first that failed (null after a stop).
    void start(std::function<void(std::exception_ptr)> done) {
        remaining_ = workers_.size();
        for (auto& worker : workers_) {
            asio::co_spawn(io_, worker->run(), [this, done](std::exception_ptr failure) {
                if (failure && !failure_) failure_ = failure;
                if (--remaining_ == 0) done(failure_);
            });
        }
        thread_ = std::thread([this] { io_.run(); });
    }
    // From any thread: lease no more, finish what is in flight.
    void stop() {
        for (auto& worker : workers_) worker->stop();
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    const host::WorkerCounters& counters() const { return counters_; }
    host::PipelineStats pipeline_stats() const { return pipeline_.stats(); }

private:
    asio::io_context io_{1};
    host::Pipeline pipeline_;
    std::unique_ptr<host::Sink> sink_;
    host::WorkerCounters counters_;
    std::vector<std::unique_ptr<host::Worker>> workers_;
    std::size_t remaining_ = 0;  // on the workers' thread
    std::exception_ptr failure_;
    std::thread thread_;
};

int serve(const Options& options) {
    host::Config config;
    std::unique_ptr<host::Queue> queue;
    host::HttpServerOptions server_options;
    try {
        config = options.config.empty() ? host::parse_config("") : host::load_config(options.config);
        host::setup_logging(config.log);
        server_options = host::server_options(config.webhook);
        host::QueueOptions queue_options;
        queue_options.redelivery_window = config.webhook.redelivery_window;
        queue = host::open_queue(config.queue, queue_options);
    } catch (const host::ConfigError& e) {
        return configuration_error(e);
    } catch (const std::exception& e) {
        return print_failure("cannot open the queue: ", e, 1);
    }
    auto log = host::host_logger();

    host::Metrics metrics;
    asio::thread_pool blocking(kBlockingThreads);
    asio::io_context io(1);
    std::unique_ptr<host::Receiver> receiver;
    std::unique_ptr<host::HttpServer> server;
    std::unique_ptr<InProcessWorkers> workers;
    try {
        receiver = std::make_unique<host::Receiver>(config.webhook, *queue, metrics, blocking);
        if (options.workers > 0) {
            workers = std::make_unique<InProcessWorkers>(config, *queue, options.workers);
            metrics.add_workers(workers->counters(), [&workers] { return workers->pipeline_stats(); });
        }
        server = std::make_unique<host::HttpServer>(io.get_executor(), server_options, *receiver, &metrics);
        server->start();
    } catch (const host::ConfigError& e) {
        return configuration_error(e);
    } catch (const boost::system::system_error& e) {
        log->critical("cannot listen on {}: {}", config.webhook.listen, e.code().message());
        return 1;
    } catch (const std::exception& e) {
        return print_failure("cannot start: ", e, 1);
    }
    auto endpoint = server->local_endpoint();
    log->info("serving webhooks on {}://{}:{}{} (queue: {}, {} workers)", server_options.tls ? "https" : "http",
              endpoint.address().to_string(), endpoint.port(), config.webhook.path, config.queue.engine,
              options.workers);

    int status = 0;
    bool stopping = false;
    asio::steady_timer workers_done(io);  // cancelled when the workers have returned
    bool workers_running = false;
    asio::signal_set signals(io, SIGTERM, SIGINT);

    // The one way down: stop accepting, finish the requests in flight, then the workers'
    // deliveries in flight, all within the deadline.
    auto shut_down = [&](std::string reason) {
        if (stopping) return;
        stopping = true;
        signals.cancel();
        log->info("{}: shutting down (deadline {} ms)", reason, config.webhook.shutdown_deadline.count());
        receiver->drain();
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                const auto deadline = std::chrono::steady_clock::now() + config.webhook.shutdown_deadline;
                std::size_t cut = co_await server->shutdown(config.webhook.shutdown_deadline);
                if (cut > 0) {
                    log->error(
                        "{} connections were still open at the shutdown deadline and were closed; "
                        "their deliveries were not answered 200",
                        cut);
                    status = 1;
                }
                if (workers && workers_running) {
                    workers->stop();
                    workers_done.expires_at(deadline);
                    co_await workers_done.async_wait(asio::as_tuple(asio::use_awaitable));
                    if (workers_running) {
                        log->error(
                            "the workers had {} deliveries in flight at the shutdown deadline; they will be "
                            "offered again",
                            workers->counters().in_flight.load());
                        status = 1;
                    }
                }
                io.stop();
            },
            asio::detached);
    };
    signals.async_wait([&](const boost::system::error_code& error, int signal) {
        if (!error) shut_down(signal == SIGTERM ? "SIGTERM received" : "SIGINT received");
    });
    if (workers) {
        workers_running = true;
        workers->start([&](std::exception_ptr failure) {
            asio::post(io, [&, failure] {
                workers_running = false;
                workers_done.cancel();
                if (failure) {
                    try {
                        std::rethrow_exception(failure);
                    } catch (const std::exception& e) {
                        log->critical("the workers stopped: {}", e.what());
                    }
                    status = 1;
                    shut_down("the workers stopped");
                }
            });
        });
    }
    io.run();
    if (status != 0) {
        // Work may still be running on other threads: leave without waiting for it,
        // within the deadline. Nothing it holds was acknowledged.
        spdlog::shutdown();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    server.reset();
    blocking.join();
    if (workers) workers->join();
    workers.reset();
    queue.reset();
    log->info("shut down");
    spdlog::shutdown();
    return status;
}

void add_serve(CLI::App& app) {
    auto* cmd = app.add_subcommand("serve", "Receive webhook deliveries over HTTP into the durable queue");
    auto options = std::make_shared<Options>();
    cmd->add_option("--config", options->config, "The TOML configuration file (default: none, nothing configured)");
    cmd->add_option("--workers", options->workers, "Workers to run in this process on the queue (default: 0)")
        ->check(CLI::Range(std::size_t{0}, std::size_t{1024}));
    cmd->footer(kFooter);
    cmd->callback([options] { set_exit_status(serve(*options)); });
}

const CommandRegistration registration(add_serve);

}  // namespace
}  // namespace quillmere::cli
