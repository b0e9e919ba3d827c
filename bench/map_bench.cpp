// Record mapping: apply_rules with the comment and the parent-post tables on realistic
// requests, next to the floor of the same work (parse the request, serialise an object of
// the record's size) in the same run; hashtags and media-type codes.

#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/morvish/media.hpp"
#include "quillmere/pemrith/rules.hpp"
#include "quillmere/tindral/engine.hpp"

#include <benchmark/benchmark.h>

#include <boost/json.hpp>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace json = boost::json;
using namespace quillmere;

namespace {

// A comment on a brand's carousel post: the comment's members, the common details and
// the parent-post members, as the host puts them in one flat request.
constexpr std::string_view kCommentRequest =
    R"({"post_id": "17900000000000011", "comment_text": "Love this jacket! 😍\nWhere can I buy it? #WinterStyle", "comment_time": "2024-05-01T10:20:41+0000", "comment_username": "mira.k", "comment_author_id": "17841411111111111", "comment_likes_count": 3, "comment_follower_count": 812, "comment_follows_count": 301, "comment_tweet_count": 57, "comment_profile_picture": "https://scontent.cdninstagram.com/v/pp/mira.jpg", "type_of": 0, "type_of_comment": 1, "permalink": "https://www.instagram.com/p/C6aBcDeFgHi/", "attachment_xml": "", "in_time": "2024-05-01T10:20:45", "channel_group_id": 3, "channel_type": 29, "category_id": 501, "category_name": "Retail", "brand_id": 9001, "brand_name": "Acme", "setting_id": 77, "author_social_id": "17841400000000001", "user_profile_pic": "https://scontent.cdninstagram.com/v/pp/acme.jpg", "author_user_name": "acme.shop", "m_author_name": "Acme Shop", "parent_post_url": "https://www.instagram.com/p/C6aBcDeFgHi/", "parent_post_social_id": "17998877665544332", "main_post_social_id": "17998877665544332", "post_username": "acme.shop", "post_author_id": "17841400000000001", "is_parent_brand_post": true, "is_brand_post": true, "media_type": "CAROUSEL_ALBUM", "comments_count": 12, "instagram_post_type_data": 1})";

// A brand's carousel post as the Graph API returns it (owner and children), with the
// common details and the members the host adds.
constexpr std::string_view kParentRequest =
    R"({"permalink": "https://www.instagram.com/p/C6aBcDeFgHi/", "id": "17998877665544332", "caption": "Summer drop ☀️ #SummerSale #новинка\r\nShop \"now\" & save <20%> 😀 #SummerSale", "comments_count": 12, "like_count": 345, "media_type": "CAROUSEL_ALBUM", "media_url": "https://scontent.cdninstagram.com/v/t51.29350-15/abc.jpg?_nc_cat=1&ccb=1-7", "owner": {"name": "Acme Shop", "username": "acme.shop", "ig_id": 1234567890, "id": "17841400000000001", "followers_count": 10500, "follows_count": 120, "media_count": 890, "biography": "Official account", "profile_picture_url": "https://scontent.cdninstagram.com/v/pp/acme.jpg", "website": "https://acme.example/"}, "ig_id": 3300000000000000001, "username": "acme.shop", "shortcode": "C6aBcDeFgHi", "media_product_type": "FEED", "is_comment_enabled": true, "timestamp": "2024-05-01T10:15:30+0000", "children": {"data": [{"media_type": "IMAGE", "media_url": "https://scontent.cdninstagram.com/v/1.jpg", "id": "18011"}, {"media_type": "VIDEO", "media_url": "https://scontent.cdninstagram.com/v/2.mp4", "thumbnail_url": "https://scontent.cdninstagram.com/v/2.jpg", "id": "18012"}]}, "in_time": "2024-05-01T10:16:00", "channel_group_id": 3, "channel_type": "15", "category_id": 501, "category_name": "Retail", "brand_id": 9001, "brand_name": "Acme", "setting_id": 77, "author_social_id": "17841400000000001", "user_profile_pic": "https://scontent.cdninstagram.com/v/pp/acme.jpg", "author_user_name": "acme.shop", "m_author_name": "Acme Shop", "post_id": "17998877665544332", "post_id_with_ig_id": "3300000000000000001_17841400000000001", "is_dark_post": false, "instagram_post_type_data": 1, "type_of_comment": 2, "post_author_id": "17841400000000001", "is_brand_post": true})";

struct Fixture {
    std::string text;
    json::value request;
    json::value raw_data;  // the record's RawData as an object: what the floor serialises
};

Fixture make_fixture(std::string_view text, const tindral::RuleTable& rules) {
    Fixture f{std::string(text), parse_json(text), nullptr};
    auto record = tindral::apply_rules(rules, f.request);
    if (!record) throw std::runtime_error("the bench request does not map");
    f.raw_data = parse_json(record->at("RawData").as_string());
    return f;
}

const Fixture& comment() {
    static const Fixture f = make_fixture(kCommentRequest, calvane::rules_obj());
    return f;
}
const Fixture& parent() {
    static const Fixture f = make_fixture(kParentRequest, pemrith::rules_obj());
    return f;
}

// Floor: parse the request and serialise an object of the size of the record's RawData.
void floor(benchmark::State& state, const Fixture& f) {
    std::string out;
    for (auto _ : state) {
        json::value v = parse_json(f.text);
        benchmark::DoNotOptimize(v);
        out.clear();
        write_json_text(out, f.raw_data);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

// Parse the request and apply the table: the host's work per record.
void map(benchmark::State& state, const Fixture& f, const tindral::RuleTable& rules) {
    for (auto _ : state) {
        json::value v = parse_json(f.text);
        auto record = tindral::apply_rules(rules, v);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}

// apply_rules alone, on a request parsed once.
void apply_only(benchmark::State& state, const Fixture& f, const tindral::RuleTable& rules) {
    for (auto _ : state) {
        auto record = tindral::apply_rules(rules, f.request);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}

// apply_rules with the table compiled once, the record in the default storage.
void apply_compiled(benchmark::State& state, const Fixture& f, const tindral::CompiledRules& rules) {
    for (auto _ : state) {
        auto record = tindral::apply_rules(rules, f.request);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}

// The same with the record built in storage the caller reuses for every record.
void apply_compiled_in_storage(benchmark::State& state, const Fixture& f, const tindral::CompiledRules& rules) {
    std::vector<unsigned char> buffer(64 * 1024);
    for (auto _ : state) {
        json::monotonic_resource resource(buffer.data(), buffer.size());
        auto record = tindral::apply_rules(rules, f.request, &resource);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}

// The record as a compact JSON line, without building it: the command's path.
void record_json(benchmark::State& state, const Fixture& f, const tindral::CompiledRules& rules) {
    std::string out;
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(tindral::append_record_json(rules, f.request, out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}

// What the table's handlers alone cost on the request: each called once with the value
// its rule passes it. No engine does less than this.
void handlers_only(benchmark::State& state, const Fixture& f, const tindral::RuleTable& rules) {
    struct Call {
        const tindral::Handler* handler;
        json::value value;
    };
    std::vector<Call> calls;
    for (const auto& [target, rule] : rules) {
        if (!rule.handler_function) continue;
        json::value value = rule.keys.as_array().empty()
                                ? rule.default_value
                                : tindral::get_value_from_keys(rule.keys, f.request.as_object());
        if (value.is_null()) {
            if (rule.skip_if_missing) continue;
            value = rule.default_value;
        }
        calls.push_back({&rule.handler_function, value});
    }
    for (auto _ : state)
        for (const Call& c : calls) {
            json::value v = (*c.handler)(c.value, &f.request);
            benchmark::DoNotOptimize(v);
        }
    state.SetItemsProcessed(state.iterations());
}

// A typed table as JSON data with its handlers by name: what a host that loads its tables
// from data passes to apply_rules.
struct JsonTable {
    json::value rules;
    tindral::HandlerMap handlers;
};

JsonTable json_table(const tindral::RuleTable& table) {
    JsonTable t;
    json::object rules;
    std::size_t n = 0;
    for (const auto& [target, rule] : table) {
        json::object record;
        record["keys"] = rule.keys;
        record["default_value"] = rule.default_value;
        if (rule.handler_function) {
            std::string name = "handler" + std::to_string(n++);
            t.handlers[name] = rule.handler_function;
            record["handler_function"] = name;
        } else {
            record["handler_function"] = nullptr;
        }
        if (rule.clickhouse_column_name) record["clickhouse_column_name"] = *rule.clickhouse_column_name;
        record["mandatory"] = rule.mandatory;
        record["skip_if_missing"] = rule.skip_if_missing;
        rules[target] = std::move(record);
    }
    t.rules = std::move(rules);
    return t;
}

// apply_rules with the table as JSON data (compiled for each call).
void apply_json_table(benchmark::State& state, const Fixture& f, const JsonTable& t) {
    for (auto _ : state) {
        auto record = tindral::apply_rules(t.rules, f.request, t.handlers);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
}

const tindral::CompiledRules& compiled_comment() {
    static const tindral::CompiledRules c(calvane::rules_obj());
    return c;
}
const tindral::CompiledRules& compiled_parent() {
    static const tindral::CompiledRules c(pemrith::rules_obj());
    return c;
}

void BM_CommentFloor(benchmark::State& s) { floor(s, comment()); }
void BM_CommentMap(benchmark::State& s) { map(s, comment(), calvane::rules_obj()); }
void BM_CommentApplyRules(benchmark::State& s) { apply_only(s, comment(), calvane::rules_obj()); }
void BM_CommentApplyCompiled(benchmark::State& s) { apply_compiled(s, comment(), compiled_comment()); }
void BM_CommentApplyCompiledInStorage(benchmark::State& s) {
    apply_compiled_in_storage(s, comment(), compiled_comment());
}
void BM_CommentRecordJson(benchmark::State& s) { record_json(s, comment(), compiled_comment()); }
void BM_CommentHandlersOnly(benchmark::State& s) { handlers_only(s, comment(), calvane::rules_obj()); }
void BM_CommentJsonTable(benchmark::State& s) {
    static const JsonTable t = json_table(calvane::rules_obj());
    apply_json_table(s, comment(), t);
}
void BM_ParentFloor(benchmark::State& s) { floor(s, parent()); }
void BM_ParentMap(benchmark::State& s) { map(s, parent(), pemrith::rules_obj()); }
void BM_ParentApplyRules(benchmark::State& s) { apply_only(s, parent(), pemrith::rules_obj()); }
void BM_ParentApplyCompiled(benchmark::State& s) { apply_compiled(s, parent(), compiled_parent()); }
void BM_ParentApplyCompiledInStorage(benchmark::State& s) { apply_compiled_in_storage(s, parent(), compiled_parent()); }
void BM_ParentRecordJson(benchmark::State& s) { record_json(s, parent(), compiled_parent()); }
void BM_ParentHandlersOnly(benchmark::State& s) { handlers_only(s, parent(), pemrith::rules_obj()); }
void BM_ParentJsonTable(benchmark::State& s) {
    static const JsonTable t = json_table(pemrith::rules_obj());
    apply_json_table(s, parent(), t);
}

void hashtags(benchmark::State& state, const json::value& caption) {
    for (auto _ : state) {
        std::string tags = morvish::get_hashtags(caption);
        benchmark::DoNotOptimize(tags);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(caption.as_string().size()));
}

void BM_HashtagsWithTags(benchmark::State& s) {
    static const json::value caption = parse_json(
        R"("Summer drop \u2600\ufe0f #SummerSale #\u043d\u043e\u0432\u0438\u043d\u043a\u0430 new colours in store and online, )"
        R"(limited stock #acme #Summer2024 #\u00e9t\u00e9 see you there \ud83d\ude00 #SummerSale")");
    hashtags(s, caption);
}
void BM_HashtagsNoTags(benchmark::State& s) {
    static const json::value caption =
        parse_json(R"("Summer drop \u2600\ufe0f new colours in store and online, limited stock while it lasts, )"
                   R"(come and see us this weekend, we have a surprise for everyone \ud83d\ude00 thank you!")");
    hashtags(s, caption);
}

void BM_MediaType(benchmark::State& state) {
    static const json::value names[] = {json::value("IMAGE"),      json::value("video"),  json::value("Carousel_Album"),
                                        json::value("image/jpeg"), json::value("banner"), json::value("")};
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(morvish::get_media_type(names[i]));
        i = (i + 1) % std::size(names);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MediaTypeNonAscii(benchmark::State& state) {
    static const json::value name = parse_json(R"("\u0131mage")");
    for (auto _ : state) benchmark::DoNotOptimize(morvish::get_media_type(name));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_CommentFloor);
BENCHMARK(BM_CommentMap);
BENCHMARK(BM_CommentApplyRules);
BENCHMARK(BM_CommentApplyCompiled);
BENCHMARK(BM_CommentApplyCompiledInStorage);
BENCHMARK(BM_CommentRecordJson);
BENCHMARK(BM_CommentHandlersOnly);
BENCHMARK(BM_CommentJsonTable);
BENCHMARK(BM_ParentFloor);
BENCHMARK(BM_ParentMap);
BENCHMARK(BM_ParentApplyRules);
BENCHMARK(BM_ParentApplyCompiled);
BENCHMARK(BM_ParentApplyCompiledInStorage);
BENCHMARK(BM_ParentRecordJson);
BENCHMARK(BM_ParentHandlersOnly);
BENCHMARK(BM_ParentJsonTable);
BENCHMARK(BM_HashtagsWithTags);
BENCHMARK(BM_HashtagsNoTags);
BENCHMARK(BM_MediaType);
BENCHMARK(BM_MediaTypeNonAscii);

BENCHMARK_MAIN();
