#include "host/sink.hpp"

#include "host/clickhouse_sink.hpp"

#include <boost/json/serialize.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillmere::host {
namespace json = boost::json;

namespace {

// One envelope per line, written with write(2) before write() returns.
class JsonlSink final : public Sink {
public:
    JsonlSink(int fd, bool owned, std::string name) : fd_(fd), owned_(owned), name_(std::move(name)) {}
    ~JsonlSink() override {
        if (owned_) ::close(fd_);
    }

    void write(std::span<const json::object> envelopes) override {
        std::string text;
        for (const json::object& e : envelopes) {
            text += json::serialize(e);
            text += '\n';
        }
        std::lock_guard lock(mutex_);
        const char* p = text.data();
        std::size_t left = text.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error("cannot write to " + name_ + ": " + std::strerror(errno));
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }

private:
    int fd_;
    bool owned_;
    std::string name_;
    std::mutex mutex_;
};

// The records into ClickHouse first, then the lines: when the lines cannot be written the
// delivery is offered again, and the table keeps one row per record all the same.
class Sinks final : public Sink {
public:
    explicit Sinks(std::vector<std::unique_ptr<Sink>> sinks) : sinks_(std::move(sinks)) {}
    void write(std::span<const json::object> envelopes) override {
        for (auto& sink : sinks_) sink->write(envelopes);
    }

private:
    std::vector<std::unique_ptr<Sink>> sinks_;
};

std::unique_ptr<Sink> open_jsonl(const std::filesystem::path& path) {
    if (path.empty()) return std::make_unique<JsonlSink>(STDOUT_FILENO, false, "standard output");
    // Appended to: what an earlier run wrote stays.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) throw ConfigError("output.jsonl: cannot open " + path.string() + ": " + std::strerror(errno));
    return std::make_unique<JsonlSink>(fd, true, path.string());
}

}  // namespace

std::unique_ptr<Sink> open_sink(const Config& config) {
    std::vector<std::unique_ptr<Sink>> sinks;
    if (config.output.clickhouse) sinks.push_back(make_clickhouse_sink(config.clickhouse));
    sinks.push_back(open_jsonl(config.output.jsonl));
    if (sinks.size() == 1) return std::move(sinks.front());
    return std::make_unique<Sinks>(std::move(sinks));
}

}  // namespace quillmere::host
