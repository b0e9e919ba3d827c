// Graph API client against the fake Graph API on loopback, one client thread:
//   BM_Fetch/<n>          requests per second with n requests in flight (each request a
//                         new connection, as the client always does);
//   BM_FetchBounded/<b>   the same with 1,000 in flight through a client whose
//                         max_connections is b: the cost of waiting for a turn, against
//                         BM_Fetch/1000 (no bound) as the floor;
//   BM_MemoryInFlight/<n> heap held by the client per request in flight (the fake answers
//                         after 2 s; the heap in use is sampled while all n wait). With
//                         one request the figure would mostly show blocks that Asio and
//                         malloc keep cached from earlier runs, so n starts at 100.
// The fake runs in a child process so that its allocations are not counted.

#if defined(QUILLMERE_HAVE_FAKE_GRAPH_API)

#include "fake_graph_api/fake_graph_api.hpp"
#include "quillmere/graviel/instagram_api.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace asio = boost::asio;
using quillmere::graviel::InstagramAPI;
using quillmere::testing::FakeGraphApi;
using quillmere::testing::FakeResponse;

constexpr const char* kBody =
    R"({"permalink":"https://www.instagram.com/p/C4xyz/","id":"17900000000000001","caption":"New drop #summer",)"
    R"("comments_count":12,"like_count":340,"media_type":"IMAGE","timestamp":"2024-03-05T07:08:09+0000"})";

class CountingLogger final : public quillmere::Logger {
public:
    void info(std::string_view) override {}
    void warning(std::string_view) override { ++failures; }
    void error(std::string_view, bool) override { ++failures; }
    long failures = 0;
};

InstagramAPI* api = nullptr;

int fake_port = 0;

// Runs `total` requests with `in_flight` of them in flight at any moment.
long run_requests(int in_flight, long total, const quillmere::QueryParams& extra, InstagramAPI* client = api) {
    asio::io_context ioc(1);
    CountingLogger logger;
    long started = 0;
    long ok = 0;
    for (int w = 0; w < in_flight; ++w) {
        asio::co_spawn(
            ioc,
            [&]() -> asio::awaitable<void> {
                while (started < total) {
                    ++started;
                    auto body = co_await client->fetch_instagram_data("17900000000000001", "bench-token", "id,caption",
                                                                      logger, extra);
                    if (body) ++ok;
                }
            },
            asio::detached);
    }
    ioc.run();
    return logger.failures + (total - ok);
}

void BM_Fetch(benchmark::State& state) {
    const int in_flight = static_cast<int>(state.range(0));
    const long per_iteration = std::max<long>(in_flight, 200);
    long failures = 0;
    for (auto _ : state) failures += run_requests(in_flight, per_iteration, {});
    state.SetItemsProcessed(state.iterations() * per_iteration);
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_Fetch)->Arg(1)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_FetchBounded(benchmark::State& state) {
    quillmere::graviel::InstagramApiOptions options;
    options.max_connections = static_cast<std::size_t>(state.range(0));
    InstagramAPI bounded("http://127.0.0.1:" + std::to_string(fake_port), "v19.0", options);
    constexpr int in_flight = 1000;
    long failures = 0;
    for (auto _ : state) failures += run_requests(in_flight, in_flight, {}, &bounded);
    state.SetItemsProcessed(state.iterations() * in_flight);
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_FetchBounded)->Arg(16)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_MemoryInFlight(benchmark::State& state) {
    const int in_flight = static_cast<int>(state.range(0));
    const quillmere::QueryParams slow{{"delay_ms", "2000"}};
    double per_request = 0;
    long failures = 0;
    for (auto _ : state) {
        asio::io_context ioc(1);
        CountingLogger logger;
        malloc_trim(0);
        const auto before = mallinfo2().uordblks;
        for (int i = 0; i < in_flight; ++i) {
            asio::co_spawn(
                ioc,
                [&]() -> asio::awaitable<void> {
                    auto body = co_await api->fetch_instagram_data("17900000000000001", "bench-token", "id,caption",
                                                                   logger, slow);
                    if (!body) ++failures;
                },
                asio::detached);
        }
        ioc.run_for(std::chrono::milliseconds(1000));  // all connected and waiting for the answer
        const auto during = mallinfo2().uordblks;
        ioc.run();
        per_request = static_cast<double>(during - before) / in_flight;
        failures += logger.failures;
    }
    state.counters["bytes_per_request"] = per_request;
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_MemoryInFlight)->Arg(100)->Arg(1000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The fake in a child process; returns its port.
int start_fake() {
    int port_pipe[2];
    int life_pipe[2];
    if (pipe(port_pipe) != 0 || pipe(life_pipe) != 0) std::abort();
    pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(port_pipe[0]);
        close(life_pipe[1]);
        {
            FakeGraphApi fake;
            fake.set_handler([](const quillmere::testing::RecordedRequest& req) {
                FakeResponse r = FakeResponse::ok(kBody);
                if (auto delay = req.param("delay_ms")) r.delay = std::chrono::milliseconds(std::stoi(*delay));
                return r;
            });
            int port = fake.port();
            if (write(port_pipe[1], &port, sizeof port) != sizeof port) _exit(1);
            char c;
            while (read(life_pipe[0], &c, 1) > 0) {}
        }
        _exit(0);
    }
    close(port_pipe[1]);
    close(life_pipe[0]);  // the write end stays open in this process until it exits
    int port = 0;
    if (read(port_pipe[0], &port, sizeof port) != sizeof port) std::abort();
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    fake_port = start_fake();
    api = &InstagramAPI::instance("http://127.0.0.1:" + std::to_string(fake_port), "v19.0");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#else

#include <cstdio>

int main() {
    std::puts("graph_api_bench needs the fake Graph API, which is built with the tests (QUILLMERE_BUILD_TESTS=ON).");
    return 0;
}

#endif
