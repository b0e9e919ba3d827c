// Classification of webhook bodies, from text and from parsed values, next to the floor of
// the same run: parsing the same texts without classifying.
//
// The deliveries are a realistic mix: comments on feed posts, reels and ads (some of them
// replies), mentions, direct messages (text, attachments, reactions, reads, story
// replies) and standby-channel messages, with ids, timestamps and texts of the sizes the
// Graph API sends. Every item counter is one delivery; "allocs" counts heap allocations
// per delivery.

#include "quillmere/common/value.hpp"
#include "quillmere/ostrel/classifier.hpp"

#include <benchmark/benchmark.h>
#include <boost/json.hpp>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

std::atomic<std::size_t> g_allocations{0};

}  // namespace

// Counting replacements of the global allocation functions (malloc/free underneath).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

namespace json = boost::json;
using namespace quillmere::ostrel;

std::vector<std::string> make_deliveries(std::size_t n) {
    std::mt19937_64 rng(20240611);
    auto id = [&] { return std::to_string(17800000000000000ULL + rng() % 100000000000000ULL); };
    auto pick = [&](std::initializer_list<const char*> xs) { return std::string(*(xs.begin() + rng() % xs.size())); };
    auto text = [&] {
        static const char* words[] = {"love",  "this", "colour", "when",           "is",   "the",   "drop",  "ordering",
                                      "again", "so",   "good",   "\\ud83d\\udd25", "size", "guide", "please"};
        std::string t;
        for (int i = 0, k = 3 + static_cast<int>(rng() % 12); i < k; ++i)
            t += std::string(i ? " " : "") + words[rng() % 15];
        return t;
    };
    const std::string page = "17841405822304914";
    std::vector<std::string> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto r = rng() % 100;
        const std::string ts = std::to_string(1718000000 + i);
        std::string head = R"({"object": "instagram", "entry": [{"id": ")" + page + R"(", "time": )" + ts + ", ";
        if (r < 40) {  // comments
            std::string parent = (rng() % 4 == 0) ? R"(, "parent_id": ")" + id() + "\"" : "";
            out.push_back(head + R"("changes": [{"field": "comments", "value": {"from": {"id": ")" + id() +
                          R"(", "username": "user_)" + std::to_string(rng() % 100000) + R"("}, "media": {"id": ")" +
                          id() + R"(", "media_product_type": ")" +
                          pick({"FEED", "FEED", "FEED", "REELS", "REELS", "AD"}) + R"("}, "id": ")" + id() +
                          R"(", "text": ")" + text() + "\"" + parent + "}}]}]}");
        } else if (r < 50) {  // mentions
            std::string comment = (rng() % 2) ? R"(, "comment_id": ")" + id() + "\"" : "";
            out.push_back(head + R"("changes": [{"field": "mentions", "value": {"media_id": ")" + id() + "\"" +
                          comment + "}}]}]}");
        } else if (r < 85) {  // direct messages
            std::string ev = R"({"sender": {"id": ")" + id() + R"("}, "recipient": {"id": ")" + page +
                             R"("}, "timestamp": )" + ts + "123, ";
            const auto k = rng() % 10;
            if (k < 4)
                ev += R"("message": {"mid": "aWdfZAG1faXRlbToxOklHTWVzc2FnZA)" + id() + R"(", "text": ")" + text() +
                      "\"}}";
            else if (k < 6)
                ev += R"("message": {"mid": "aWdfZAG1faXRlbToxOklHTWVzc2FnZA)" + id() +
                      R"(", "attachments": [{"type": ")" + pick({"image", "video", "story_mention", "share"}) +
                      R"(", "payload": {"url": "https://lookaside.fbsbx.com/ig_messaging_cdn/?asset_id=)" + id() +
                      "\"}}]}}";
            else if (k < 7)
                ev += R"("reaction": {"mid": "m)" + id() +
                      R"(", "action": "react", "reaction": "love", "emoji": "\u2764"}})";
            else if (k < 9)
                ev += R"("read": {"mid": "m)" + id() + "\"}}";
            else
                ev += R"("message": {"mid": "m)" + id() + R"(", "text": ")" + text() +
                      R"(", "reply_to": {"story": {"url": "https://lookaside.fbsbx.com/s", "id": ")" + id() + "\"}}}}";
            out.push_back(head + R"("messaging": [)" + ev + "]}]}");
        } else {  // standby
            std::string ev = R"({"sender": {"id": ")" + id() + R"("}, "recipient": {"id": ")" + page +
                             R"("}, "timestamp": )" + ts + "456, ";
            const auto k = rng() % 4;
            if (k < 2)
                ev += R"("message": {"mid": "m)" + id() + R"(", "text": ")" + text() + "\"}}";
            else if (k < 3)
                ev += R"("message": {"mid": "m)" + id() + R"(", "attachments": [{"type": ")" +
                      pick({"image", "video", "ig_reel", "audio", "share"}) + R"(", "payload": {"url": "u"}}]}})";
            else
                ev += R"("read": {"mid": "m)" + id() + "\"}}";
            out.push_back(head + R"("standby": [)" + ev + "]}]}");
        }
    }
    return out;
}

const std::vector<std::string>& deliveries() {
    static const std::vector<std::string> d = make_deliveries(1024);
    return d;
}

const std::vector<json::value>& parsed_deliveries() {
    static const std::vector<json::value> v = [] {
        std::vector<json::value> out;
        for (const auto& t : deliveries()) out.push_back(quillmere::parse_json(t));
        return out;
    }();
    return v;
}

std::size_t total_bytes() {
    std::size_t n = 0;
    for (const auto& t : deliveries()) n += t.size();
    return n;
}

void finish(benchmark::State& state, std::size_t allocations_before) {
    const auto n = static_cast<std::int64_t>(deliveries().size());
    state.SetItemsProcessed(state.iterations() * n);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total_bytes()));
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(g_allocations.load() - allocations_before) /
                                                  static_cast<double>(state.iterations() * n));
}

// Floor: what a host pays to parse each body with the library's parser settings.
void BM_ParseOnly(benchmark::State& state) {
    const auto& d = deliveries();
    std::size_t before = g_allocations.load();
    for (auto _ : state)
        for (const auto& t : d) benchmark::DoNotOptimize(quillmere::parse_json(t));
    finish(state, before);
}

// Floor of the text path: the same parse with the parser scratch space and the value in
// frame-local buffers, as the classifier does internally.
void BM_ParseOnlyInFrame(benchmark::State& state) {
    const auto& d = deliveries();
    std::size_t before = g_allocations.load();
    json::parse_options opt;
    opt.max_depth = quillmere::kMaxJsonDepth;
    for (auto _ : state)
        for (const auto& t : d) {
            alignas(std::max_align_t) unsigned char scratch[2048];
            alignas(std::max_align_t) unsigned char storage[8192];
            json::monotonic_resource mr(storage, sizeof storage);
            json::parser p(json::storage_ptr(), opt, scratch, sizeof scratch);
            p.reset(&mr);
            p.write(t);
            json::value v = p.release();
            benchmark::DoNotOptimize(v);
        }
    finish(state, before);
}

void BM_ClassifyText(benchmark::State& state) {
    const auto& d = deliveries();
    std::size_t before = g_allocations.load();
    for (auto _ : state)
        for (const auto& t : d) benchmark::DoNotOptimize(classify_instagram_event(std::string_view(t)));
    finish(state, before);
}

// One Classifier object kept over all the bodies: its parser and first arena block are reused.
void BM_ClassifyTextWithClassifier(benchmark::State& state) {
    const auto& d = deliveries();
    Classifier classifier;
    std::size_t before = g_allocations.load();
    for (auto _ : state)
        for (const auto& t : d) benchmark::DoNotOptimize(classifier.classify(std::string_view(t)));
    finish(state, before);
}

void BM_ClassifyValue(benchmark::State& state) {
    const auto& v = parsed_deliveries();
    std::size_t before = g_allocations.load();
    for (auto _ : state)
        for (const auto& body : v) benchmark::DoNotOptimize(classify_instagram_event(body));
    finish(state, before);
}

// Every delivery of the mix classifies to a kind: nothing is printed while measuring.
void check_mix() {
    std::size_t kinds = 0;
    for (const auto& body : parsed_deliveries()) kinds += classify_instagram_event(body).has_value();
    if (kinds != deliveries().size()) {
        std::fprintf(stderr, "classify_bench: %zu of %zu deliveries did not classify\n", deliveries().size() - kinds,
                     deliveries().size());
        std::abort();
    }
}

const bool checked = (check_mix(), true);

BENCHMARK(BM_ParseOnly);
BENCHMARK(BM_ParseOnlyInFrame);
BENCHMARK(BM_ClassifyText);
BENCHMARK(BM_ClassifyTextWithClassifier);
BENCHMARK(BM_ClassifyValue);

}  // namespace

BENCHMARK_MAIN();
