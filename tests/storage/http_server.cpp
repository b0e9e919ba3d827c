#include "http_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace quillmere::testing {

namespace {

bool send_all(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until `want` bytes are buffered or the peer closes; gives up after 10 s idle.
bool read_more(int fd, std::string& buffer) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10'000) <= 0) return false;
    char chunk[65536];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

std::string pattern_bytes(std::uint64_t offset, std::size_t n) {
    // splitmix64 of the index of each 8-byte block.
    auto block = [](std::uint64_t index) {
        std::uint64_t z = index * 0x9E3779B97F4A7C15ull + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    std::string out(n, '\0');
    std::uint64_t index = offset / 8, bits = block(index);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t at = offset + i;
        if (at / 8 != index) bits = block(index = at / 8);
        out[i] = static_cast<char>((bits >> (8 * (at % 8))) & 0xFF);
    }
    return out;
}

HttpServer::HttpServer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket() failed");
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_fd_, 64) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listen_fd_);
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

HttpServer::~HttpServer() {
    stopping_ = true;
    acceptor_.join();
    for (auto& w : workers_) w.join();
    ::close(listen_fd_);
}

std::string HttpServer::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

void HttpServer::serve(const std::string& target, std::vector<HttpReply> replies) {
    std::lock_guard lock(mutex_);
    routes_[target] = {std::move(replies), 0};
}

std::vector<HttpRequest> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HttpServer::wait(std::chrono::milliseconds duration) const {
    constexpr auto kStep = std::chrono::milliseconds(20);
    for (auto waited = std::chrono::milliseconds(0); waited < duration && !stopping_; waited += kStep) {
        std::this_thread::sleep_for(std::min(kStep, duration - waited));
    }
}

HttpReply HttpServer::next_reply(const std::string& target) {
    std::lock_guard lock(mutex_);
    auto it = routes_.find(target);
    if (it == routes_.end() || it->second.first.empty()) return HttpReply::answer(404, "no such page");
    auto& [replies, next] = it->second;
    HttpReply reply = replies[std::min(next, replies.size() - 1)];
    ++next;
    return reply;
}

void HttpServer::accept_loop() {
    while (!stopping_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        workers_.emplace_back([this, fd] {
            handle(fd);
            ::close(fd);
        });
    }
}

void HttpServer::handle(int fd) {
    std::string buffer;
    std::size_t header_end;
    while ((header_end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (!read_more(fd, buffer)) return;
    }
    HttpRequest request;
    std::size_t line_end = buffer.find("\r\n");
    std::string request_line = buffer.substr(0, line_end);
    std::size_t sp1 = request_line.find(' ');
    std::size_t sp2 = request_line.find(' ', sp1 + 1);
    request.method = request_line.substr(0, sp1);
    request.target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
    for (std::size_t pos = line_end + 2; pos < header_end;) {
        std::size_t end = buffer.find("\r\n", pos);
        std::string line = buffer.substr(pos, end - pos);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::size_t value = line.find_first_not_of(' ', colon + 1);
            request.headers[lower(line.substr(0, colon))] = value == std::string::npos ? "" : line.substr(value);
        }
        pos = end + 2;
    }
    if (auto it = request.headers.find("expect"); it != request.headers.end() && lower(it->second) == "100-continue") {
        if (!send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n")) return;
    }
    std::size_t length = 0;
    if (auto it = request.headers.find("content-length"); it != request.headers.end()) length = std::stoul(it->second);
    request.body = buffer.substr(header_end + 4);
    while (request.body.size() < length) {
        if (!read_more(fd, request.body)) return;
    }
    HttpReply reply = next_reply(request.target);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    wait(reply.delay);
    const std::uint64_t size = reply.generated > 0 ? reply.generated : reply.body.size();
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\nConnection: close\r\n";
    for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
    head +=
        reply.chunked ? "Transfer-Encoding: chunked\r\n\r\n" : "Content-Length: " + std::to_string(size) + "\r\n\r\n";
    if (!send_all(fd, head)) return;
    const std::size_t piece = reply.piece > 0 ? reply.piece : (reply.generated > 0 ? 65536 : 4096);
    bool stalled = false;
    for (std::uint64_t at = 0; at < size && !stopping_;) {
        if (!stalled && at == reply.stall_after) {
            stalled = true;
            wait(reply.stall);
        }
        std::uint64_t end = std::min<std::uint64_t>(size, at + piece);
        if (!stalled && at < reply.stall_after && end > reply.stall_after) end = reply.stall_after;
        std::string data = reply.generated > 0 ? pattern_bytes(at, end - at) : reply.body.substr(at, end - at);
        if (reply.chunked) {
            char chunk_size[32];
            std::snprintf(chunk_size, sizeof chunk_size, "%zx\r\n", data.size());
            data = chunk_size + data + "\r\n";
        }
        if (!send_all(fd, data)) return;
        at = end;
        if (at < size) wait(reply.pause);
    }
    if (reply.chunked) send_all(fd, "0\r\n\r\n");
    ::shutdown(fd, SHUT_WR);
}

}  // namespace quillmere::testing
