#include "resp_stub.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <stdexcept>
#include <string_view>

namespace quillmere::testing {
namespace {

// One complete command at the start of `in` ("*N\r\n" then N "$len\r\nbytes\r\n"), its
// length in bytes and words; nothing when more bytes are needed.
std::optional<std::pair<std::size_t, std::vector<std::string>>> parse_command(std::string_view in) {
    std::size_t pos = 0;
    auto number_line = [&](char prefix) -> std::optional<std::size_t> {
        if (pos >= in.size()) return std::nullopt;
        if (in[pos] != prefix) throw std::runtime_error("the stub reads only commands in the multi-bulk form");
        const auto end = in.find("\r\n", pos);
        if (end == std::string_view::npos) return std::nullopt;
        std::size_t n = 0;
        std::from_chars(in.data() + pos + 1, in.data() + end, n);
        pos = end + 2;
        return n;
    };
    const auto count = number_line('*');
    if (!count) return std::nullopt;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < *count; ++i) {
        const auto length = number_line('$');
        if (!length || pos + *length + 2 > in.size()) return std::nullopt;
        words.emplace_back(in.substr(pos, *length));
        pos += *length + 2;
    }
    return std::make_pair(pos, std::move(words));
}

struct Client {
    int fd;
    std::string in;
    std::vector<std::string> pending;  // replies held back
};

void send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

RespStub::RespStub(RespStubScript script) : script_(script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 64) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("the Redis stub cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

RespStub::~RespStub() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

std::size_t RespStub::connections_accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::vector<std::vector<std::string>> RespStub::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void RespStub::serve() {
    std::vector<Client> clients;
    while (!stop_) {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd >= 0) {
                clients.push_back({fd, {}, {}});
                std::lock_guard lock(mutex_);
                ++accepted_;
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Client& c = clients[i - 1];
            char buffer[65536];
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ::close(c.fd);
                c.fd = -1;
                continue;
            }
            c.in.append(buffer, static_cast<std::size_t>(n));
            while (auto command = parse_command(c.in)) {
                c.in.erase(0, command->first);
                const std::string& last = command->second.back();
                std::lock_guard lock(mutex_);
                commands_.push_back(command->second);
                if (script_.drop_on_command == commands_.size()) {
                    ::close(c.fd);
                    c.fd = -1;
                    break;
                }
                c.pending.push_back("$" + std::to_string(last.size()) + "\r\n" + last + "\r\n");
            }
        }
        std::erase_if(clients, [](const Client& c) { return c.fd < 0; });

        std::size_t pending = 0;
        std::size_t waiting = 0;
        for (const auto& c : clients) {
            pending += c.pending.size();
            waiting += c.pending.empty() ? 0 : 1;
        }
        if (pending == 0 || pending < script_.answer_when_commands_pending ||
            waiting < script_.answer_when_connections_waiting)
            continue;
        for (auto& c : clients) {
            std::string out;
            for (const auto& reply : c.pending) out += reply;
            c.pending.clear();
            send_all(c.fd, out);
        }
    }
    for (const auto& c : clients) ::close(c.fd);
}

}  // namespace quillmere::testing
