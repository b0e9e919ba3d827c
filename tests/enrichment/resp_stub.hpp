#pragma once
// A Redis stand-in on 127.0.0.1 for what a real server cannot show on demand: it holds
// its answers until enough commands (or connections) are waiting, or closes a connection
// instead of answering one command. Every command is answered with its last word as a
// bulk string ("GET k" gives "k"). Served by a thread of its own, stopped on destruction.
//
//   RespStub stub(RespStubScript::commands_pending(3));  // answers once 3 have arrived

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

struct RespStubScript {
    // Pending commands are answered (all at once) when at least this many are waiting,
    // on all connections together...
    std::size_t answer_when_commands_pending = 1;
    // ...on at least this many connections.
    std::size_t answer_when_connections_waiting = 1;
    // The command with this number (1-based, counted over all connections) is not
    // answered: its connection is closed instead.
    std::optional<std::size_t> drop_on_command;

    static RespStubScript commands_pending(std::size_t n) {
        RespStubScript s;
        s.answer_when_commands_pending = n;
        return s;
    }
    static RespStubScript connections_waiting(std::size_t n) {
        RespStubScript s;
        s.answer_when_connections_waiting = n;
        return s;
    }
    static RespStubScript dropping(std::size_t command) {
        RespStubScript s;
        s.drop_on_command = command;
        return s;
    }
};

class RespStub {
public:
    explicit RespStub(RespStubScript script = {});
    ~RespStub();
    RespStub(const RespStub&) = delete;
    RespStub& operator=(const RespStub&) = delete;

    int port() const { return port_; }
    std::size_t connections_accepted() const;
    // Every command received so far, as its words, in the order they arrived.
    std::vector<std::vector<std::string>> commands() const;

private:
    void serve();

    RespStubScript script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::size_t accepted_ = 0;
    std::vector<std::vector<std::string>> commands_;
    std::thread thread_;
};

}  // namespace quillmere::testing
