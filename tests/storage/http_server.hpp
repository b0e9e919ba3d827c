#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the storage tests: it serves content for the
// fetch-by-address path and stands in for an S3 endpoint. Every connection gets one answer
// and is closed; a request that asks for "100 Continue" gets it before its body is read.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quillmere::testing {

struct HttpReply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool chunked = false;                // no Content-Length, chunked transfer encoding
    std::chrono::milliseconds delay{0};  // wait before answering
    // The body goes out in pieces of `piece` bytes (4096 when 0) with `pause` after each.
    std::size_t piece = 0;
    std::chrono::milliseconds pause{0};
    // After `stall_after` bytes of the body the server sends nothing for `stall`, then goes on.
    std::size_t stall_after = SIZE_MAX;
    std::chrono::milliseconds stall{0};
    // When set, the body is pattern_bytes(0, generated) made while sending (`body` unused),
    // so that a large answer is never held in memory.
    std::uint64_t generated = 0;

    static HttpReply answer(int status, std::string body) {
        HttpReply r;
        r.status = status;
        r.body = std::move(body);
        return r;
    }
    static HttpReply chunked_answer(std::string body) {
        HttpReply r = answer(200, std::move(body));
        r.chunked = true;
        return r;
    }
    static HttpReply late(std::string body, std::chrono::milliseconds delay) {
        HttpReply r = answer(200, std::move(body));
        r.delay = delay;
        return r;
    }
    static HttpReply trickle(std::string body, std::size_t piece, std::chrono::milliseconds pause) {
        HttpReply r = answer(200, std::move(body));
        r.piece = piece;
        r.pause = pause;
        return r;
    }
    static HttpReply stalling(std::string body, std::size_t stall_after, std::chrono::milliseconds stall) {
        HttpReply r = answer(200, std::move(body));
        r.stall_after = stall_after;
        r.stall = stall;
        return r;
    }
    static HttpReply redirect(std::string location) {
        HttpReply r = answer(302, "");
        r.headers.emplace_back("Location", std::move(location));
        return r;
    }
};

struct HttpRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
};

// `n` bytes of a fixed pseudo-random sequence, starting at byte `offset` of it.
std::string pattern_bytes(std::uint64_t offset, std::size_t n);

class HttpServer {
public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& target) const;
    // Answers for `target` (path and query as sent), one per request, the last repeated.
    // Unknown targets get 404 "no such page".
    void serve(const std::string& target, std::vector<HttpReply> replies);
    std::vector<HttpRequest> requests() const;

private:
    void accept_loop();
    void handle(int fd);
    HttpReply next_reply(const std::string& target);
    // Sleeps for `duration`, or less when the server is stopping.
    void wait(std::chrono::milliseconds duration) const;

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<std::vector<HttpReply>, std::size_t>> routes_;
    std::vector<HttpRequest> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace quillmere::testing
