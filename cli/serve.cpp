// quillmere serve [--config FILE] [--workers N]: the webhook receiver, answering Meta on the
// configured listener and storing every verified delivery in the durable queue before its
// 200; with --workers N, also N workers in this process that run the pipeline on the queue.
//
// One event loop on one thread serves the connections; the queue's blocking calls run on a
// pool of threads and their results come back to the loop. SIGTERM or SIGINT: no new
// connections, /readyz answers 503, the requests in flight are finished and answered, then
// the process exits 0, all within webhook.shutdown_deadline_ms.

#include "command.hpp"

#include "host/config.hpp"
#include "host/http_server.hpp"
#include "host/logging.hpp"
#include "host/metrics.hpp"
#include "host/queue.hpp"
#include "host/receiver.hpp"

#include <spdlog/logger.h>
#include <spdlog/spdlog.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

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

Logs go to standard error, one line per event ([log] json = true for JSON lines).
SIGTERM or SIGINT shuts down gracefully within [webhook] shutdown_deadline_ms.

Exit status: 0 after a graceful shutdown, 1 when the service could not start (address in
use, queue unreachable) or requests were still open at the shutdown deadline (none of them
was answered 200), 2 when the configuration cannot be used (the message names the key).
)";

// Threads for the queue's blocking calls: enqueues wait for a commit, so more of them in
// flight let the queue commit many deliveries at once.
constexpr std::size_t kBlockingThreads = 16;

struct Options {
    std::string config;
    std::size_t workers = 0;
};

std::string one_line(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

int serve(const Options& options) {
    host::Config config;
    std::unique_ptr<host::Queue> queue;
    host::HttpServerOptions server_options;
    try {
        config = options.config.empty() ? host::parse_config("") : host::load_config(options.config);
        host::setup_logging(config.log);
        server_options = host::server_options(config.webhook);
        if (options.workers > 0) {
            throw host::ConfigError("--workers: the workers are not part of this build yet; run with --workers 0");
        }
        host::QueueOptions queue_options;
        queue_options.redelivery_window = config.webhook.redelivery_window;
        queue = host::open_queue(config.queue, queue_options);
    } catch (const host::ConfigError& e) {
        std::fprintf(stderr, "quillmere: configuration error: %s\n", one_line(e.what()).c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmere: cannot open the queue: %s\n", one_line(e.what()).c_str());
        return 1;
    }
    auto log = host::host_logger();

    host::Metrics metrics;
    asio::thread_pool blocking(kBlockingThreads);
    asio::io_context io(1);
    std::unique_ptr<host::Receiver> receiver;
    std::unique_ptr<host::HttpServer> server;
    try {
        receiver = std::make_unique<host::Receiver>(config.webhook, *queue, metrics, blocking);
        server = std::make_unique<host::HttpServer>(io.get_executor(), server_options, *receiver, &metrics);
        server->start();
    } catch (const host::ConfigError& e) {
        std::fprintf(stderr, "quillmere: configuration error: %s\n", one_line(e.what()).c_str());
        return 2;
    } catch (const boost::system::system_error& e) {
        log->critical("cannot listen on {}: {}", config.webhook.listen, e.code().message());
        return 1;
    }
    auto endpoint = server->local_endpoint();
    log->info("serving webhooks on {}://{}:{}{} (queue: {}, {} workers)", server_options.tls ? "https" : "http",
              endpoint.address().to_string(), endpoint.port(), config.webhook.path, config.queue.engine,
              options.workers);

    int status = 0;
    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const boost::system::error_code& error, int signal) {
        if (error) return;
        log->info("{} received: shutting down (deadline {} ms)", signal == SIGTERM ? "SIGTERM" : "SIGINT",
                  config.webhook.shutdown_deadline.count());
        receiver->drain();
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                std::size_t cut = co_await server->shutdown(config.webhook.shutdown_deadline);
                if (cut > 0) {
                    log->error(
                        "{} connections were still open at the shutdown deadline and were closed; "
                        "their deliveries were not answered 200",
                        cut);
                    status = 1;
                }
                io.stop();
            },
            asio::detached);
    });
    io.run();
    if (status != 0) {
        // Blocking calls may still be running on the pool: leave without waiting for them,
        // within the deadline. Nothing they hold was acknowledged.
        spdlog::shutdown();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    server.reset();
    blocking.join();
    queue.reset();
    log->info("shut down");
    spdlog::shutdown();
    return 0;
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
