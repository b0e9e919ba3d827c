#include "support/redis_server.hpp"

#include <hiredis/hiredis.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quillmere::testing {
namespace {

constexpr std::chrono::seconds kStartTimeout{30};

std::string tail_of(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

}  // namespace

RedisServer::RedisServer(std::vector<std::string> extra, int port)
    : port_(port ? port : free_loopback_port()), extra_(std::move(extra)) {
    start();
}

void RedisServer::start() {
    process_.reset();
    std::vector<std::string> argv{
        "redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1",   "--dir", dir_.path().string(),
        "--save",       "",       "--appendonly",        "no",     "--daemonize", "no",    "--loglevel",
        "warning"};
    argv.insert(argv.end(), extra_.begin(), extra_.end());
    const auto log = dir_.path() / "redis.log";
    process_ = std::make_unique<ChildProcess>(argv, log);
    if (!wait_for_port(port_, kStartTimeout))
        throw std::runtime_error("redis-server did not start on port " + std::to_string(port_) + ":\n" + tail_of(log));
    // A server started again on its append-only file listens at once but answers LOADING
    // until it has read the file: it is up once PING gets any other answer (PONG, or
    // NOAUTH from a server with a password).
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    for (;;) {
        try {
            if (RedisAdmin(port_).command({"PING"}).rfind("(error) LOADING", 0) != 0) return;
        } catch (const std::exception&) {}
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("redis-server on port " + std::to_string(port_) + " did not finish loading:\n" +
                                     tail_of(log));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void RedisServer::kill() {
    if (process_ && process_->pid() > 0) ::kill(process_->pid(), SIGKILL);
    process_.reset();  // reaps it
}

RedisAdmin::RedisAdmin(int port) : ctx_(redisConnect("127.0.0.1", port)) {
    if (!ctx_ || ctx_->err) throw std::runtime_error("cannot connect to redis-server on port " + std::to_string(port));
}

RedisAdmin::~RedisAdmin() { redisFree(ctx_); }

std::string RedisAdmin::command(const std::vector<std::string>& argv) {
    std::vector<const char*> args;
    std::vector<std::size_t> lengths;
    for (const auto& a : argv) {
        args.push_back(a.data());
        lengths.push_back(a.size());
    }
    auto* r =
        static_cast<redisReply*>(redisCommandArgv(ctx_, static_cast<int>(args.size()), args.data(), lengths.data()));
    if (!r) throw std::runtime_error(std::string("redis command failed: ") + ctx_->errstr);
    std::string out;
    switch (r->type) {
        case REDIS_REPLY_INTEGER:
            out = std::to_string(r->integer);
            break;
        case REDIS_REPLY_NIL:
            out = "(nil)";
            break;
        case REDIS_REPLY_ERROR:
            out = "(error) " + std::string(r->str, r->len);
            break;
        default:
            out = r->str ? std::string(r->str, r->len) : std::string();
            break;
    }
    freeReplyObject(r);
    return out;
}

}  // namespace quillmere::testing
