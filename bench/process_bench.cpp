// The host pipeline on comment deliveries: Pipeline::process with brand settings and no
// source, beside apply_rules with the comment table on the equivalent requests (the same
// flat request the pipeline builds from the common details and the webhook item) and the
// floor of parsing the deliveries, in one run.
//
// It also writes the inputs of bench/process_bench.sh, which measures the commands
// themselves (`quillmere process` against `quillmere map comment`, with Redis, with a slow
// Graph API):
//
//   process_bench generate DIR N [GRAPH_POSTS]   deliveries, requests, settings, cache, answers
//   process_bench compare ENVELOPES RECORDS      the records of both runs equal, times aside
//   process_bench post PORT SECRET FILE CONNECTIONS
//                                                POSTs each line of FILE to the webhook path of
//                                                127.0.0.1:PORT, signed, over CONNECTIONS
//                                                keep-alive connections (bench/e2e_bench.sh)

#include "host/config.hpp"
#include "host/pipeline.hpp"
#include "host/request_members.hpp"
#include "host/signature.hpp"

#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/clock.hpp"
#include "quillmere/ludrake/owner_details.hpp"
#include "quillmere/morvish/details.hpp"
#include "quillmere/ostrel/enums.hpp"
#include "quillmere/sendrum/parent_post_cache.hpp"
#include "quillmere/tindral/engine.hpp"

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace json = boost::json;
namespace fs = std::filesystem;
using namespace quillmere;

namespace {

const std::string kAccount = "17841405822304914";
const std::string kOwnerToken = "bench-owner";

json::object brand_setting() {
    return json::parse(R"({"BrandID": 4101, "BrandName": "Northwind Cycles", "CategoryID": 310,
        "CategoryName": "Sporting goods", "AccountID": 88001, "InstagramGraphApiID": ")" +
                       kAccount + R"(", "ProfilePic": "https://cdn.example.com/p.jpg",
        "ScreenName": "northwind.cycles", "AuthorName": "Northwind Cycles"})")
        .as_object();
}

std::string digits(const char* prefix, std::size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%015zu", prefix, i);
    return buf;
}

std::string post_id(std::size_t i) { return digits("18", i); }

// Delivery i: one comment on the feed post i (a reply every tenth), as Meta sends it.
std::string delivery(std::size_t i) {
    json::object value;
    value["from"] = {{"id", digits("23", i % 997)}, {"username", "rider_" + std::to_string(i % 997)}};
    value["media"] = {{"id", post_id(i)}, {"media_product_type", "FEED"}};
    value["id"] = digits("17", i);
    if (i % 10 == 9) value["parent_id"] = digits("17", i - 1);
    value["text"] = "Comment number " + std::to_string(i) + " on the new frame \xF0\x9F\x94\xA5 #gravel #n" +
                    std::to_string(i % 50);
    json::object change{{"field", "comments"}, {"value", std::move(value)}};
    json::object entry{{"id", kAccount},
                       {"time", 1718000000 + static_cast<std::int64_t>(i)},
                       {"changes", json::array{std::move(change)}}};
    json::object body{{"object", "instagram"}, {"entry", json::array{std::move(entry)}}};
    return json::serialize(body);
}

// The comment's request without any source: common details, the item, the host's values.
json::value request_of(const std::string& delivery_text) {
    static const json::object setting = brand_setting();
    json::value body = json::parse(delivery_text);
    const json::object& entry = body.at("entry").at(0).as_object();
    const json::object& value = entry.at("changes").at(0).at("value").as_object();
    const json::object details =
        morvish::extracting_common_details(setting, json::value(ostrel::value(ostrel::ChannelEnum::COMMENT)), 3);
    json::object host;
    host["entry_time"] =
        format_utc(UtcClock::time_point(std::chrono::seconds(entry.at("time").as_int64())), "%Y-%m-%dT%H:%M:%S+0000");
    const bool reply = value.contains("parent_id");
    host["type_of"] = reply ? 1 : 0;
    if (reply) host["replied_comment_id"] = value.at("parent_id");
    host["account_id"] = entry.at("id");
    host::RequestSources sources{&details, &value, &host, nullptr, nullptr};
    return host::build_request(host::comment_request_members(), sources);
}

void write(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary);
    f << text;
    if (!f) throw std::runtime_error("cannot write " + p.string());
}

std::string resp(const std::vector<std::string>& words) {
    std::string out = "*" + std::to_string(words.size()) + "\r\n";
    for (const auto& w : words) out += "$" + std::to_string(w.size()) + "\r\n" + w + "\r\n";
    return out;
}

int generate(const fs::path& dir, std::size_t n, std::size_t graph_posts) {
    fs::create_directories(dir / "graph_api");
    write(dir / "brands.json", "[" + json::serialize(brand_setting()) + "]");
    std::string deliveries, requests, cache;
    const json::object setting = brand_setting();
    const std::string channel_type =
        std::to_string(ostrel::value(ostrel::InstaChannelsEnum::InstagramPagePosts));  // as the pipeline keys them
    for (std::size_t i = 1; i <= n; ++i) {
        std::string d = delivery(i);
        requests += json::serialize(request_of(d)) + "\n";
        deliveries += d + "\n";
        json::object summary{{"URL", "https://www.instagram.com/p/P" + std::to_string(i) + "/"},
                             {"SocialID", post_id(i)},
                             {"IsBrandPost", 1},
                             {"UserInfo", {{"FollowersCount", 48210}, {"FollowingCount", 311}, {"TweetCount", 902}}}};
        cache += resp(
            {"SET", sendrum::parent_post_cache_key("310", "4101", channel_type, post_id(i)), json::serialize(summary)});
        if (i <= graph_posts) {
            json::object post{{"permalink", "https://www.instagram.com/p/P" + std::to_string(i) + "/"},
                              {"id", post_id(i)},
                              {"caption", "Post " + std::to_string(i) + " #northwind"},
                              {"comments_count", 4},
                              {"like_count", 120},
                              {"media_type", "IMAGE"},
                              {"media_url", "https://cdn.example.com/p/" + std::to_string(i) + ".jpg"},
                              {"owner", {{"id", kAccount}, {"username", "northwind.cycles"}}},
                              {"username", "northwind.cycles"},
                              {"media_product_type", "FEED"},
                              {"timestamp", "2024-06-09T16:00:00+0000"}};
            write(dir / "graph_api" / (post_id(i) + ".json"), json::serialize(post));
        }
    }
    const std::string owner =
        R"({"followers_count": 48210, "follows_count": 311, "media_count": 902, "username": "northwind.cycles"})";
    cache += resp({"SET", ludrake::owner_details_key(json::value(kAccount)), owner});
    write(dir / "graph_api" / (kAccount + ".json"), owner);
    write(dir / "deliveries.jsonl", deliveries);
    write(dir / "requests.jsonl", requests);
    write(dir / "cache.resp", cache);
    return 0;
}

// A record without the members that hold the clock's reading.
json::value timeless(json::value record) {
    if (auto* tracking = record.as_object().if_contains("MentionTrackingDetails"); tracking && tracking->is_object()) {
        tracking->as_object().erase("FetchingServiceInTime");
        tracking->as_object().erase("FetchingServiceOutTime");
    }
    return record;
}

int compare(const fs::path& envelopes_file, const fs::path& records_file) {
    std::ifstream envelopes(envelopes_file), records(records_file);
    std::size_t n = 0;
    for (std::string e, r; std::getline(envelopes, e);) {
        if (!std::getline(records, r)) {
            std::cerr << "compare: fewer records than envelopes\n";
            return 1;
        }
        json::value env = json::parse(e);
        json::value a = timeless(env.at("records").at(0).at("record"));
        json::value b = timeless(json::parse(r));
        // RawData is text: compare it decoded, the in_time member aside.
        for (json::value* v : {&a, &b}) {
            json::value raw = json::parse(v->at("RawData").as_string());
            v->as_object()["RawData"] = std::move(raw);
        }
        if (a != b) {
            std::cerr << "compare: line " << n + 1 << " differs:\n"
                      << json::serialize(a) << "\n"
                      << json::serialize(b) << "\n";
            return 1;
        }
        ++n;
    }
    std::cout << "compare: " << n << " comment records equal\n";
    return 0;
}

// ---- in-process benchmarks -----------------------------------------------------------

constexpr std::size_t kBatch = 10000;

const std::vector<std::string>& deliveries() {
    static const std::vector<std::string> v = [] {
        std::vector<std::string> out;
        for (std::size_t i = 1; i <= kBatch; ++i) out.push_back(delivery(i));
        return out;
    }();
    return v;
}

void BM_ParseDeliveries(benchmark::State& state) {
    json::parser parser;
    for (auto _ : state) {
        for (const auto& d : deliveries()) {
            parser.reset();
            parser.write(d);
            benchmark::DoNotOptimize(parser.release());
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_ParseDeliveries)->Unit(benchmark::kMillisecond);

void BM_MapEquivalentRequests(benchmark::State& state) {
    std::vector<json::value> requests;
    for (const auto& d : deliveries()) requests.push_back(request_of(d));
    const tindral::CompiledRules rules(calvane::rules_obj());
    std::string line;
    for (auto _ : state) {
        for (const auto& r : requests) {
            line.clear();
            benchmark::DoNotOptimize(tindral::append_record_json(rules, r, line));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_MapEquivalentRequests)->Unit(benchmark::kMillisecond);

// The pipeline on the same deliveries, 256 in flight, envelopes serialised as the JSONL
// sink writes them.
void BM_PipelineNoSources(benchmark::State& state) {
    char tmpl[] = "/tmp/quillmere-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    const fs::path dir = tmpl;
    write(dir / "brands.json", "[" + json::serialize(brand_setting()) + "]");
    host::Config config =
        host::parse_config("[settings]\nfile = \"brands.json\"\nchannel_group_id = 3\n", dir / "quillmere.toml");
    boost::asio::io_context io{1};
    host::Pipeline pipeline(config, io.get_executor());
    std::size_t records = 0;
    for (auto _ : state) {
        std::size_t next = 0, in_flight = 0;
        std::string out;
        std::function<void()> start = [&] {
            while (in_flight < 256 && next < kBatch) {
                ++in_flight;
                const std::size_t i = next++;
                boost::asio::co_spawn(io,
                                      pipeline.process(deliveries()[i], json::value(static_cast<std::int64_t>(i + 1))),
                                      [&](std::exception_ptr e, std::vector<json::object> envelopes) {
                                          if (e) std::rethrow_exception(e);
                                          for (const auto& env : envelopes) {
                                              records += env.at("records").as_array().size();
                                              out.clear();
                                              out += json::serialize(env);
                                          }
                                          --in_flight;
                                          start();
                                      });
            }
        };
        start();
        io.restart();
        io.run();
    }
    fs::remove_all(dir);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
    state.counters["records/item"] =
        benchmark::Counter(static_cast<double>(records) / static_cast<double>(state.iterations() * kBatch));
}
BENCHMARK(BM_PipelineNoSources)->Unit(benchmark::kMillisecond);

}  // namespace

// Sends every line of `file` as a signed webhook delivery; returns 0 when each got a 200.
int post(unsigned short port, const std::string& secret, const fs::path& file, std::size_t connections) {
    std::vector<std::string> bodies;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) bodies.push_back(std::move(line));
    std::atomic<std::size_t> next{0}, ok{0}, refused{0};
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < std::max<std::size_t>(connections, 1); ++c) {
        threads.emplace_back([&] {
            namespace http = boost::beast::http;
            boost::asio::io_context io;
            boost::asio::ip::tcp::socket socket(io);
            boost::beast::flat_buffer buffer;
            for (std::size_t i; (i = next.fetch_add(1)) < bodies.size();) {
                try {
                    if (!socket.is_open()) socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
                    http::request<http::string_body> request{http::verb::post, "/webhook", 11};
                    request.set(http::field::host, "127.0.0.1");
                    request.set(http::field::content_type, "application/json");
                    request.set("X-Hub-Signature-256", host::signature_header(bodies[i], secret));
                    request.body() = bodies[i];
                    request.prepare_payload();
                    http::write(socket, request);
                    http::response<http::string_body> response;
                    http::read(socket, buffer, response);
                    (response.result_int() == 200 ? ok : refused).fetch_add(1);
                    if (!response.keep_alive()) socket.close();
                } catch (const std::exception&) {
                    refused.fetch_add(1);
                    boost::system::error_code ignored;
                    socket.close(ignored);
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    std::cout << "posted " << bodies.size() << ", answered 200: " << ok << ", otherwise: " << refused << '\n';
    return refused == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    try {
        if (argc >= 4 && std::string(argv[1]) == "generate") {
            return generate(argv[2], std::stoul(argv[3]), argc >= 5 ? std::stoul(argv[4]) : 0);
        }
        if (argc == 4 && std::string(argv[1]) == "compare") return compare(argv[2], argv[3]);
        if (argc == 6 && std::string(argv[1]) == "post")
            return post(static_cast<unsigned short>(std::stoul(argv[2])), argv[3], argv[4], std::stoul(argv[5]));
    } catch (const std::exception& e) {
        std::cerr << "process_bench: " << e.what() << '\n';
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
