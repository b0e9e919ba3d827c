#pragma once
// Line-oriented JSON processing shared by the subcommands: one JSON text per input line,
// exactly one output line per input line, in order.

#include <boost/json/value.hpp>

#include <functional>

#include <istream>
#include <ostream>
#include <streambuf>
#include <string>
#include <type_traits>

namespace quillmere::cli {

// Text bound for a file descriptor, gathered in memory and written in blocks of 64 KiB and
// when the object is drained or destroyed. text() is the buffer itself; the stream view
// writes into the same buffer, and flushing it writes nothing (the next block or the end
// does).
class BlockOutput : public std::ostream {
public:
    explicit BlockOutput(int fd);
    ~BlockOutput() override;
    BlockOutput(const BlockOutput&) = delete;
    BlockOutput& operator=(const BlockOutput&) = delete;

    std::string& text() noexcept { return buffer_.text; }
    // Writes the gathered text when it has reached a block.
    void write_block() {
        if (buffer_.text.size() >= kBlock) drain();
    }
    // Writes everything gathered.
    void drain();

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    struct Buffer : std::streambuf {
        BlockOutput* owner = nullptr;
        std::string text;
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
    };
    Buffer buffer_;
    int fd_;
};

// Called with each parsed line; appends the output line (without the newline) to `out`.
// A thrown exception becomes that line's {"error": ...} output.
using LineHandler = void (*)(void* context, const boost::json::value& parsed, std::string& out);

// Reads `in` line by line. A line that is not JSON, or whose handler throws, gives
// {"error": "<message>"} on its output line and "line N: <message>" on `err`. Returns 1
// when any line failed, else 0. Each line is parsed into buffers that are kept from line
// to line; the parsed value lives until the handler returns.
int process_json_lines(std::istream& in, BlockOutput& out, std::ostream& err, LineHandler handler, void* context);

// The 1-based number of the line that process_json_lines is handling on this thread, for
// handlers that report on it; 0 outside a handler.
std::size_t current_line_number() noexcept;

// Convenience for callables.
template <class F>
int process_json_lines(std::istream& in, BlockOutput& out, std::ostream& err, F&& f) {
    return process_json_lines(
        in, out, err,
        [](void* ctx, const boost::json::value& v, std::string& o) {
            (*static_cast<std::remove_reference_t<F>*>(ctx))(v, o);
        },
        static_cast<void*>(&f));
}

// Opens FILE, or uses standard input when `path` is empty or "-", and runs `body` on it.
// Returns 2 (with a message on standard error) when the file cannot be opened.
int with_input(const std::string& path, const std::function<int(std::istream&)>& body);

// The command's standard output and standard error, written in blocks.
BlockOutput& standard_output();
BlockOutput& standard_error();

}  // namespace quillmere::cli
