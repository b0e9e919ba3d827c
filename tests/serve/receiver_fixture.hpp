#pragma once
// Test support: the receiver and its listener on 127.0.0.1 (a port of the system's choice),
// served by an event loop on a thread of its own, against a queue held in memory.

#include "host/config.hpp"
#include "host/http_server.hpp"
#include "host/metrics.hpp"
#include "host/receiver.hpp"
#include "memory_queue.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>

#include <future>
#include <memory>
#include <thread>

namespace quillmere::testing {

inline constexpr const char* test_app_secret = "test-app-secret";
inline constexpr const char* test_verify_token = "test-verify-token";

inline host::WebhookConfig test_webhook_config() {
    host::WebhookConfig config;
    config.listen = "127.0.0.1:0";
    config.app_secret = {test_app_secret, "literal"};
    config.verify_token = {test_verify_token, "literal"};
    return config;
}

class RunningReceiver {
public:
    explicit RunningReceiver(host::WebhookConfig config = test_webhook_config(),
                             std::shared_ptr<boost::asio::ssl::context> tls = nullptr)
        : config_(std::move(config)) {
        receiver_ = std::make_unique<host::Receiver>(config_, queue, metrics, pool_);
        auto options = host::server_options(config_);
        if (tls) options.tls = std::move(tls);
        server_ = std::make_unique<host::HttpServer>(io_.get_executor(), options, *receiver_, &metrics);
        server_->start();
        port_ = server_->local_endpoint().port();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~RunningReceiver() {
        if (!shut_down_) shutdown(std::chrono::seconds(5));
        queue.release();  // an enqueue still held ends, so that the loop can finish
        thread_.join();
        pool_.join();
    }

    int port() const { return port_; }
    host::Receiver& receiver() { return *receiver_; }
    const host::WebhookConfig& config() const { return config_; }

    // Drains the receiver and shuts the listener down, as the service does on SIGTERM;
    // returns the connections cut at the deadline.
    std::size_t shutdown(std::chrono::milliseconds deadline) {
        shut_down_ = true;
        receiver_->drain();
        auto cut = boost::asio::co_spawn(io_, server_->shutdown(deadline), boost::asio::use_future);
        std::size_t result = cut.get();
        // The server's state is touched on its loop only.
        boost::asio::post(io_, [this] { server_.reset(); });
        return result;
    }
    // Open connections as the listener counts them (read on its loop).
    std::size_t connections() {
        std::promise<std::size_t> count;
        boost::asio::post(io_, [&] { count.set_value(server_->connections()); });
        return count.get_future().get();
    }

    MemoryQueue queue;
    host::Metrics metrics;

private:
    host::WebhookConfig config_;
    boost::asio::thread_pool pool_{4};
    boost::asio::io_context io_;
    std::unique_ptr<host::Receiver> receiver_;
    std::unique_ptr<host::HttpServer> server_;
    std::thread thread_;
    int port_ = 0;
    bool shut_down_ = false;
};

}  // namespace quillmere::testing
