// A process that uses a queue and is killed by the tests with SIGKILL:
//   queue_probe enqueue ENGINE WHERE STREAM THREADS COUNT
//     enqueues THREADS x COUNT distinct deliveries from THREADS threads and writes the
//     digest of each one to standard output as soon as its enqueue has returned;
//   queue_probe lease ENGINE WHERE STREAM CONSUMER CLAIM_IDLE_MS
//     leases one delivery, writes "leased DIGEST", then waits (60 s at most) to be killed.
// ENGINE is sqlite (WHERE: the file) or redis (WHERE: the URL).

#include "host/queue.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace {

void say(const std::string& line) {
    const std::string text = line + "\n";
    // One write per line: a line on the output is a finished call, whenever the kill comes.
    if (::write(1, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::_Exit(4);
}

quillmere::host::QueueConfig config_of(char** argv) {
    quillmere::host::QueueConfig config;
    config.engine = argv[2];
    if (config.engine == "sqlite")
        config.path = argv[3];
    else
        config.url = argv[3];
    config.stream = argv[4];
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace quillmere::host;
    try {
        if (argc == 7 && std::string(argv[1]) == "enqueue") {
            auto queue = open_queue(config_of(argv));
            const int threads = std::stoi(argv[5]);
            const int count = std::stoi(argv[6]);
            const auto pid = std::to_string(::getpid());
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t)
                workers.emplace_back([&, t] {
                    for (int i = 0; i < count; ++i) {
                        const std::string digest = "p" + pid + "-" + std::to_string(t) + "-" + std::to_string(i);
                        if (queue->enqueue(digest, "{\"body\":\"" + digest + "\"}") == EnqueueResult::enqueued)
                            say(digest);
                    }
                });
            for (auto& w : workers) w.join();
            return 0;
        }
        if (argc == 7 && std::string(argv[1]) == "lease") {
            auto config = config_of(argv);
            config.claim_idle = std::chrono::milliseconds(std::stoi(argv[6]));
            QueueOptions options;
            options.consumer = argv[5];
            auto queue = open_queue(config, options);
            auto leased = queue->lease(1, std::chrono::seconds(10));
            if (leased.empty()) return 2;
            say("leased " + leased[0].digest);
            std::this_thread::sleep_for(std::chrono::seconds(60));
            return 3;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "queue_probe: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: queue_probe enqueue|lease ENGINE WHERE STREAM ...\n");
    return 64;
}
