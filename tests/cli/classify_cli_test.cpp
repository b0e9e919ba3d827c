// End-to-end tests of `quillmere classify`: the built binary on files and standard input.

#include "support/process.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using quillmere::testing::TempDir;
namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string out, err;
};

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary);
    f << text;
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

// Runs the command line through the shell with standard output and error in files.
CliRun run(const std::string& args, const TempDir& dir, const std::string& stdin_file = "") {
    const fs::path out = dir.path() / "out", err = dir.path() / "err";
    std::string cmd = quote(QUILLMERE_CLI) + " classify " + args + " >" + quote(out) + " 2>" + quote(err);
    if (!stdin_file.empty()) cmd += " <" + quote(stdin_file);
    int raw = std::system(cmd.c_str());
    CliRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

const std::string kExamples = QUILLMERE_SOURCE_DIR "/examples/webhooks.jsonl";

TEST(ClassifyCli, BundledSamples) {
    TempDir dir;
    CliRun r = run(quote(kExamples), dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_file(QUILLMERE_SOURCE_DIR "/tests/cli/testdata/webhooks.classified.jsonl"));
    // The one sample of an unexpected shape: its classifier line goes to standard error.
    auto err = lines(r.err);
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.back(),
              "Exception: process_media_event: changes_value must be an object, not null for event is: "
              "{\"object\": \"instagram\", \"entry\": [{\"id\": \"17841405822304914\", \"time\": 1718001250, "
              "\"changes\": [{\"field\": \"comments\", \"value\": null}]}]}");
    EXPECT_EQ(r.out.find("Exception"), std::string::npos);
}

TEST(ClassifyCli, StandardInputAndDash) {
    TempDir dir;
    CliRun a = run("", dir, kExamples);
    CliRun b = run("-", dir, kExamples);
    CliRun c = run(quote(kExamples), dir);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(a.out, c.out);
    EXPECT_EQ(b.out, c.out);
}

TEST(ClassifyCli, BadLinesGiveErrorLinesAndStatusOne) {
    TempDir dir;
    const fs::path in = dir.path() / "in.jsonl";
    // Blank line, broken JSON, a body that classifies, two texts on one line, no final newline.
    write_file(in,
               "\n"
               "{\"entry\": [\n"
               "{\"entry\": [{\"changes\": [{\"field\": \"mentions\", \"value\": {}}]}]}\n"
               "{} {}\n"
               "{\"entry\": {}}\r\n"
               "[]");
    CliRun r = run(quote(in.string()), dir);
    EXPECT_EQ(r.status, 1);
    auto out = lines(r.out);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[0].rfind("{\"error\": \"", 0), 0u) << out[0];
    EXPECT_EQ(out[1].rfind("{\"error\": \"", 0), 0u) << out[1];
    EXPECT_EQ(out[2],
              "{\"kind\": \"MENTION_IN_MEDIA\", \"event_type\": \"mention_in_media\", \"channel\": \"15\", "
              "\"topic\": \"InstaWebhookPostTopic\"}");
    EXPECT_EQ(out[3].rfind("{\"error\": \"", 0), 0u) << out[3];
    EXPECT_EQ(out[4], "{\"kind\": null}");
    EXPECT_EQ(out[5], "{\"kind\": null}");
    for (const char* n : {"line 1: ", "line 2: ", "line 4: "}) EXPECT_NE(r.err.find(n), std::string::npos) << n;
    EXPECT_EQ(r.err.find("line 3: "), std::string::npos);
    EXPECT_NE(r.err.find("KeyError: 0 for event is: {\"entry\": {}}\n"), std::string::npos);
    EXPECT_NE(r.err.find("Exception: event_data must be an object, not an array for event is: []\n"),
              std::string::npos);
}

TEST(ClassifyCli, EmptyInputAndMissingFile) {
    TempDir dir;
    const fs::path empty = dir.path() / "empty.jsonl";
    write_file(empty, "");
    CliRun r = run(quote(empty.string()), dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    CliRun missing = run(quote((dir.path() / "nope.jsonl").string()), dir);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("nope.jsonl"), std::string::npos);
}

TEST(ClassifyCli, HelpExplainsTheContract) {
    TempDir dir;
    CliRun h = run("--help", dir);
    EXPECT_EQ(h.status, 0);
    for (const char* text : {"FILE", "standard input", "\"kind\": NAME", "\"event_type\": TEXT", "\"channel\": CODE",
                             "\"topic\": TOPIC", "{\"kind\": null}", "{\"error\": \"<message>\"}", "standard error",
                             "line N", "Exit status", "KeyError: 0", "Exception: <message>"})
        EXPECT_NE(h.out.find(text), std::string::npos) << text;
}

// Long lines, one after the other (the memory each line is parsed into is used again for
// the next), between short ones.
TEST(ClassifyCli, ARunOfLongLines) {
    TempDir dir;
    const fs::path in = dir.path() / "long.jsonl";
    const std::string text(300000, 'x');
    std::string input;
    for (int i = 0; i < 80; ++i) {
        input += R"({"entry": [{"messaging": [{"message": {"text": ")" + text +
                 R"(", "attachments": [{"type": "video"}]}}]}]})";
        input += "\n";
        if (i % 10 == 0)
            input += R"({"entry": [{"changes": [{"field": "mentions", "value": {}}]}]})"
                     "\n";
    }
    write_file(in, input);
    CliRun r = run(quote(in.string()), dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto out = lines(r.out);
    ASSERT_EQ(out.size(), 88u);
    for (std::size_t i = 0, k = 0; i < 80; ++i) {
        EXPECT_EQ(
            out[k++],
            R"({"kind": "MESSAGE_WITH_VIDEO", "event_type": "message_with_video", "channel": "14", "topic": "InstaWebhookDmStandByTopic"})")
            << i;
        if (i % 10 == 0) {
            EXPECT_EQ(out[k++].rfind(R"({"kind": "MENTION_IN_MEDIA")", 0), 0u) << i;
        }
    }
}

// 100,000 mixed deliveries, a few of them not JSON: every line answered, in order.
TEST(ClassifyCli, HundredThousandMixedDeliveries) {
    struct Template {
        std::string body;  // "#" is replaced by the line number
        std::string out;
    };
    const std::string comment_feed =
        R"({"kind": "COMMENT_ON_FEED", "event_type": "comment_on_feed", "channel": "29", "topic": "InstaWebhookCommentsTopic"})";
    const std::vector<Template> templates = {
        {R"({"object": "instagram", "entry": [{"id": "#", "time": 1718000000, "changes": [{"field": "comments", "value": {"from": {"id": "#", "username": "u#"}, "media": {"id": "#", "media_product_type": "FEED"}, "id": "#", "text": "nice #"}}]}]})",
         comment_feed},
        {R"({"object": "instagram", "entry": [{"id": "#", "time": 1718000000, "changes": [{"field": "comments", "value": {"media": {"id": "#", "media_product_type": "REELS"}, "id": "#", "parent_id": "#"}}]}]})",
         R"({"kind": "COMMENT_ON_REEL", "event_type": "comment_on_reel", "channel": "29", "topic": "InstaWebhookCommentsTopic"})"},
        {R"({"object": "instagram", "entry": [{"id": "#", "changes": [{"field": "mentions", "value": {"media_id": "#", "comment_id": "#"}}]}]})",
         R"({"kind": "MENTION_IN_COMMENT", "event_type": "mention_in_comment", "channel": "16", "topic": "InstaWebhookCommentsTopic"})"},
        {R"({"object": "instagram", "entry": [{"id": "#", "time": 1, "messaging": [{"sender": {"id": "#"}, "recipient": {"id": "1"}, "timestamp": 1, "message": {"mid": "m#", "text": "hello #"}}]}]})",
         R"({"kind": "MESSAGE", "event_type": "message", "channel": "14", "topic": "InstaWebhookDmStandByTopic"})"},
        {R"({"object": "instagram", "entry": [{"id": "#", "messaging": [{"sender": {"id": "#"}, "read": {"mid": "m#"}}]}]})",
         R"({"kind": "MESSAGE_READ", "event_type": "message_read", "channel": null, "topic": null})"},
        {R"({"object": "instagram", "entry": [{"id": "#", "standby": [{"sender": {"id": "#"}, "message": {"mid": "m#", "attachments": [{"type": "ig_reel"}]}}]}]})",
         R"({"kind": "STANDBY_MESSAGE_WITH_REEL", "event_type": "standby_message_with_reel", "channel": "14", "topic": "InstaWebhookDmStandByTopic"})"},
        {R"({"object": "instagram", "entry": [{"id": "#", "messaging": [{"sender": {"id": "#"}, "delivery": {"mids": ["m#"]}}]}]})",
         R"({"kind": null})"},
        {R"({"object": "instagram", "entry": [{"id": "#", "changes": []}]})", R"({"kind": null})"},
    };
    constexpr std::size_t kLines = 100000;
    constexpr std::size_t kBadEvery = 997;

    std::string input, valid, expected;
    std::size_t bad = 0;
    for (std::size_t i = 1; i <= kLines; ++i) {
        if (i % kBadEvery == 0) {
            input += "{\"entry\": [" + std::to_string(i) + "\n";
            ++bad;
            continue;
        }
        const Template& t = templates[i % templates.size()];
        std::string body = t.body;
        const std::string id = std::to_string(i);
        for (auto p = body.find('#'); p != std::string::npos; p = body.find('#', p + id.size())) body.replace(p, 1, id);
        input += body + "\n";
        valid += body + "\n";
        expected += t.out + "\n";
    }

    TempDir dir;
    const fs::path in = dir.path() / "mixed.jsonl";
    write_file(in, input);
    CliRun r = run(quote(in.string()), dir);
    EXPECT_EQ(r.status, 1);
    auto out = lines(r.out);
    ASSERT_EQ(out.size(), kLines);
    auto want = lines(expected);
    std::size_t w = 0;
    for (std::size_t i = 1; i <= kLines; ++i) {
        const std::string& got = out[i - 1];
        if (i % kBadEvery == 0) {
            ASSERT_EQ(got.rfind("{\"error\": \"", 0), 0u) << "line " << i << ": " << got;
            ASSERT_NE(r.err.find("line " + std::to_string(i) + ": "), std::string::npos) << i;
        } else {
            ASSERT_EQ(got, want[w++]) << "line " << i;
        }
    }
    EXPECT_EQ(w, kLines - bad);

    // The same deliveries without the broken lines: status 0.
    write_file(in, valid);
    CliRun ok = run(quote(in.string()), dir);
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, expected);
}

}  // namespace
