#pragma once
// Line-oriented JSON processing shared by the subcommands: one JSON text per input line,
// exactly one output line per input line, in order.

#include <boost/json/value.hpp>

#include <functional>

#include <istream>
#include <ostream>
#include <string>

namespace quillmere::cli {

// Called with each parsed line; appends the output line (without the newline) to `out`.
// A thrown exception becomes that line's {"error": ...} output.
using LineHandler = void (*)(void* context, boost::json::value& parsed, std::string& out);

// Reads `in` line by line. A line that is not JSON, or whose handler throws, gives
// {"error": "<message>"} on its output line and "line N: <message>" on `err`. Returns 1
// when any line failed, else 0. Output is buffered.
int process_json_lines(std::istream& in, std::ostream& out, std::ostream& err, LineHandler handler, void* context);

// The 1-based number of the line that process_json_lines is handling on this thread, for
// handlers that report on it; 0 outside a handler.
std::size_t current_line_number() noexcept;

// Convenience for callables.
template <class F>
int process_json_lines(std::istream& in, std::ostream& out, std::ostream& err, F&& f) {
    return process_json_lines(
        in, out, err, [](void* ctx, boost::json::value& v, std::string& o) { (*static_cast<F*>(ctx))(v, o); },
        static_cast<void*>(&f));
}

// Opens FILE, or uses standard input when `path` is empty or "-", and runs `body` on it.
// Returns 2 (with a message on standard error) when the file cannot be opened.
int with_input(const std::string& path, const std::function<int(std::istream&)>& body);

}  // namespace quillmere::cli
