#pragma once
// Test support: runs one asynchronous operation to completion on a fresh event loop and
// returns its result (or rethrows its failure).

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <utility>

namespace quillmere::testing {

template <class T>
T run_awaitable(boost::asio::awaitable<T> op) {
    boost::asio::io_context io;
    auto result = boost::asio::co_spawn(io, std::move(op), boost::asio::use_future);
    io.run();
    return result.get();
}

}  // namespace quillmere::testing
