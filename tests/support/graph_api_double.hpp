#pragma once
// A Graph API client double for unit tests: records each call, suspends once on the event
// loop like a real exchange, optionally logs like the real client does on failure, and
// answers with a scripted body or nothing.

#include "quillmere/common/graph_api.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::ludrake::testing {

class GraphApiDouble : public quillmere::GraphApiClient {
public:
    struct Call {
        std::string endpoint, access_token, fields;
        std::optional<QueryParams> extra_params;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    std::optional<std::string> answer;
    std::function<void(Logger&)> on_call;  // what the client logs for this answer

    boost::asio::awaitable<std::optional<std::string>> fetch_instagram_data(
        std::string endpoint, std::string access_token, std::string fields, Logger& logger,
        std::optional<QueryParams> extra_params) override {
        calls.push_back({endpoint, access_token, fields, extra_params});
        co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
        if (on_call) on_call(logger);
        co_return answer;
    }
};

}  // namespace quillmere::ludrake::testing
