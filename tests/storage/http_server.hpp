#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the storage tests: it serves content for the
// fetch-by-address path and stands in for an S3 endpoint that answers errors. Every
// connection gets one answer and is closed.

#include <atomic>
#include <chrono>
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
