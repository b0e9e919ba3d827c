// quillmere map comment|parent [FILE]: one request object per line in, one record per line
// out, through the comment or the parent-post rule table.

#include "command.hpp"
#include "json_lines.hpp"

#include "quillmere/calvane/rules.hpp"
#include "quillmere/pemrith/rules.hpp"
#include "quillmere/tindral/engine.hpp"

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <ostream>
#include <string>

namespace quillmere::cli {
namespace {

constexpr const char* kFooter = R"(
Reads request objects, one JSON text per line, from FILE (or standard input when FILE is
absent or "-") and writes exactly one line per input line, in the same order:

  {"RawData": "<JSON text>", ...}
      the record as compact JSON; its RawData member is the JSON text of the record's
      raw data, carried as a JSON string.
  null
      applying the table failed; "line N: Error in apply_rules: <message>" goes to
      standard error and the run continues.
  {"error": "<message>"}
      the line is not JSON, or not a JSON object; "line N: <message>" goes to standard
      error and the run continues.

Exit status: 0 when every line was a JSON object, 1 when any line was not, 2 when FILE
cannot be opened.
)";

// Writes the rule engine's error lines to the command's standard error, after the number of
// the input line that caused them.
class LineNumberedErrors final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    explicit LineNumberedErrors(std::ostream& err) : err_(err) {}

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (std::size_t line = current_line_number()) err_ << "line " << line << ": ";
        err_.write(msg.payload.data(), static_cast<std::streamsize>(msg.payload.size())) << '\n';
    }
    void flush_() override {}

private:
    std::ostream& err_;
};

int map_lines(const tindral::RuleTable& table, const std::string& path) {
    BlockOutput& out = standard_output();
    BlockOutput& err = standard_error();
    auto logger = spdlog::get(std::string(tindral::kLoggerName));
    if (logger) logger->sinks() = {std::make_shared<LineNumberedErrors>(err)};
    const tindral::CompiledRules rules(table);
    int status = with_input(path, [&](std::istream& in) {
        return process_json_lines(in, out, err, [&](const boost::json::value& request, std::string& line) {
            // A request that is not an object is a TypeError: the line's {"error": ...}.
            if (!tindral::append_record_json(rules, request, line)) line += "null";
        });
    });
    if (logger) logger->sinks().clear();
    out.drain();
    err.drain();
    return status;
}

void add_map(CLI::App& app) {
    auto* map = app.add_subcommand("map", "Map request objects to records with a rule table");
    map->require_subcommand(1);
    struct Table {
        const char* name;
        const char* description;
        const tindral::RuleTable& (*rules)();
    };
    const Table tables[] = {
        {"comment", "Map comment requests to comment records", &calvane::rules_obj},
        {"parent", "Map parent posts to parent-post records", &pemrith::rules_obj},
    };
    for (const Table& t : tables) {
        auto* cmd = map->add_subcommand(t.name, t.description);
        auto file = std::make_shared<std::string>();
        cmd->add_option("FILE", *file, "File of request objects, one JSON text per line (default: standard input)");
        cmd->footer(kFooter);
        cmd->callback([file, rules = t.rules] { set_exit_status(map_lines(rules(), *file)); });
    }
}

const CommandRegistration registration(add_map);

}  // namespace
}  // namespace quillmere::cli
