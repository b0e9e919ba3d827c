#include "quillmere/adapters/redis_connection.hpp"

#include "resp_stub.hpp"
#include "support/servers.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace quillmere::testing {
namespace {

using adapters::RedisCallOptions;
using adapters::RedisConnection;
using adapters::RedisError;
using adapters::RedisOptions;
using adapters::RedisReply;
using Kind = RedisReply::Kind;
using namespace std::chrono_literals;

RedisOptions local(int port) {
    RedisOptions o;
    o.port = port;
    return o;
}

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(RedisConnection, EveryReplyKind) {
    RedisConnection redis(local(Servers::redis().port()));
    RedisAdmin admin(Servers::redis().port());
    admin.command({"DEL", "conn:s", "conn:list", "conn:n"});
    const std::string binary("\0x\r\n\xff", 5);

    RedisReply r = redis.command({"SET", "conn:s", binary});
    EXPECT_EQ(r.kind, Kind::status);
    EXPECT_EQ(r.text, "OK");
    r = redis.command({"GET", "conn:s"});
    EXPECT_EQ(r.kind, Kind::string);
    EXPECT_EQ(r.text, binary);
    r = redis.command({"GET", "conn:absent"});
    EXPECT_TRUE(r.is_nil());
    r = redis.command({"INCRBY", "conn:n", "-9000000000"});
    EXPECT_EQ(r.kind, Kind::integer);
    EXPECT_EQ(r.integer, -9000000000);
    redis.command({"RPUSH", "conn:list", "a", "", "c"});
    r = redis.command({"LRANGE", "conn:list", "0", "-1"});
    ASSERT_EQ(r.kind, Kind::array);
    ASSERT_EQ(r.elements.size(), 3u);
    EXPECT_EQ(r.elements[1].kind, Kind::string);
    EXPECT_EQ(r.elements[1].text, "");
    EXPECT_EQ(r.elements[2].text, "c");

    r = redis.command({"GET", "conn:list"});  // an error reply is a reply, not a failure
    EXPECT_TRUE(r.is_error());
    EXPECT_EQ(r.text, "WRONGTYPE Operation against a key holding the wrong kind of value");
    EXPECT_EQ(redis.command({"GET", "conn:s"}).text, binary);  // and the connection stays in step

    EXPECT_THROW(redis.command({}), std::invalid_argument);
}

TEST(RedisConnection, StreamsWithAConsumerGroup) {
    RedisConnection redis(local(Servers::redis().port()));
    redis.command({"DEL", "conn:stream"});
    ASSERT_EQ(redis.command({"XGROUP", "CREATE", "conn:stream", "workers", "$", "MKSTREAM"}).text, "OK");
    const RedisReply id = redis.command({"XADD", "conn:stream", "*", "body", "{\"entry\":[]}"});
    ASSERT_EQ(id.kind, Kind::string);

    const RedisReply read =
        redis.command({"XREADGROUP", "GROUP", "workers", "w1", "COUNT", "10", "STREAMS", "conn:stream", ">"});
    // [[stream, [[id, [field, value]]]]]
    ASSERT_EQ(read.kind, Kind::array);
    ASSERT_EQ(read.elements.size(), 1u);
    const RedisReply& stream = read.elements[0];
    EXPECT_EQ(stream.elements.at(0).text, "conn:stream");
    const RedisReply& entry = stream.elements.at(1).elements.at(0);
    EXPECT_EQ(entry.elements.at(0).text, id.text);
    EXPECT_EQ(entry.elements.at(1).elements.at(0).text, "body");
    EXPECT_EQ(entry.elements.at(1).elements.at(1).text, "{\"entry\":[]}");

    // Not acknowledged: another consumer claims it.
    const RedisReply claimed = redis.command({"XAUTOCLAIM", "conn:stream", "workers", "w2", "0", "0-0"});
    ASSERT_EQ(claimed.kind, Kind::array);
    EXPECT_EQ(claimed.elements.at(1).elements.at(0).elements.at(0).text, id.text);
    EXPECT_EQ(redis.command({"XACK", "conn:stream", "workers", id.text}).integer, 1);
    EXPECT_EQ(redis.command({"XACK", "conn:stream", "workers", id.text}).integer, 0);

    // Nothing new: a blocking read gives nil after its BLOCK time.
    RedisCallOptions blocking;
    blocking.timeout = 2000ms;
    EXPECT_TRUE(
        redis.command({"XREADGROUP", "GROUP", "workers", "w1", "BLOCK", "50", "STREAMS", "conn:stream", ">"}, blocking)
            .is_nil());
}

TEST(RedisConnection, PipelineIsOneRoundTripInOrder) {
    // The stub answers nothing until all three commands have arrived: a client that waited
    // for each reply before sending the next would time out.
    RespStub stub(RespStubScript::commands_pending(3));
    RedisOptions o = local(stub.port());
    o.command_timeout = 3000ms;
    RedisConnection redis(o);
    const auto replies = redis.pipeline({{"GET", "a"}, {"SET", "b", "2"}, {"GET", "c"}});
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].text, "a");
    EXPECT_EQ(replies[1].text, "2");
    EXPECT_EQ(replies[2].text, "c");
    EXPECT_EQ(stub.connections_accepted(), 1u);
    EXPECT_TRUE(redis.pipeline({}).empty());
}

TEST(RedisConnection, PipelineAgainstRedisKeepsErrorRepliesInPlace) {
    RedisConnection redis(local(Servers::redis().port()));
    redis.command({"DEL", "conn:p"});
    const auto replies = redis.pipeline({{"SET", "conn:p", "text"}, {"INCR", "conn:p"}, {"GET", "conn:p"}});
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].text, "OK");
    EXPECT_TRUE(replies[1].is_error());
    EXPECT_EQ(replies[1].text, "ERR value is not an integer or out of range");
    EXPECT_EQ(replies[2].text, "text");
}

TEST(RedisConnection, PerCallTimeOutForBlockingCommands) {
    RedisOptions o = local(Servers::redis().port());
    o.command_timeout = 100ms;
    RedisConnection redis(o);
    redis.command({"DEL", "conn:empty"});
    EXPECT_EQ(message_of([&] {
                  redis.command({"BLPOP", "conn:empty", "0.4"});
              }),
              "Redis BLPOP at " + redis.where() + " timed out after 100 ms");
    RedisCallOptions longer;
    longer.timeout = 3000ms;
    EXPECT_TRUE(redis.command({"BLPOP", "conn:empty", "0.4"}, longer).is_nil());
    // The call's bound does not stay: the next call has the default one again.
    EXPECT_EQ(message_of([&] {
                  redis.command({"BLPOP", "conn:empty", "0.4"});
              }),
              "Redis BLPOP at " + redis.where() + " timed out after 100 ms");
    EXPECT_EQ(redis.command({"PING"}).text, "PONG");  // reconnects after the time-out
    longer.timeout = 0ms;
    EXPECT_THROW(redis.command({"PING"}, longer), std::invalid_argument);
}

TEST(RedisConnection, BrokenConnectionIsResentOnceOnlyWhenAllowed) {
    // The second command's connection is closed instead of answered, as a server does that
    // drops an idle client just as the command arrives.
    {
        RespStub stub(RespStubScript::dropping(2));
        RedisConnection redis(local(stub.port()));
        EXPECT_EQ(redis.command({"GET", "first"}).text, "first");
        EXPECT_EQ(redis.command({"GET", "second"}).text, "second");
        EXPECT_EQ(stub.commands().size(), 3u);  // sent twice
        EXPECT_EQ(stub.connections_accepted(), 2u);
    }
    {
        RespStub stub(RespStubScript::dropping(2));
        RedisConnection redis(local(stub.port()));
        EXPECT_EQ(redis.command({"XADD", "s", "*", "f", "first"}).text, "first");
        RedisCallOptions once;
        once.resend_on_broken_connection = false;
        const std::string m = message_of([&] { redis.command({"XADD", "s", "*", "f", "second"}, once); });
        EXPECT_EQ(m.rfind("Redis XADD at " + redis.where() + " failed: ", 0), 0u) << m;
        EXPECT_EQ(m.find("second"), std::string::npos) << m;  // arguments never appear
        EXPECT_EQ(stub.commands().size(), 2u);
        EXPECT_EQ(redis.command({"GET", "third"}).text, "third");  // a new connection
    }
    {
        // A command that breaks a connection it has just opened is not sent again.
        RespStub stub(RespStubScript::dropping(1));
        RedisConnection redis(local(stub.port()));
        EXPECT_THROW(redis.command({"GET", "k"}), RedisError);
        EXPECT_EQ(stub.commands().size(), 1u);
    }
}

TEST(RedisConnection, AuthAndDatabaseOnEveryNewConnection) {
    RedisServer secured({"--requirepass", "pw-Secret-9"});
    RedisAdmin admin(secured.port());
    ASSERT_EQ(admin.command({"AUTH", "pw-Secret-9"}), "OK");
    RedisConnection redis(
        RedisOptions::from_url("redis://:pw-Secret-9@127.0.0.1:" + std::to_string(secured.port()) + "/5"));
    redis.command({"SET", "conn:db", "five"});
    admin.command({"SELECT", "5"});
    EXPECT_EQ(admin.command({"GET", "conn:db"}), "five");
    admin.command({"CLIENT", "KILL", "TYPE", "normal", "SKIPME", "yes"});
    EXPECT_EQ(redis.command({"GET", "conn:db"}).text, "five");  // AUTH and SELECT again

    RedisConnection wrong(RedisOptions::from_url("redis://:pw-Wrong-1@127.0.0.1:" + std::to_string(secured.port())));
    const std::string m = message_of([&] { wrong.command({"PING"}); });
    EXPECT_EQ(m.rfind("Redis authentication failed at 127.0.0.1:", 0), 0u) << m;
    EXPECT_EQ(m.find("pw-Wrong-1"), std::string::npos) << m;
}

TEST(RedisConnection, RejectsBadOptions) {
    RedisOptions o;
    o.port = 0;
    EXPECT_THROW(RedisConnection{o}, std::invalid_argument);
    o.port = 6379;
    o.command_timeout = 0ms;
    EXPECT_THROW(RedisConnection{o}, std::invalid_argument);
}

}  // namespace
}  // namespace quillmere::testing
