// quillmere dlq list | replay [--config FILE]: the dead letters of the durable queue, the
// deliveries that kept failing, with the reason of their last failure; replay offers them
// to the workers again.

#include "command.hpp"

#include "host/config.hpp"
#include "host/queue.hpp"

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace quillmere::cli {
namespace {

constexpr const char* kFooter = R"(
The dead letters are those of the [queue] of the configuration (engine "sqlite": the file
at queue.path; engine "redis": the stream "<queue.stream>:dead" at queue.url).

  dlq list     one JSON object per line, oldest first: {"id", "digest", "attempts",
               "last_error", "failed_at", "bytes"}, and "body" (the delivery as received)
               with --bodies
  dlq replay   re-queues the dead letters with the ids given (all of them when none is
               given) as new deliveries, tried from the first attempt again; prints how
               many were re-queued

Exit status: 0 on success; 1 when the queue cannot be used or, for replay, when an id
given is not a dead letter (the others are re-queued); 2 when the configuration cannot
be used (the message names the key).
)";

struct Options {
    std::string config;
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    bool bodies = false;
    std::vector<std::string> ids;
};

// "2026-12-11T09:30:00Z".
std::string utc_text(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

int list(host::Queue& queue, const Options& options) {
    for (const host::DeadLetter& letter : queue.dead_letters(options.limit)) {
        boost::json::object line;
        line["id"] = letter.id;
        line["digest"] = letter.digest;
        line["attempts"] = letter.attempts;
        line["last_error"] = letter.last_error;
        line["failed_at"] = utc_text(letter.failed_at);
        line["bytes"] = letter.body.size();
        if (options.bodies) line["body"] = letter.body;
        std::cout << boost::json::serialize(line) << '\n';
    }
    std::cout << std::flush;
    return std::cout ? 0 : 1;
}

int replay(host::Queue& queue, const Options& options) {
    const std::size_t count = queue.replay(options.ids);
    std::cout << count << (count == 1 ? " dead letter" : " dead letters") << " re-queued\n" << std::flush;
    if (!options.ids.empty() && count < options.ids.size()) {
        const std::size_t missing = options.ids.size() - count;
        std::fprintf(stderr, "quillmere: %zu of the ids given %s\n", missing,
                     missing == 1 ? "is not a dead letter" : "are not dead letters");
        return 1;
    }
    return 0;
}

int run(const Options& options, int (*action)(host::Queue&, const Options&)) {
    try {
        const host::Config config = options.config.empty() ? host::parse_config("") : host::load_config(options.config);
        host::QueueOptions queue_options;
        queue_options.redelivery_window = config.webhook.redelivery_window;
        queue_options.consumer = "quillmere-dlq";
        auto queue = host::open_queue(config.queue, queue_options);
        return action(*queue, options);
    } catch (const host::ConfigError& e) {
        return configuration_error(e);
    } catch (const std::exception& e) {
        return print_failure("", e, 1);
    }
}

void add_dlq(CLI::App& app) {
    auto options = std::make_shared<Options>();
    auto* dlq = app.add_subcommand("dlq", "Show and re-queue the dead letters of the durable queue");
    dlq->footer(kFooter);
    dlq->require_subcommand(1);

    auto* list_cmd = dlq->add_subcommand("list", "Print the dead letters, one JSON object per line");
    list_cmd->add_option("--config", options->config, "The TOML configuration file");
    list_cmd->add_option("--limit", options->limit, "Print at most this many")->check(CLI::PositiveNumber);
    list_cmd->add_flag("--bodies", options->bodies, "Include each delivery's body");
    list_cmd->callback([options] { set_exit_status(run(*options, list)); });

    auto* replay_cmd = dlq->add_subcommand("replay", "Re-queue dead letters (all of them when no id is given)");
    replay_cmd->add_option("--config", options->config, "The TOML configuration file");
    replay_cmd->add_option("ids", options->ids, "Ids of dead letters, as `dlq list` prints them");
    replay_cmd->callback([options] { set_exit_status(run(*options, replay)); });
}

const CommandRegistration registration{add_dlq};

}  // namespace
}  // namespace quillmere::cli
