#include "host/receiver.hpp"

#include "host/logging.hpp"
#include "host/signature.hpp"

#include <spdlog/logger.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <type_traits>

namespace quillmere::host {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr std::string_view signature_field = "X-Hub-Signature-256";

// Runs a blocking call on the pool and resumes the caller on its own executor with the
// result (or the failure).
template <class F>
asio::awaitable<std::invoke_result_t<F&>> run_blocking(asio::thread_pool& pool, F call) {
    using Result = std::invoke_result_t<F&>;
    co_return co_await asio::co_spawn(
        pool, [&call]() -> asio::awaitable<Result> { co_return call(); }, asio::use_awaitable);
}

HttpResponse method_not_allowed(std::string_view allow, unsigned version) {
    auto response = text_response(http::status::method_not_allowed, "method not allowed\n", version);
    response.set(http::field::allow, allow);
    return response;
}

std::string peer_text(const tcp::endpoint& peer) { return peer.address().to_string(); }

// The single value of a query parameter; nothing when it is absent or given more than once
// (an ambiguous handshake is refused).
struct Lookup {
    std::optional<std::string> value;
    bool repeated = false;
};

}  // namespace

Receiver::Receiver(const WebhookConfig& config, Queue& queue, Metrics& metrics, asio::thread_pool& blocking)
    : config_(config), queue_(queue), metrics_(metrics), blocking_(blocking), log_(host_logger()) {
    if (config_.app_secret.empty()) {
        throw ConfigError("webhook.app_secret: must be set to receive deliveries (the app secret of the Meta app)");
    }
    if (config_.verify_token.empty()) {
        throw ConfigError("webhook.verify_token: must be set to answer Meta's subscription handshake");
    }
    if (config_.path.empty() || config_.path.front() != '/') {
        throw ConfigError("webhook.path: must start with \"/\"");
    }
    if (config_.path == health_path || config_.path == readiness_path || config_.path == metrics_path) {
        throw ConfigError("webhook.path: " + config_.path + " is served by the service itself");
    }
}

Receiver::~Receiver() = default;

Receiver::Verdict Receiver::examine(const HttpRequest& request) const {
    Verdict verdict;
    const unsigned version = request.version();
    auto answer = [&](http::status status, std::string body) {
        verdict.action = Action::answer;
        verdict.response = text_response(status, std::move(body), version);
    };
    auto target = boost::urls::parse_origin_form(request.target());
    if (!target) {
        answer(http::status::bad_request, "bad request target\n");
        return verdict;
    }
    const std::string path = target->path();
    const auto method = request.method();

    if (path == config_.path) {
        if (method == http::verb::get) {
            verdict.kind = Kind::verification;
            boost::urls::encoding_opts form;
            form.space_as_plus = true;
            auto params = target->params(form);
            auto lookup = [&](std::string_view key) {
                Lookup found;
                for (auto it = params.find(key); it != params.end(); it = params.find(std::next(it), key)) {
                    if (found.value) {
                        found.repeated = true;
                        break;
                    }
                    auto param = *it;
                    found.value = param.has_value ? std::string(param.value) : std::string();
                }
                return found;
            };
            Lookup mode = lookup("hub.mode");
            Lookup token = lookup("hub.verify_token");
            Lookup challenge = lookup("hub.challenge");
            bool accepted = !mode.repeated && !token.repeated && !challenge.repeated && mode.value &&
                            *mode.value == "subscribe" && token.value && challenge.value &&
                            constant_time_equal(*token.value, config_.verify_token.value);
            if (accepted) {
                answer(http::status::ok, std::move(*challenge.value));
                verdict.response.set(http::field::content_type, "text/plain");
                verdict.response.set("X-Content-Type-Options", "nosniff");
            } else {
                answer(http::status::forbidden, "verification failed\n");
            }
            return verdict;
        }
        if (method == http::verb::post) {
            verdict.kind = Kind::delivery;
            // More than one signature header is ambiguous: refused like a malformed one.
            auto fields = request.equal_range(signature_field);
            std::size_t count = static_cast<std::size_t>(std::distance(fields.first, fields.second));
            SignatureCheck check = SignatureCheck::missing;
            if (count == 1) {
                check = check_signature(fields.first->value(), request.body(), config_.app_secret.value);
            } else if (count > 1) {
                check = SignatureCheck::malformed;
            }
            switch (check) {
                case SignatureCheck::valid:
                    verdict.action = Action::enqueue;
                    verdict.digest = hex_sha256(request.body());
                    return verdict;
                case SignatureCheck::missing:
                    verdict.rejection = Rejection::missing_signature;
                    answer(http::status::unauthorized, "missing X-Hub-Signature-256\n");
                    return verdict;
                case SignatureCheck::malformed:
                    verdict.rejection = Rejection::malformed_signature;
                    answer(http::status::unauthorized, "malformed X-Hub-Signature-256\n");
                    return verdict;
                case SignatureCheck::mismatch:
                    verdict.rejection = Rejection::wrong_signature;
                    answer(http::status::unauthorized, "X-Hub-Signature-256 does not match the body\n");
                    return verdict;
            }
        }
        verdict.action = Action::answer;
        verdict.response = method_not_allowed("GET, POST", version);
        return verdict;
    }

    const bool service_path = path == health_path || path == readiness_path || path == metrics_path;
    if (!service_path) {
        answer(http::status::not_found, "not found\n");
        return verdict;
    }
    if (method != http::verb::get) {
        verdict.action = Action::answer;
        verdict.response = method_not_allowed("GET", version);
        return verdict;
    }
    if (path == health_path) {
        answer(http::status::ok, "alive\n");
    } else if (path == readiness_path) {
        verdict.action = Action::readiness;
    } else {
        verdict.action = Action::metrics;
    }
    return verdict;
}

asio::awaitable<HttpResponse> Receiver::handle(HttpRequest& request, const tcp::endpoint& peer) {
    Verdict verdict = examine(request);
    const unsigned version = request.version();
    switch (verdict.action) {
        case Action::answer:
            if (verdict.kind == Kind::delivery) {
                metrics_.delivery_received();
                if (verdict.rejection) {
                    metrics_.delivery_rejected(*verdict.rejection);
                    log_->warn("delivery from {} refused ({} bytes): {}", peer_text(peer), request.body().size(),
                               to_string(*verdict.rejection));
                }
            } else if (verdict.kind == Kind::verification) {
                bool accepted = verdict.response.result() == http::status::ok;
                metrics_.verification(accepted);
                if (accepted) {
                    log_->info("subscription handshake from {} accepted", peer_text(peer));
                } else {
                    log_->warn("subscription handshake from {} refused", peer_text(peer));
                }
            }
            co_return std::move(verdict.response);

        case Action::enqueue: {
            metrics_.delivery_received();
            const std::string& body = request.body();
            try {
                EnqueueResult result =
                    co_await run_blocking(blocking_, [&] { return queue_.enqueue(verdict.digest, body); });
                if (result == EnqueueResult::duplicate) {
                    metrics_.delivery_duplicate();
                    log_->info("delivery {} ({} bytes) is a redelivery: not stored again", verdict.digest, body.size());
                } else {
                    metrics_.delivery_enqueued();
                    log_->info("delivery {} ({} bytes) stored", verdict.digest, body.size());
                }
                co_return text_response(http::status::ok, "", version);
            } catch (const QueueUnavailable& failure) {
                log_->error("delivery {} not stored, answered 503: queue unavailable: {}", verdict.digest,
                            failure.what());
            } catch (const std::exception& failure) {
                log_->error("delivery {} not stored, answered 503: {}", verdict.digest, failure.what());
            }
            metrics_.delivery_rejected(Rejection::queue_unavailable);
            auto response = text_response(http::status::service_unavailable, "queue unavailable\n", version);
            response.set(http::field::retry_after, "10");
            co_return response;
        }

        case Action::readiness: {
            if (draining_) co_return text_response(http::status::service_unavailable, "shutting down\n", version);
            bool ready = false;
            try {
                ready = co_await run_blocking(blocking_, [&] { return queue_.ready(); });
            } catch (const std::exception& failure) {
                log_->warn("readiness: the queue cannot be reached: {}", failure.what());
            }
            if (draining_) co_return text_response(http::status::service_unavailable, "shutting down\n", version);
            co_return ready ? text_response(http::status::ok, "ready\n", version)
                            : text_response(http::status::service_unavailable, "queue unavailable\n", version);
        }

        case Action::metrics: {
            try {
                std::size_t depth = co_await run_blocking(blocking_, [&] { return queue_.depth(); });
                metrics_.queue_depth(depth);
            } catch (const std::exception& failure) {
                log_->warn("metrics: the queue's depth cannot be read: {}", failure.what());
            }
            co_return text_response(http::status::ok, metrics_.text(), version, metrics_content_type);
        }
    }
    co_return text_response(http::status::internal_server_error, "internal error\n", version);
}

HttpResponse Receiver::refuse(http::status status, const HttpRequest* header, const tcp::endpoint& peer) {
    const unsigned version = header ? header->version() : 11;
    bool delivery = false;
    if (header && header->method() == http::verb::post) {
        auto target = boost::urls::parse_origin_form(header->target());
        delivery = target && target->path() == config_.path;
    }
    Rejection rejection = status == http::status::payload_too_large ? Rejection::too_large : Rejection::bad_request;
    if (delivery) {
        metrics_.delivery_received();
        metrics_.delivery_rejected(rejection);
    }
    if (status == http::status::payload_too_large) {
        log_->warn("{} from {} refused: body beyond {} bytes", delivery ? "delivery" : "request", peer_text(peer),
                   config_.max_body);
        return text_response(status, "body too large (at most " + std::to_string(config_.max_body) + " bytes)\n",
                             version);
    }
    log_->warn("{} from {} refused: {}", delivery ? "delivery" : "request", peer_text(peer),
               std::string_view(http::obsolete_reason(status)));
    return text_response(
        status, status == http::status::request_header_fields_too_large ? "header too large\n" : "bad request\n",
        version);
}

}  // namespace quillmere::host
