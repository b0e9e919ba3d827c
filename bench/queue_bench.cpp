// The embedded queue's enqueue throughput: concurrent enqueues sharing one commit (group
// commit) against one commit, and one fsync, per delivery; from 1 and 8 threads. The floor
// beside them is what one delivery costs at least without group commit: a write of its
// size and an fdatasync of a plain file.
//
//   build/bench/queue_bench --benchmark_min_time=2
//
// The figures depend on the disk's fsync time above all.

#include "host/queue_sqlite.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using quillmere::host::SqliteQueue;
using quillmere::host::SqliteQueueOptions;

// A comment delivery of ordinary size (about 1 KiB).
const std::string& body() {
    static const std::string text = [] {
        std::string b =
            R"({"object":"instagram","entry":[{"id":"17841400000000000","time":1717000000,"changes":[{"field":"comments","value":{"from":{"id":"17841400000000001","username":"someone"},"media":{"id":"18000000000000000","media_product_type":"FEED"},"id":"18000000000000001","parent_id":"18000000000000002","text":")";
        b += std::string(700, 'w');
        b += R"("}}]}]})";
        return b;
    }();
    return text;
}

// A throw-away directory on the disk of the system's temporary files.
class ScratchDir {
public:
    ScratchDir() {
        std::string t = (std::filesystem::temp_directory_path() / "quillmere-queue-bench-XXXXXX").string();
        if (!::mkdtemp(t.data())) std::abort();
        path_ = t;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::unique_ptr<ScratchDir> dir;
std::unique_ptr<SqliteQueue> queue;
std::atomic<std::uint64_t> next_digest{0};

void BM_Enqueue(benchmark::State& state) {
    const bool group_commit = state.range(0) == 1;
    if (state.thread_index() == 0) {
        dir = std::make_unique<ScratchDir>();
        queue = std::make_unique<SqliteQueue>(
            SqliteQueueOptions{.path = dir->path() / "queue.db", .group_commit = group_commit});
    }
    for (auto _ : state) {
        const auto n = next_digest.fetch_add(1);
        queue->enqueue("bench-" + std::to_string(n), body());
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        state.counters["commits"] = static_cast<double>(queue->commits());
        queue.reset();
        dir.reset();
    }
}
BENCHMARK(BM_Enqueue)->ArgName("group_commit")->Arg(1)->Arg(0)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();

void BM_WriteAndFdatasyncFloor(benchmark::State& state) {
    ScratchDir floor_dir;
    const auto file = floor_dir.path() / "floor";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    for (auto _ : state) {
        if (::write(fd, body().data(), body().size()) < 0 || ::fdatasync(fd) != 0) state.SkipWithError("write failed");
    }
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteAndFdatasyncFloor)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
