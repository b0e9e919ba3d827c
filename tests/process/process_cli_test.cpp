// `quillmere process` through the built command: exit statuses, envelopes in input order
// with many deliveries in flight against the fake Graph API, lines that are not JSON,
// no configuration, configuration errors, output files, and the bundled demo samples
// against the demo's Graph API stand-in.

#include "fake_graph_api/fake_graph_api.hpp"
#include "run_command.hpp"
#include "support/process.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using quillmere::testing::ChildProcess;
using quillmere::testing::Command;
using quillmere::testing::CommandResult;
using quillmere::testing::FakeGraphApi;
using quillmere::testing::FakeResponse;
using quillmere::testing::RecordedRequest;
using quillmere::testing::run_command;
using quillmere::testing::split_lines;
using quillmere::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;
namespace json = boost::json;

const fs::path kSource = QUILLMERE_SOURCE_DIR;
const std::string kAccount = "17841405822304914";

void write_file(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

CommandResult process(std::vector<std::string> args, std::string stdin_text = {}) {
    Command c;
    c.argv = {QUILLMERE_CLI, "process"};
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    c.stdin_text = std::move(stdin_text);
    return run_command(c);
}

// Every line of standard output is an envelope (a JSON object); nothing else is there.
std::vector<json::object> envelopes_of(const std::string& out) {
    std::vector<json::object> v;
    for (const std::string& line : split_lines(out)) {
        json::value parsed = json::parse(line);
        EXPECT_TRUE(parsed.is_object()) << line;
        if (parsed.is_object()) v.push_back(parsed.as_object());
    }
    return v;
}

std::string comment_delivery(const std::string& account, const std::string& post, const std::string& comment,
                             const std::string& product = "FEED") {
    return R"({"object": "instagram", "entry": [{"id": ")" + account +
           R"(", "time": 1718000000, "changes": [{"field": "comments", "value": {"from": {"id": "232323232", "username": "dana.rides"}, "media": {"id": ")" +
           post + R"(", "media_product_type": ")" + product + R"("}, "id": ")" + comment + R"(", "text": "comment )" +
           comment + R"("}}]}]})";
}

const std::string kMessage =
    R"({"object": "instagram", "entry": [{"time": 1718000512, "id": "17841405822304914", "messaging": [{"sender": {"id": "6431279866924161"}, "recipient": {"id": "17841405822304914"}, "timestamp": 1718000511875, "message": {"mid": "m1", "text": "Hi!"}}]}]})";

// A brand-settings file with the one account, and a configuration naming it and the fake.
struct Workspace {
    TempDir dir;
    fs::path config;

    explicit Workspace(const std::string& graph_api_section) {
        write_file(dir.path() / "brands.json",
                   R"([{"BrandID": 4101, "BrandName": "Northwind", "CategoryID": 310, "CategoryName": "Sport",
                        "AccountID": 88001, "InstagramGraphApiID": ")" +
                       kAccount + R"(", "ProfilePic": "", "ScreenName": "northwind", "AuthorName": "Northwind"}])");
        config = dir.path() / "quillmere.toml";
        write_file(config, "[settings]\nfile = \"brands.json\"\nchannel_group_id = 3\n" + graph_api_section);
    }
};

// The Graph API answer for a post (ids beginning 18) or a user.
FakeResponse graph_answer(const RecordedRequest& r) {
    const std::string id = r.path.substr(r.path.rfind('/') + 1);
    if (id.rfind("18", 0) == 0) {
        return FakeResponse::ok(
            R"({"permalink": "https://www.instagram.com/p/)" + id + R"(/", "id": ")" + id + R"(", "caption": "post )" +
            id +
            R"(", "comments_count": 3, "like_count": 9, "media_type": "IMAGE", "media_url": "https://cdn.example.com/)" +
            id + R"(.jpg", "owner": {"id": ")" + kAccount +
            R"(", "username": "northwind"}, "username": "northwind", "media_product_type": "FEED", "timestamp": "2024-06-09T16:00:00+0000"})");
    }
    return FakeResponse::ok(
        R"({"followers_count": 100, "follows_count": 5, "media_count": 7, "username": "northwind", "id": ")" + id +
        R"("})");
}

struct StatusCase {
    std::string name;
    std::vector<std::string> args;  // {config} is replaced by a configuration file
    std::string config_text;        // empty: no configuration written
    std::string input;
    int status;
    std::string err;  // a part of standard error
};

TEST(ProcessCli, ExitStatuses) {
    const std::string good = kMessage + "\n" + comment_delivery(kAccount, "18000000000000001", "17000000000000001");
    const std::vector<StatusCase> cases = {
        {"every line processed", {}, "", good + "\n", 0, "quillmere process: 2 deliveries, 2 items"},
        {"last line without newline", {}, "", good, 0, "2 deliveries"},
        {"a line that is not JSON", {}, "", kMessage + "\n{\"entry\": [\n" + kMessage + "\n", 1, "line 2: "},
        {"configuration error",
         {"--config", "{config}"},
         "[graph_api]\naccess_token = \"t\"\nmax_in_flight = 0\n",
         good,
         2,
         "graph_api.max_in_flight: must be at least 1"},
        {"unknown key",
         {"--config", "{config}"},
         "[output]\nformat = \"csv\"\n",
         good,
         2,
         "output.format: unknown key"},
        {"configuration file missing",
         {"--config", "/nonexistent/quillmere.toml"},
         "",
         good,
         2,
         "cannot read /nonexistent/quillmere.toml"},
        {"input file missing",
         {"/nonexistent/deliveries.jsonl"},
         "",
         "",
         2,
         "cannot open /nonexistent/deliveries.jsonl"},
        {"input is a directory", {"/"}, "", "", 2, "cannot open /: Is a directory"},
        {"configuration is a directory", {"--config", "/"}, "", good, 2, "cannot read /: it is a directory"},
        {"brand settings not JSON", {"--config", "{config}"}, "[settings]\nfile = \"bad.json\"\n", good, 2, "settings"},
    };
    for (const StatusCase& c : cases) {
        TempDir dir;
        write_file(dir.path() / "bad.json", "[{");
        std::vector<std::string> args;
        for (const std::string& a : c.args) {
            args.push_back(a == "{config}" ? (dir.path() / "q.toml").string() : a);
        }
        if (!c.config_text.empty()) write_file(dir.path() / "q.toml", c.config_text);
        CommandResult r = process(args, c.input);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.err)) << c.name;
        if (c.status == 2) {
            EXPECT_EQ(r.out, "") << c.name;
            EXPECT_EQ(split_lines(r.err).size(), 1u) << c.name << ": " << r.err;
        }
        EXPECT_FALSE(r.timed_out) << c.name;
    }
}

// Without a configuration every item is still classified and reported: nothing is dropped,
// and a comment says why it has no record. An item the classifier cannot read (a change
// whose value is null) gives its envelope too, and standard output holds envelopes only.
TEST(ProcessCli, WithoutConfigurationItemsAreClassifiedAndReported) {
    const std::string unreadable =
        R"({"object": "instagram", "entry": [{"id": "17841405822304914", "time": 1, "changes": [{"field": "comments", "value": null}]}]})";
    CommandResult r = process({"-"}, comment_delivery(kAccount, "18000000000000001", "17000000000000001") + "\n" +
                                         kMessage + "\n" + unreadable + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto envelopes = envelopes_of(r.out);
    ASSERT_EQ(envelopes.size(), 3u) << r.out;
    EXPECT_EQ(envelopes[2].at("delivery"), json::value(3));
    EXPECT_EQ(envelopes[2].at("kind"), json::value());
    EXPECT_EQ(envelopes[0].at("delivery"), json::value(1));
    EXPECT_EQ(envelopes[0].at("item"), json::value(0));
    EXPECT_EQ(envelopes[0].at("account_id"), json::value(kAccount));
    EXPECT_EQ(envelopes[0].at("kind"), json::value("COMMENT_ON_FEED"));
    EXPECT_EQ(envelopes[0].at("channel"), json::value("29"));
    EXPECT_EQ(envelopes[0].at("records"), json::array());
    EXPECT_THAT(json::serialize(envelopes[0].at("error")), HasSubstr("settings"));
    EXPECT_EQ(envelopes[1].at("delivery"), json::value(2));
    EXPECT_EQ(envelopes[1].at("kind"), json::value("MESSAGE"));
}

// Lines that are not JSON objects are reported with their number, in order, and the run
// goes on; the deliveries around them keep their line numbers.
TEST(ProcessCli, MalformedLinesAreReportedAndTheRunGoesOn) {
    const std::string input = kMessage + "\n" + "{\"object\": \"instagram\", \"entry\": [\n" + "\n" + "[1, 2]\n" +
                              "not json at all\n" + kMessage + "\n";
    CommandResult r = process({}, input);
    EXPECT_EQ(r.status, 1);
    auto envelopes = envelopes_of(r.out);
    ASSERT_EQ(envelopes.size(), 2u);
    EXPECT_EQ(envelopes[0].at("delivery"), json::value(1));
    EXPECT_EQ(envelopes[1].at("delivery"), json::value(6));
    std::vector<std::string> reported;
    for (const std::string& line : split_lines(r.err)) {
        if (line.rfind("line ", 0) == 0) reported.push_back(line.substr(0, line.find(':')));
    }
    EXPECT_EQ(reported, (std::vector<std::string>{"line 2", "line 3", "line 4", "line 5"})) << r.err;
    EXPECT_THAT(r.err, HasSubstr("4 lines not processed"));
}

// Many deliveries in flight, answers of the Graph API in a scrambled order: the envelopes
// come out in input order, each with the comment's record, and the fake saw many
// requests at once.
TEST(ProcessCli, EnvelopesInInputOrderWithManyInFlight) {
    FakeGraphApi fake;
    fake.set_handler([](const RecordedRequest& r) {
        FakeResponse answer = graph_answer(r);
        // Later posts answer sooner: completion order is not input order.
        const std::string id = r.path.substr(r.path.rfind('/') + 1);
        const int n = std::stoi(id.substr(id.size() - 3));
        answer.delay = std::chrono::milliseconds((997 * n) % 60);
        return answer;
    });
    Workspace setup("[graph_api]\nbase_url = \"" + fake.base_url() +
                    "\"\naccess_token = \"post-token\"\ndm_access_token = \"dm-token\"\nmax_in_flight = 64\n");
    constexpr int kDeliveries = 300;
    std::string input;
    for (int i = 1; i <= kDeliveries; ++i) {
        char post[32], comment[32];
        std::snprintf(post, sizeof post, "18000000000000%03d", i);
        std::snprintf(comment, sizeof comment, "17000000000000%03d", i);
        input += comment_delivery(kAccount, post, comment) + "\n";
    }
    write_file(setup.dir.path() / "in.jsonl", input);

    std::atomic<bool> done{false};
    std::size_t peak = 0;
    std::thread sampler([&] {
        for (int i = 0; i < 600000 && !done; ++i) {  // bounded: at most a few minutes
            peak = std::max(peak, fake.connections_open());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    CommandResult r = process({"--config", setup.config.string(), (setup.dir.path() / "in.jsonl").string()});
    done = true;
    sampler.join();
    ASSERT_EQ(r.status, 0) << r.err;
    auto envelopes = envelopes_of(r.out);
    ASSERT_EQ(envelopes.size(), static_cast<std::size_t>(kDeliveries));
    for (int i = 1; i <= kDeliveries; ++i) {
        const json::object& e = envelopes[i - 1];
        ASSERT_EQ(e.at("delivery"), json::value(i));
        EXPECT_EQ(e.at("item"), json::value(0));
        EXPECT_EQ(e.at("error"), json::value()) << json::serialize(e);
        char comment[32];
        std::snprintf(comment, sizeof comment, "17000000000000%03d", i);
        const json::array& records = e.at("records").as_array();
        ASSERT_FALSE(records.empty()) << json::serialize(e);
        EXPECT_EQ(records[0].at("table"), json::value("comment"));
        EXPECT_THAT(json::serialize(records[0].at("record")), HasSubstr(comment)) << i;
    }
    EXPECT_GT(peak, 8u) << "Graph API requests were not in flight together";
    // Tokens never reach standard error or output.
    EXPECT_EQ(r.err.find("post-token"), std::string::npos);
    EXPECT_EQ(r.out.find("post-token"), std::string::npos);
    EXPECT_EQ(r.out.find("dm-token"), std::string::npos);
}

// [output] jsonl sends the envelopes to a file; a sink that cannot write is a failure
// (status 1, message), never a silent success.
TEST(ProcessCli, OutputFileAndAFailingOutput) {
    TempDir dir;
    const std::string input = kMessage + "\n" + kMessage + "\n";
    write_file(dir.path() / "to_file.toml", "[output]\njsonl = \"out/envelopes.jsonl\"\n");
    fs::create_directory(dir.path() / "out");
    CommandResult r = process({"--config", (dir.path() / "to_file.toml").string()}, input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    auto envelopes = envelopes_of(read_file(dir.path() / "out" / "envelopes.jsonl"));
    ASSERT_EQ(envelopes.size(), 2u);
    EXPECT_EQ(envelopes[1].at("delivery"), json::value(2));

    if (fs::exists("/dev/full")) {
        write_file(dir.path() / "full.toml", "[output]\njsonl = \"/dev/full\"\n");
        CommandResult full = process({"--config", (dir.path() / "full.toml").string()}, input);
        EXPECT_EQ(full.status, 1) << full.err;
        EXPECT_THAT(full.err, HasSubstr("cannot write the output"));
    }
}

// A line too long to hold is reported and skipped without being kept in memory; the
// lines after it are processed.
TEST(ProcessCli, ALineTooLongIsReportedAndSkipped) {
    TempDir dir;
    {
        std::ofstream f(dir.path() / "in.jsonl", std::ios::binary);
        f << kMessage << "\n{\"object\": \"";
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 65; ++i) f << block;
        f << "\"}\n" << kMessage << "\n";
    }
    CommandResult r = process({(dir.path() / "in.jsonl").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("line 2: longer than 64 MiB"));
    auto envelopes = envelopes_of(r.out);
    ASSERT_EQ(envelopes.size(), 2u);
    EXPECT_EQ(envelopes[1].at("delivery"), json::value(3));
}

TEST(ProcessCli, StandardInputByDefaultAndDash) {
    TempDir dir;
    const std::string input = kMessage + "\n";
    write_file(dir.path() / "in.jsonl", input);
    CommandResult from_file = process({(dir.path() / "in.jsonl").string()});
    CommandResult from_stdin = process({}, input);
    CommandResult from_dash = process({"-"}, input);
    ASSERT_EQ(from_file.status, 0) << from_file.err;
    EXPECT_EQ(from_stdin.status, 0);
    EXPECT_EQ(from_dash.status, 0);
    // The envelopes are equal but for nothing: classification needs no clock.
    EXPECT_EQ(from_file.out, from_stdin.out);
    EXPECT_EQ(from_file.out, from_dash.out);
    EXPECT_EQ(envelopes_of(from_file.out).size(), 1u);
}

// The bundled samples through the demo's Graph API stand-in, as scripts/demo.sh runs them:
// every item classified, comment records and parent-post records, the one bad line
// reported.
TEST(ProcessCli, BundledSamplesThroughTheDemoGraphApi) {
    TempDir dir;
    const fs::path port_file = dir.path() / "port";
    ChildProcess server({QUILLMERE_DEMO_GRAPH_API, "--root", (kSource / "examples" / "graph_api").string(),
                         "--port-file", port_file.string(), "--rate-limit-once", "18034517722057436"},
                        dir.path() / "graph_api.log");
    for (int i = 0; i < 400 && !fs::exists(port_file); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(port_file)) << read_file(dir.path() / "graph_api.log");
    const std::string port = split_lines(read_file(port_file)).at(0);
    std::string config = read_file(kSource / "examples" / "quillmere.toml");
    auto replace_line = [&](const std::string& start, const std::string& line) {
        auto at = config.find("\n" + start);
        ASSERT_NE(at, std::string::npos) << start;
        config.replace(at + 1, config.find('\n', at + 1) - at - 1, line);
    };
    replace_line("base_url = ", "base_url = \"http://127.0.0.1:" + port + "\"");
    replace_line("file = ", "file = \"" + (kSource / "examples" / "brands.json").string() + "\"");
    write_file(dir.path() / "quillmere.toml", config);

    CommandResult r = process(
        {"--config", (dir.path() / "quillmere.toml").string(), (kSource / "examples" / "deliveries.jsonl").string()});
    EXPECT_EQ(r.status, 1) << r.err;  // the one line that is not JSON
    EXPECT_THAT(r.err, HasSubstr("line 6: "));
    auto envelopes = envelopes_of(r.out);
    std::map<std::string, int> kinds, tables;
    for (const auto& e : envelopes) {
        kinds[e.at("kind").is_string() ? std::string(e.at("kind").as_string()) : "null"]++;
        for (const auto& rec : e.at("records").as_array()) tables[std::string(rec.at("table").as_string())]++;
    }
    for (const char* kind :
         {"COMMENT_ON_FEED", "COMMENT_REPLY_ON_FEED", "COMMENT_ON_REEL", "COMMENT_ON_AD", "MENTION_IN_COMMENT",
          "MENTION_IN_MEDIA", "MESSAGE", "REPLY_TO_STORY", "MESSAGE_REACT", "MESSAGE_WITH_VIDEO",
          "STANDBY_SIMPLE_MESSAGE", "STANDBY_MESSAGE_WITH_SHARE", "STORY_INSIGHTS"}) {
        EXPECT_GE(kinds[kind], 1) << kind;
    }
    EXPECT_EQ(kinds["null"], 1);  // the live comment: no kind of the registry
    // Comments of the two known accounts: two on the feed, a reply, a reel, an ad.
    EXPECT_EQ(tables["comment"], 5) << r.out;
    EXPECT_GE(tables["parent"], 3) << r.out;
    // The comment for an account without settings is reported, not dropped.
    bool unknown_reported = false;
    for (const auto& e : envelopes) {
        if (e.at("account_id") == json::value("17841499999999999")) {
            unknown_reported = e.at("error").is_string() && e.at("records").as_array().empty();
        }
    }
    EXPECT_TRUE(unknown_reported);
    EXPECT_EQ(r.err.find("demo-access-token"), std::string::npos);
}

}  // namespace
