#pragma once
// What the enrichment operations need of the Graph API client: the one fetch operation.
// The client of module graviel implements it; the host passes that instance in, so the
// modules that use it do not link the client's module.

#include "quillmere/common/export.hpp"
#include "quillmere/common/logger.hpp"

#include <boost/asio/awaitable.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillmere {

// Query parameters in the order they are sent.
using QueryParams = std::vector<std::pair<std::string, std::string>>;

class QUILLMERE_COMMON_API GraphApiClient {
public:
    virtual ~GraphApiClient() = default;
    // GET base/version/endpoint with access_token and fields (then extra_params) as the
    // query. The body text on status 200, otherwise nothing; failures are logged to
    // `logger`, never thrown.
    virtual boost::asio::awaitable<std::optional<std::string>> fetch_instagram_data(
        std::string endpoint, std::string access_token, std::string fields, Logger& logger,
        std::optional<QueryParams> extra_params = std::nullopt) = 0;
};

}  // namespace quillmere
