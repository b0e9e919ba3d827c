#pragma once
// Calls that cost one round trip however much they carry (a pipelined cache read, a sink
// write), grouped: the calls made while one group runs go together in the next. For
// coroutines of one strand; nothing here is locked.
//
//   GroupedCalls<Keys, Values> reads([&](std::vector<Keys>& group) -> asio::awaitable<std::vector<Values>> {...});
//   Values mine = co_await reads.call(std::move(keys));

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quillmere::host {

template <class In, class Out>
class GroupedCalls {
public:
    // Runs one group: the inputs of its calls, in the order they were made; returns one
    // result per input, in that order. What it throws fails every call of the group.
    using RunGroup = std::function<boost::asio::awaitable<std::vector<Out>>(std::vector<In>&)>;

    explicit GroupedCalls(RunGroup run) : run_(std::move(run)) {}

    boost::asio::awaitable<Out> call(In input) {
        namespace asio = boost::asio;
        auto executor = co_await asio::this_coro::executor;
        auto pending = std::make_shared<Pending>();
        pending->input = std::move(input);
        pending->done = std::make_unique<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
        waiting_.push_back(pending);
        if (!running_) {
            running_ = true;
            asio::co_spawn(executor, drain(), asio::detached);
        }
        boost::system::error_code ignored;
        while (!pending->finished)
            co_await pending->done->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        if (pending->failure) std::rethrow_exception(pending->failure);
        co_return std::move(*pending->output);
    }

    // Groups run so far.
    std::uint64_t groups() const noexcept { return groups_; }

private:
    struct Pending {
        In input;
        std::optional<Out> output;
        std::exception_ptr failure;
        bool finished = false;
        std::unique_ptr<boost::asio::steady_timer> done;
    };

    boost::asio::awaitable<void> drain() {
        while (!waiting_.empty()) {
            auto group = std::move(waiting_);
            waiting_.clear();
            std::vector<In> inputs;
            inputs.reserve(group.size());
            for (const auto& p : group) inputs.push_back(std::move(p->input));
            std::vector<Out> outputs;
            std::exception_ptr failure;
            try {
                outputs = co_await run_(inputs);
                if (outputs.size() != group.size()) throw std::logic_error("a group did not give one result per call");
            } catch (...) {
                failure = std::current_exception();
            }
            ++groups_;
            for (std::size_t i = 0; i < group.size(); ++i) {
                if (failure)
                    group[i]->failure = failure;
                else
                    group[i]->output = std::move(outputs[i]);
                group[i]->finished = true;
                group[i]->done->cancel();
            }
        }
        running_ = false;
    }

    RunGroup run_;
    std::vector<std::shared_ptr<Pending>> waiting_;
    bool running_ = false;
    std::uint64_t groups_ = 0;
};

}  // namespace quillmere::host
