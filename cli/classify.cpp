// quillmere classify [FILE]: one webhook body per line in, one classification per line out.

#include "command.hpp"
#include "json_lines.hpp"

#include "quillmere/common/json_text.hpp"
#include "quillmere/ostrel/classifier.hpp"

#include <memory>
#include <string>

namespace quillmere::cli {
namespace {

constexpr const char* kDescription = "Classify webhook bodies into event kinds";

constexpr const char* kFooter = R"(
Reads webhook bodies, one JSON text per line, from FILE (or standard input when FILE is
absent or "-") and writes exactly one line per input line, in the same order:

  {"kind": NAME, "event_type": TEXT, "channel": CODE, "topic": TOPIC}
      NAME is the event kind's member name (COMMENT_ON_FEED), TEXT its event type
      (comment_on_feed), CODE its channel code as text ("29") and TOPIC its topic name
      (InstaWebhookCommentsTopic); channel and topic are null for kinds filed under none.
  {"kind": null}
      the body is of no known kind, or of an unexpected shape. For the latter the
      classifier's lines ("KeyError: 0 for event is: ..." or "Exception: <message> for
      event is: ...") and a diagnostic trace go to standard error.
  {"error": "<message>"}
      the line is not JSON; "line N: <message>" goes to standard error and the run
      continues.

Exit status: 0 when every line was JSON, 1 when any line was not, 2 when FILE cannot be
opened.
)";

void append_classification(std::string& out, const std::optional<ostrel::InstagramEventType>& kind) {
    if (!kind) {
        out += "{\"kind\": null}";
        return;
    }
    const auto& v = ostrel::value(*kind);
    out += "{\"kind\": ";
    write_string_text(out, ostrel::name(*kind));
    out += ", \"event_type\": ";
    write_string_text(out, v.event_type);
    out += ", \"channel\": ";
    if (v.channel)
        write_string_text(out, ostrel::value(*v.channel));
    else
        out += "null";
    out += ", \"topic\": ";
    if (v.topic)
        write_string_text(out, ostrel::value(*v.topic));
    else
        out += "null";
    out += '}';
}

void add_classify(CLI::App& app) {
    auto* cmd = app.add_subcommand("classify", kDescription);
    auto file = std::make_shared<std::string>();
    cmd->add_option("FILE", *file, "File of webhook bodies, one JSON text per line (default: standard input)");
    cmd->footer(kFooter);
    cmd->callback([file] {
        BlockOutput& out = standard_output();
        BlockOutput& err = standard_error();
        set_exit_status(with_input(*file, [&](std::istream& in) {
            return process_json_lines(in, out, err, [&](const boost::json::value& body, std::string& line) {
                append_classification(line, ostrel::classify_instagram_event(body, err, err));
            });
        }));
        out.drain();
        err.drain();
    });
}

const CommandRegistration registration(add_classify);

}  // namespace
}  // namespace quillmere::cli
