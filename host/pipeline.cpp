#include "host/pipeline.hpp"

#include "host/clickhouse_sink.hpp"
#include "host/enrichment.hpp"
#include "host/fanout.hpp"
#include "host/media.hpp"
#include "host/request_members.hpp"
#include "host/settings.hpp"

#include "quillmere/Brastow/brastow.hpp"
#include "quillmere/adapters/clickhouse_client.hpp"
#include "quillmere/adapters/redis_cache.hpp"
#include "quillmere/adapters/spdlog_logger.hpp"
#include "quillmere/calvane/rules.hpp"
#include "quillmere/common/clock.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/graviel/instagram_api.hpp"
#include "quillmere/ludrake/owner_details.hpp"
#include "quillmere/ludrake/parent_post_details.hpp"
#include "quillmere/morvish/details.hpp"
#include "quillmere/ostrel/classifier.hpp"
#include "quillmere/pemrith/rules.hpp"
#include "quillmere/sendrum/parent_post_cache.hpp"
#include "quillmere/tindral/engine.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <unordered_map>

namespace quillmere::host {
namespace json = boost::json;
using ostrel::InstagramEventType;

namespace {

constexpr std::size_t kPoolThreads = 4;
constexpr std::size_t kMaxReasonLength = 300;

bool is_comment_kind(InstagramEventType kind) {
    return kind == InstagramEventType::COMMENT_ON_FEED || kind == InstagramEventType::COMMENT_REPLY_ON_FEED ||
           kind == InstagramEventType::COMMENT_ON_REEL || kind == InstagramEventType::COMMENT_ON_AD;
}

// An id in text form ("" for anything but a non-empty text or an integer).
std::string id_text(const json::value& id) {
    if (const json::string* s = id.if_string()) return std::string(*s);
    if (id.is_int64()) return std::to_string(id.get_int64());
    if (id.is_uint64()) return std::to_string(id.get_uint64());
    return {};
}

const json::value* find(const json::object* obj, std::string_view key) {
    if (!obj) return nullptr;
    auto it = obj->find(key);
    return it == obj->end() ? nullptr : &it->value();
}

const json::object* find_object(const json::object* obj, std::string_view key) {
    const json::value* v = find(obj, key);
    return v ? v->if_object() : nullptr;
}

// The entry's "time" in the Graph API's text form. Seconds since the epoch; a value above
// 10^11 is milliseconds (no second count reaches it before the year 5000).
json::value entry_time_text(const json::value& time) {
    std::int64_t t = 0;
    if (time.is_int64())
        t = time.get_int64();
    else if (time.is_uint64() && time.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX))
        t = static_cast<std::int64_t>(time.get_uint64());
    else if (time.is_double() && time.get_double() >= 0 && time.get_double() < 9e15)
        t = static_cast<std::int64_t>(time.get_double());
    else
        return nullptr;
    if (t < 0) return nullptr;
    if (t > 100'000'000'000LL) t /= 1000;
    return json::value(format_utc(UtcClock::time_point(std::chrono::seconds(t)), "%Y-%m-%dT%H:%M:%S+0000"));
}

// A failure's message as a short line for the envelope.
std::string reason(std::string_view message) {
    std::string out(message.substr(0, message.find('\n')));
    if (out.size() > kMaxReasonLength) {
        out.resize(kMaxReasonLength);
        out += "...";
    }
    return out;
}

struct IdLists {
    std::string category_ids, brand_ids;
    std::optional<std::string> error;
};

// A parent post as one of the sources gave it.
struct ParentLookup {
    json::object parent;
    std::string source;         // "cache", "clickhouse", "graph_api"; empty: none
    bool fetched_here = false;  // this item's lookup made the Graph API request
    std::vector<std::string> skipped;
};

struct FetchedPost {
    json::object post;  // empty: nothing usable
    std::optional<std::string> problem;
};

struct OwnerLookup {
    json::object details;
    std::vector<std::string> skipped;
};

// What the items of one delivery share: the batch of cache reads, and the posts and
// owners already looked up, so that a batch asks for each once.
struct DeliveryState {
    std::optional<DeliveryCache> cache;
    std::unordered_map<std::string, FetchedPost> posts;
    std::unordered_map<std::string, OwnerLookup> owners;
};

// The work on one item, from its classification to its envelope.
struct ItemWork {
    const DeliveryItem* item = nullptr;
    std::optional<InstagramEventType> kind;
    const json::array* settings = nullptr;
    json::array records;
    json::array media;
    std::optional<std::string> error;
    std::vector<std::string> skipped;
};

}  // namespace

struct Pipeline::Impl {
    Config config;
    asio::strand<asio::any_io_executor> strand;
    BrandSettings settings;
    std::shared_ptr<Logger> logger;
    std::shared_ptr<CacheClient> cache;
    std::shared_ptr<ludrake::AnalyticsClient> analytics;
    std::shared_ptr<GraphApiClient> graph_api_client;
    std::shared_ptr<brastow::Brastow> storage;

    AsyncSemaphore graph_api_places;
    GraphApiCounters graph_api_counters;
    std::unique_ptr<BoundedGraphApi> graph_api;
    NoGraphApi no_graph_api;
    // The cache reads of concurrent deliveries, grouped (with a cache).
    std::optional<GroupedCacheReads> cache_reads;
    // The Graph API client's usage figures, when it is the library's own client.
    const graviel::InstagramAPI* usage_source = nullptr;

    const tindral::CompiledRules comment_rules{calvane::rules_obj()};
    const tindral::CompiledRules parent_rules{pemrith::rules_obj()};

    SingleFlight<FetchedPost> post_fetches;
    SingleFlight<OwnerLookup> owner_lookups;
    SingleFlight<bool> table_creation;
    bool records_table_ready = false;
    std::unordered_map<const json::array*, IdLists> id_lists;
    std::ostringstream classifier_out, classifier_err;

    std::atomic<std::uint64_t> deliveries{0}, items{0}, records{0}, errors{0}, skipped{0};

    // Last member: destroyed (stopped and joined) first, before the clients its work uses.
    asio::thread_pool pool{kPoolThreads};

    Impl(const Config& c, asio::any_io_executor executor, PipelineClients clients);

    asio::awaitable<std::vector<json::object>> run(json::value body, json::value delivery);
    void prepare(ItemWork& work);
    std::vector<std::string> cache_keys(const ItemWork& work);
    asio::awaitable<void> enrich_comment(ItemWork& work, DeliveryState& state);
    asio::awaitable<ParentLookup> find_parent(const json::object& value, const json::object& details,
                                              const json::array& settings_of_account, DeliveryState& state);
    asio::awaitable<FetchedPost> fetch_post(std::string post_id, std::string token);
    asio::awaitable<OwnerLookup> find_owner(json::value owner_id, DeliveryState& state);
    asio::awaitable<bool> create_records_table();
    json::object envelope(ItemWork& work, const json::value& delivery) const;

    const IdLists& ids_of(const json::array& settings_of_account);
    std::string post_token(const json::object& setting) const;
};

namespace {

std::shared_ptr<CacheClient> make_cache(const Config& config) {
    if (!config.redis.configured) return nullptr;
    try {
        return std::make_shared<adapters::RedisCache>(adapters::RedisOptions::from_url(config.redis.url));
    } catch (const std::invalid_argument& e) {
        throw ConfigError(std::string("redis.url: ") + e.what());
    }
}

std::shared_ptr<ludrake::AnalyticsClient> make_analytics(const Config& config) {
    if (!config.clickhouse.configured) return nullptr;
    adapters::ClickHouseOptions options;
    options.url = config.clickhouse.url;
    options.user = config.clickhouse.user;
    options.password = config.clickhouse.password.value;
    try {
        return std::make_shared<adapters::ClickHouseClient>(std::move(options));
    } catch (const std::invalid_argument& e) {
        throw ConfigError(std::string("clickhouse.url: ") + e.what());
    }
}

std::shared_ptr<GraphApiClient> make_graph_api(const Config& config) {
    if (!config.graph_api.configured) return nullptr;
    graviel::InstagramApiOptions options;
    options.extra_ca_file = config.graph_api.extra_ca_file;
    try {
        auto& api = graviel::InstagramAPI::instance(config.graph_api.base_url, config.graph_api.version, options);
        return std::shared_ptr<GraphApiClient>(&api, [](GraphApiClient*) {});  // process-wide, never freed
    } catch (const std::exception& e) {
        throw ConfigError(std::string("graph_api.base_url: ") + e.what());
    }
}

// The highest figure of the usage the Graph API last reported, in percent (0 before any);
// an account that must wait to regain access counts as 100.
double highest_usage(const graviel::GraphApiUsage& usage) {
    double high = 0;
    auto take = [&high](std::int64_t figure) { high = std::max(high, static_cast<double>(figure)); };
    if (usage.app) {
        take(usage.app->call_count);
        take(usage.app->total_cputime);
        take(usage.app->total_time);
    }
    for (const auto& [business, entries] : usage.businesses) {
        for (const auto& e : entries) {
            take(e.call_count);
            take(e.total_cputime);
            take(e.total_time);
            if (e.estimated_time_to_regain_access > 0) take(100);
        }
    }
    return high;
}

std::shared_ptr<brastow::Brastow> make_storage(const Config& config) {
    if (!config.storage.configured) return nullptr;
    if (config.storage.bucket.empty()) throw ConfigError("storage.bucket: a bucket is needed to keep media");
    try {
        return std::make_shared<brastow::Brastow>(config.storage.access_key.value, config.storage.secret_key.value,
                                                  config.storage.environment, config.storage.region,
                                                  config.storage.endpoint);
    } catch (const std::exception& e) {
        throw ConfigError(std::string("storage: ") + e.what());
    }
}

}  // namespace

Pipeline::Impl::Impl(const Config& c, asio::any_io_executor executor, PipelineClients clients)
    : config(c),
      strand(asio::make_strand(std::move(executor))),
      settings(c.settings.file.empty() ? BrandSettings() : BrandSettings::load(c.settings.file)),
      logger(clients.logger ? clients.logger : std::make_shared<adapters::SpdlogLogger>("quillmere")),
      cache(clients.cache ? clients.cache : make_cache(c)),
      analytics(clients.analytics ? clients.analytics : make_analytics(c)),
      graph_api_client(clients.graph_api ? clients.graph_api : make_graph_api(c)),
      storage(clients.storage ? clients.storage : make_storage(c)),
      graph_api_places(c.graph_api.max_in_flight) {
    if (cache) cache_reads.emplace(*cache, pool);
    if (graph_api_client) {
        std::optional<UsageBrake> brake;
        usage_source = dynamic_cast<const graviel::InstagramAPI*>(graph_api_client.get());
        if (usage_source) {
            brake = UsageBrake{[api = usage_source] { return highest_usage(api->usage()); },
                               c.graph_api.usage_threshold, c.graph_api.usage_interval};
        }
        graph_api = std::make_unique<BoundedGraphApi>(*graph_api_client, graph_api_places, graph_api_counters,
                                                      std::move(brake));
    }
}

const IdLists& Pipeline::Impl::ids_of(const json::array& settings_of_account) {
    auto it = id_lists.find(&settings_of_account);
    if (it != id_lists.end()) return it->second;
    IdLists lists;
    try {
        std::tie(lists.category_ids, lists.brand_ids) =
            morvish::extract_brand_ids_and_category_ids(json::value(settings_of_account));
    } catch (const std::exception& e) {
        lists.error = reason(e.what());
    }
    return id_lists.emplace(&settings_of_account, std::move(lists)).first->second;
}

std::string Pipeline::Impl::post_token(const json::object& setting) const {
    if (!config.graph_api.token_member.empty())
        if (const json::value* v = find(&setting, config.graph_api.token_member))
            if (const json::string* s = v->if_string(); s && !s->empty()) return std::string(*s);
    return config.graph_api.access_token.value;
}

void Pipeline::Impl::prepare(ItemWork& work) {
    const DeliveryItem& item = *work.item;
    if (!item.error.empty()) {
        work.error = item.error;
        return;
    }
    work.kind = ostrel::classify_instagram_event(item.body, classifier_out, classifier_err);
    if (classifier_out.tellp() > 0) {
        std::string line = classifier_out.str();
        classifier_out.str("");
        classifier_err.str("");
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        logger->warning("item " + std::to_string(item.index) + ": " + line);
        work.error = "the item cannot be classified: " + reason(line.substr(0, line.find(" for event is: ")));
        return;
    }
    work.settings = settings.find(item.account_id);
    if (!work.settings || work.settings->empty()) {
        work.settings = nullptr;
        const std::string id = item.account_id.is_null() ? std::string("null") : text_form(item.account_id);
        work.error = "no brand settings for account " + reason(id);
    }
}

// The "sng:" keys get_parent_post_from_cached will read for a comment, and the owner-details
// key of the account (the usual owner of the commented post), to read them in one batch.
std::vector<std::string> Pipeline::Impl::cache_keys(const ItemWork& work) {
    std::vector<std::string> keys;
    const json::object* value = nullptr;
    try {
        value = work.item->body.at("entry").at(0).at("changes").at(0).at("value").if_object();
    } catch (const std::exception&) {
        return keys;
    }
    const json::value* media_id_value = find(find_object(value, "media"), "id");
    const std::string media_id = media_id_value ? id_text(*media_id_value) : std::string();
    const IdLists& lists = ids_of(*work.settings);
    if (!media_id.empty() && !lists.error) {
        const std::string channel_type = std::to_string(ostrel::value(ostrel::InstaChannelsEnum::InstagramPagePosts));
        std::string_view cats = lists.category_ids, brands = lists.brand_ids;
        for (std::size_t pairs = 0;; ++pairs) {
            const auto c_end = cats.find(','), b_end = brands.find(',');
            keys.push_back(
                sendrum::parent_post_cache_key(cats.substr(0, c_end), brands.substr(0, b_end), channel_type, media_id));
            if (c_end == std::string_view::npos || b_end == std::string_view::npos || pairs > 100000) break;
            cats.remove_prefix(c_end + 1);
            brands.remove_prefix(b_end + 1);
        }
    }
    if (!id_text(work.item->account_id).empty()) keys.push_back(ludrake::owner_details_key(work.item->account_id));
    return keys;
}

asio::awaitable<FetchedPost> Pipeline::Impl::fetch_post(std::string post_id, std::string token) {
    FetchedPost out;
    try {
        // Arguments as named values: no temporary with a destructor in a co_await expression
        // (GCC 12 destroys some of them twice).
        json::value id(post_id), access_token(token), fields(morvish::kParentPostFields);
        auto op = ludrake::call_api_to_get_parent_post_details(std::move(id), *graph_api, std::move(access_token),
                                                               std::move(fields), *logger);
        json::value post = co_await std::move(op);
        const json::object* obj = post.if_object();
        if (!obj)
            out.problem = post.is_null() ? "no answer for post " + post_id + " (see the log)"
                                         : "the answer for post " + post_id + " is not an object";
        else if (const json::value* error = find(obj, "error"); error && is_set(*error))
            out.problem = "the answer for post " + post_id + " reports an error";
        else
            out.post = *obj;
    } catch (const std::exception& e) {
        out.problem = "post " + post_id + ": " + reason(e.what());
    }
    co_return out;
}

asio::awaitable<ParentLookup> Pipeline::Impl::find_parent(const json::object& value, const json::object& details,
                                                          const json::array& settings_of_account,
                                                          DeliveryState& state) {
    ParentLookup out;
    DeliveryCache* delivery_cache = state.cache ? &*state.cache : nullptr;
    const json::value* media_id_value = find(find_object(&value, "media"), "id");
    const std::string media_id = media_id_value ? id_text(*media_id_value) : std::string();
    if (media_id.empty()) co_return out;
    const IdLists& lists = ids_of(settings_of_account);

    // 1. Summaries cached for the post.
    if (delivery_cache && lists.error) {
        out.skipped.push_back("redis: parent-post cache: brand settings: " + *lists.error);
    } else if (delivery_cache) {
        ItemCacheView view(*delivery_cache);
        json::value cats(lists.category_ids), brands(lists.brand_ids),
            channel(ostrel::value(ostrel::InstaChannelsEnum::InstagramPagePosts)), social(media_id);
        auto op = sendrum::get_parent_post_from_cached(std::move(cats), std::move(brands), std::move(channel),
                                                       std::move(social), view, *logger);
        json::value found = co_await std::move(op);
        if (view.failure())
            out.skipped.push_back("redis: parent-post cache: " + reason(*view.failure()));
        else if (const json::array* summaries = found.if_array(); summaries && !summaries->empty())
            if (const json::object* first = (*summaries)[0].if_object()) {
                out.parent = *first;
                out.source = "cache";
                co_return out;
            }
    }

    // 2. The post as stored in ClickHouse.
    if (analytics) {
        std::optional<std::int64_t> group;
        try {
            group = to_integer(details.at("channel_group_id"));
        } catch (const std::exception&) {}
        // The records go to ClickHouse too: the table they go to is the one read here, and
        // it is made before the first read, so that a first run does not find it missing.
        std::optional<std::string> table_failure;
        if (config.output.clickhouse && !records_table_ready) {
            try {
                auto op = table_creation.run("records", [this] { return create_records_table(); });
                records_table_ready = (co_await std::move(op)).first;
            } catch (const std::exception& e) {
                table_failure = reason(e.what());
            }
        }
        if (table_failure) {
            out.skipped.push_back("clickhouse: " + *table_failure);
        } else if (lists.error) {
            out.skipped.push_back("clickhouse: brand settings: " + *lists.error);
        } else if (!group) {
            out.skipped.push_back("clickhouse: the channel group id is not an integer");
        } else {
            const json::value* author = find(find_object(&value, "from"), "id");
            std::optional<std::string> failure;
            json::value rows;
            try {
                json::value post_id(media_id), author_id(author ? *author : json::value()), cats(lists.category_ids),
                    brands(lists.brand_ids), group_id(*group);
                auto op = awaitable_on_pool(pool, ludrake::extracting_parent_post_for_comments(
                                                      *analytics, std::move(post_id), std::move(author_id),
                                                      std::move(cats), std::move(brands), std::move(group_id)));
                rows = co_await std::move(op);
            } catch (const std::exception& e) {
                failure = reason(e.what());
            }
            if (failure) {
                out.skipped.push_back("clickhouse: " + *failure);
            } else if (const json::array* records = rows.if_array(); records && !records->empty()) {
                // The first record with the author's counters (a full record), else the first.
                const json::object* chosen = nullptr;
                for (const json::value& r : *records) {
                    const json::object* o = r.if_object();
                    if (!o) continue;
                    if (o->contains("is_brand_post")) {
                        chosen = o;
                        break;
                    }
                    if (!chosen) chosen = o;
                }
                if (chosen) {
                    out.parent = *chosen;
                    out.source = "clickhouse";
                    co_return out;
                }
            }
        }
    }

    // 3. The Graph API; concurrent comments on one post share one request.
    if (graph_api) {
        const std::string token = post_token(settings_of_account.at(0).as_object());
        if (token.empty()) {
            out.skipped.push_back("graph_api: no access token for the account's posts");
            co_return out;
        }
        std::string key = media_id;
        key += '\n';
        key += token;
        FetchedPost fetched;
        bool ran_here = false;
        if (auto it = state.posts.find(key); it != state.posts.end()) {
            fetched = it->second;  // asked for by an earlier item of this delivery
        } else {
            auto [result, leader] =
                co_await post_fetches.run(key, [this, &media_id, &token] { return fetch_post(media_id, token); });
            state.posts.emplace(key, result);
            fetched = std::move(result);
            ran_here = leader;
        }
        if (fetched.problem) {
            out.skipped.push_back("graph_api: " + *fetched.problem);
        } else {
            out.parent = std::move(fetched.post);
            out.source = "graph_api";
            out.fetched_here = ran_here;
        }
    }
    co_return out;
}

asio::awaitable<bool> Pipeline::Impl::create_records_table() {
    auto& db = *analytics;
    co_await on_pool(pool, [&db] {
        for (const std::string& statement : records_table_ddl()) db.execute(statement);
    });
    co_return true;
}

asio::awaitable<OwnerLookup> Pipeline::Impl::find_owner(json::value owner_id, DeliveryState& state) {
    OwnerLookup out;
    DeliveryCache* delivery_cache = state.cache ? &*state.cache : nullptr;
    const json::value dm_token(config.graph_api.dm_access_token.value);
    const bool can_fetch = graph_api && !config.graph_api.dm_access_token.empty();
    if (delivery_cache) {
        std::vector<std::string> keys;
        keys.push_back(ludrake::owner_details_key(owner_id));
        co_await delivery_cache->prefetch(*cache_reads, std::move(keys));
        ItemCacheView view(*delivery_cache);
        GraphApiClient& api = can_fetch ? static_cast<GraphApiClient&>(*graph_api) : no_graph_api;
        std::optional<std::string> failure;
        json::value found;
        try {
            auto op = ludrake::check_owner_details_in_redis(owner_id, dm_token, view, api, *logger);
            found = co_await std::move(op);
        } catch (const std::exception& e) {
            failure = reason(e.what());
        }
        if (!failure) {
            co_await view.flush(pool);
            if (view.failure()) out.skipped.push_back("redis: owner details not stored: " + reason(*view.failure()));
            if (const json::object* details = found.if_object()) out.details = *details;
            co_return out;
        }
        out.skipped.push_back("redis: owner details: " + *failure);
    }
    if (can_fetch) {
        auto op = ludrake::fetch_brand_post_owner_details(owner_id, dm_token, *graph_api, *logger);
        json::object fetched = co_await std::move(op);
        // The cached form carries no "id"; neither does this one.
        json::object details;
        for (const auto& m : fetched)
            if (m.key() != "id") details.emplace(m.key(), m.value());
        out.details = std::move(details);
    }
    co_return out;
}

asio::awaitable<void> Pipeline::Impl::enrich_comment(ItemWork& work, DeliveryState& state) {
    try {
        const DeliveryItem& item = *work.item;
        const json::object& value = item.body.at("entry").at(0).at("changes").at(0).at("value").as_object();
        const json::value& setting_value = work.settings->at(0);
        const json::object& setting = setting_value.as_object();
        const auto& channel = ostrel::value(*work.kind).channel;
        json::value channel_type = channel ? json::value(ostrel::value(*channel)) : json::value();
        const json::value* group = find(&setting, "ChannelGroupID");
        const json::object details = morvish::extracting_common_details(
            setting_value, channel_type, group ? *group : config.settings.channel_group_id);

        ParentLookup parent = co_await find_parent(value, details, *work.settings, state);
        for (auto& s : parent.skipped) work.skipped.push_back(std::move(s));

        // The owner of the post: the Graph API's owner, else the account the webhook is for.
        json::value owner_id = item.account_id;
        const json::object* post_owner = parent.source == "graph_api" ? find_object(&parent.parent, "owner") : nullptr;
        if (const json::value* id = find(post_owner, "id"); id && !id_text(*id).empty()) owner_id = *id;
        OwnerLookup owner;
        if (!id_text(owner_id).empty() && (cache || graph_api)) {
            const std::string key = id_text(owner_id);
            if (auto it = state.owners.find(key); it != state.owners.end()) {
                owner = it->second;
            } else {
                auto [found, leader] =
                    co_await owner_lookups.run(key, [this, &owner_id, &state] { return find_owner(owner_id, state); });
                state.owners.emplace(key, found);
                owner = std::move(found);
            }
            for (auto& s : owner.skipped) work.skipped.push_back(std::move(s));
        }

        // What the host computes for the tables.
        json::object host;
        if (json::value t = entry_time_text(item.entry_time); !t.is_null()) host["entry_time"] = std::move(t);
        const bool reply = *work.kind == InstagramEventType::COMMENT_REPLY_ON_FEED;
        host["type_of"] = reply ? 1 : 0;
        if (const json::value* replied = find(&value, "parent_id"); reply && replied)
            host["replied_comment_id"] = *replied;
        host["account_id"] = item.account_id;
        if (parent.source == "graph_api") {
            const json::value* id = find(post_owner, "id");
            host["parent_owned_by_account"] = id && !id_text(*id).empty() && id_text(*id) == id_text(item.account_id);
            json::object merged = post_owner ? *post_owner : json::object();
            for (const auto& m : owner.details)
                if (!merged.contains(m.key())) merged.emplace(m.key(), m.value());
            host["owner"] = std::move(merged);
        }

        // The owner's details describe the comment's author when the author owns the post.
        const json::value* author_id = find(find_object(&value, "from"), "id");
        const bool author_owns_post =
            author_id && !id_text(*author_id).empty() && id_text(*author_id) == id_text(owner_id);

        RequestSources sources{&details, &value, &host, parent.source.empty() ? nullptr : &parent.parent,
                               author_owns_post && !owner.details.empty() ? &owner.details : nullptr};
        json::value request = build_request(comment_request_members(), sources);
        if (auto record = tindral::apply_rules(comment_rules, request)) {
            json::object r;
            r["table"] = "comment";
            r["record"] = std::move(*record);
            work.records.push_back(std::move(r));
        } else {
            work.error = "the comment record could not be built (the rule engine logged why)";
        }

        if (parent.source == "graph_api" && parent.fetched_here) {
            json::value parent_request = build_request(parent_request_members(), sources);
            if (auto record = tindral::apply_rules(parent_rules, parent_request)) {
                json::object r;
                r["table"] = "parent";
                r["record"] = std::move(*record);
                work.records.push_back(std::move(r));
            } else if (!work.error) {
                work.error = "the parent-post record could not be built (the rule engine logged why)";
            }
            if (storage) {
                std::vector<MediaObject> wanted = media_of_post(parent.parent);
                if (!wanted.empty()) {
                    auto& store = *storage;
                    const std::string& bucket = config.storage.bucket;
                    work.media = co_await on_pool(
                        pool, [&store, &bucket, &wanted] { return store_media(store, bucket, wanted); });
                }
            }
        }
    } catch (const std::exception& e) {
        work.error = reason(e.what());
    }
}

json::object Pipeline::Impl::envelope(ItemWork& work, const json::value& delivery) const {
    json::object e;
    e.reserve(11);
    e["delivery"] = delivery;
    e["item"] = work.item->index;
    e["account_id"] = work.item->account_id;
    if (work.kind) {
        const auto& v = ostrel::value(*work.kind);
        e["kind"] = ostrel::name(*work.kind);
        e["event_type"] = v.event_type;
        e["channel"] = v.channel ? json::value(ostrel::value(*v.channel)) : json::value();
        e["topic"] = v.topic ? json::value(ostrel::value(*v.topic)) : json::value();
    } else {
        e["kind"] = nullptr;
        e["event_type"] = nullptr;
        e["channel"] = nullptr;
        e["topic"] = nullptr;
    }
    // Moved, not copied: the work of the item ends here.
    e["records"] = std::move(work.records);
    e["media"] = std::move(work.media);
    e["error"] = work.error ? json::value(*work.error) : json::value();
    if (!work.skipped.empty()) {
        json::array skipped;
        for (const auto& s : work.skipped) skipped.push_back(json::value(s));
        e["skipped"] = std::move(skipped);
    }
    return e;
}

asio::awaitable<std::vector<json::object>> Pipeline::Impl::run(json::value body, json::value delivery) {
    const std::vector<DeliveryItem> fanned = fan_out(body);
    std::vector<ItemWork> works(fanned.size());
    std::vector<std::size_t> comments;
    for (std::size_t i = 0; i < fanned.size(); ++i) {
        works[i].item = &fanned[i];
        prepare(works[i]);
        if (!works[i].error && works[i].kind && is_comment_kind(*works[i].kind)) comments.push_back(i);
    }

    DeliveryState state;
    if (cache && !comments.empty()) {
        state.cache.emplace(*cache);
        std::vector<std::string> keys;
        for (std::size_t i : comments) {
            auto k = cache_keys(works[i]);
            keys.insert(keys.end(), std::make_move_iterator(k.begin()), std::make_move_iterator(k.end()));
        }
        co_await state.cache->prefetch(*cache_reads, std::move(keys));
    }

    if (comments.size() == 1) {
        co_await enrich_comment(works[comments[0]], state);
    } else if (!comments.empty()) {
        // Every comment in flight at once; wait for the last one.
        struct Join {
            std::size_t remaining;
            asio::steady_timer done;
        };
        auto join = std::make_shared<Join>(
            Join{comments.size(), asio::steady_timer(strand, asio::steady_timer::time_point::max())});
        for (std::size_t i : comments)
            asio::co_spawn(strand, enrich_comment(works[i], state), [join](std::exception_ptr) {
                if (--join->remaining == 0) join->done.cancel();
            });
        boost::system::error_code ec;
        if (join->remaining > 0) co_await join->done.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }

    std::vector<json::object> envelopes;
    envelopes.reserve(works.size());
    std::uint64_t n_records = 0, n_errors = 0, n_skipped = 0;
    for (ItemWork& w : works) {
        n_records += w.records.size();
        n_errors += w.error ? 1 : 0;
        n_skipped += w.skipped.empty() ? 0 : 1;
        envelopes.push_back(envelope(w, delivery));
    }
    deliveries.fetch_add(1, std::memory_order_relaxed);
    items.fetch_add(works.size(), std::memory_order_relaxed);
    records.fetch_add(n_records, std::memory_order_relaxed);
    errors.fetch_add(n_errors, std::memory_order_relaxed);
    skipped.fetch_add(n_skipped, std::memory_order_relaxed);
    co_return envelopes;
}

Pipeline::Pipeline(const Config& config, asio::any_io_executor executor)
    : Pipeline(config, std::move(executor), PipelineClients{}) {}

Pipeline::Pipeline(const Config& config, asio::any_io_executor executor, PipelineClients clients)
    : impl_(std::make_unique<Impl>(config, std::move(executor), std::move(clients))) {}

Pipeline::~Pipeline() = default;

asio::awaitable<std::vector<json::object>> Pipeline::process(std::string_view body, json::value delivery) {
    json::value parsed;
    try {
        parsed = parse_json(body);
    } catch (const boost::system::system_error& e) {
        throw DeliveryError("the delivery is not JSON: " + e.code().message());
    }
    if (!parsed.is_object()) throw DeliveryError("the delivery is not a JSON object");
    // On the pipeline's strand: its state is touched by one thread at a time.
    return asio::co_spawn(impl_->strand, impl_->run(std::move(parsed), std::move(delivery)), asio::use_awaitable);
}

PipelineStats Pipeline::stats() const {
    PipelineStats s;
    s.deliveries = impl_->deliveries.load(std::memory_order_relaxed);
    s.items = impl_->items.load(std::memory_order_relaxed);
    s.records = impl_->records.load(std::memory_order_relaxed);
    s.errors = impl_->errors.load(std::memory_order_relaxed);
    s.skipped = impl_->skipped.load(std::memory_order_relaxed);
    s.graph_api_requests = impl_->graph_api_counters.requests.load(std::memory_order_relaxed);
    s.graph_api_answered = impl_->graph_api_counters.answered.load(std::memory_order_relaxed);
    s.graph_api_unanswered = impl_->graph_api_counters.unanswered.load(std::memory_order_relaxed);
    s.graph_api_failed = impl_->graph_api_counters.failed.load(std::memory_order_relaxed);
    s.graph_api_in_flight = impl_->graph_api_counters.in_flight.load(std::memory_order_relaxed);
    s.graph_api_slowed = impl_->graph_api_counters.slowed.load(std::memory_order_relaxed);
    if (impl_->usage_source) s.graph_api_usage = impl_->usage_source->usage();
    return s;
}

}  // namespace quillmere::host
