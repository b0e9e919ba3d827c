// quillmere process [--config FILE] [FILE]: webhook deliveries, one JSON text per line, to
// envelopes (one per item) through the host pipeline, written in input order.
//
// Many deliveries are in flight at once on one event loop (a window); their envelopes are
// handed to the sink strictly in input order, in batches, by a writer thread of its own so
// that a slow sink never holds up the Graph API requests in flight. A delivery counts
// against the window until the sink holds its envelopes, which bounds the memory used.

#include "command.hpp"

#include "host/config.hpp"
#include "host/pipeline.hpp"
#include "host/sink.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/object.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::cli {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr const char* kFooter = R"(
Reads webhook deliveries, one JSON text per line, from FILE (or standard input when FILE
is absent or "-") and writes one envelope per item of each delivery, as one JSON line, to
standard output or to the [output] jsonl file of the configuration, in input order:

  {"delivery": N, "item": I, "account_id": ..., "kind": ..., "event_type": ...,
   "channel": ..., "topic": ..., "records": [{"table": "comment"|"parent", "record": {...}}],
   "media": [...], "error": null|"message"}

N is the input line number (from 1), I the item's position in the delivery (from 0). A
line that is not a JSON object gives "line N: ..." on standard error and no envelope; the
run goes on. Without --config nothing is configured: items are classified, and comments
are reported without records because no brand settings are known.

On a terminal, standard error shows a progress line; a summary ends every run.

Exit status: 0 when every line was processed (envelopes with an error included), 1 when a
line was not JSON or the output could not be written, 2 when the configuration or FILE
cannot be used (the message names the key).
)";

// A line longer than this is reported and skipped, not held in memory.
constexpr std::size_t kMaxLine = 64 * 1024 * 1024;
constexpr std::size_t kReadBlock = 256 * 1024;

// The lines of a file descriptor, read in blocks. Pipes, terminals and sockets are read
// asynchronously on the loop (a producer that is slow to write never stops the deliveries
// in flight); regular files, which never make a reader wait long, are read directly.
class LineSource {
public:
    struct Line {
        std::string text;
        bool too_long = false;
    };

    LineSource(asio::io_context& io, int fd) : fd_(fd) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
            int copy = ::dup(fd);
            if (copy >= 0) {
                try {
                    stream_.emplace(io, copy);
                } catch (const boost::system::system_error&) {
                    ::close(copy);  // not pollable (/dev/null, ...): read it directly
                }
            }
        }
    }

    // The next line without its newline (a final line without one counts), or nothing at
    // the end of the input. Throws boost::system::system_error on a read failure.
    asio::awaitable<std::optional<Line>> next() {
        Line line;
        std::size_t skipped = 0;
        for (;;) {
            auto nl = buffer_.find('\n', pos_);
            if (nl != std::string::npos) {
                if (line.too_long) {
                    pos_ = nl + 1;
                } else {
                    line.text.assign(buffer_, pos_, nl - pos_);
                    pos_ = nl + 1;
                }
                co_return line;
            }
            if (buffer_.size() - pos_ > kMaxLine) {
                // Too long: drop what is gathered and everything up to the next newline.
                line.too_long = true;
                skipped += buffer_.size() - pos_;
                buffer_.clear();
                pos_ = 0;
            }
            if (eof_) {
                if (pos_ < buffer_.size() || line.too_long) {
                    if (!line.too_long) line.text.assign(buffer_, pos_);
                    buffer_.clear();
                    pos_ = 0;
                    co_return line;
                }
                co_return std::nullopt;
            }
            co_await fill();
        }
    }

private:
    asio::awaitable<void> fill() {
        if (pos_ > 0) {
            buffer_.erase(0, pos_);
            pos_ = 0;
        }
        const std::size_t old = buffer_.size();
        buffer_.resize(old + kReadBlock);
        std::size_t n = 0;
        if (stream_) {
            boost::system::error_code ec;
            n = co_await stream_->async_read_some(asio::buffer(buffer_.data() + old, kReadBlock),
                                                  asio::redirect_error(asio::use_awaitable, ec));
            if (ec == asio::error::eof) {
                eof_ = true;
            } else if (ec) {
                buffer_.resize(old);
                throw boost::system::system_error(ec, "cannot read the input");
            }
        } else {
            ssize_t r;
            do {
                r = ::read(fd_, buffer_.data() + old, kReadBlock);
            } while (r < 0 && errno == EINTR);
            if (r < 0) {
                buffer_.resize(old);
                throw boost::system::system_error(errno, boost::system::system_category(), "cannot read the input");
            }
            n = static_cast<std::size_t>(r);
            if (n == 0) eof_ = true;
        }
        buffer_.resize(old + n);
    }

    int fd_;
    std::optional<asio::posix::stream_descriptor> stream_;
    std::string buffer_;
    std::size_t pos_ = 0;
    bool eof_ = false;
};

// Counts shown by the progress line and the summary.
struct Totals {
    std::size_t deliveries = 0;
    std::size_t items = 0;
    std::size_t records = 0;
    std::size_t errors = 0;     // envelopes with an error
    std::size_t bad_lines = 0;  // lines that gave no envelope
};

class Run {
public:
    Run(const host::Config& config, int input_fd, std::size_t window, bool progress)
        : pipeline_(config, io_.get_executor()),
          sink_(host::open_sink(config)),
          source_(io_, input_fd),
          window_(window),
          progress_(progress),
          wake_(io_),
          ticker_(io_) {}

    // Processes the whole input; returns the exit status.
    int run() {
        started_ = Clock::now();
        asio::co_spawn(io_, read_all(), asio::detached);
        if (progress_) asio::co_spawn(io_, tick(), asio::detached);
        io_.run();
        writer_.join();
        finish_progress();
        const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        std::fprintf(stderr,
                     "quillmere process: %zu deliveries, %zu items, %zu records, %zu errors, %zu lines not "
                     "processed, in %.2f s (%.0f items/s)\n",
                     totals_.deliveries, totals_.items, totals_.records, totals_.errors, totals_.bad_lines, seconds,
                     seconds > 0 ? static_cast<double>(totals_.items) / seconds : 0.0);
        return input_failed_ || output_failed_ || totals_.bad_lines > 0 ? 1 : 0;
    }

private:
    // What one line gave, waiting for its turn.
    struct Done {
        std::vector<boost::json::object> envelopes;
        std::string error;  // set: the line gave no envelope
    };

    asio::awaitable<void> read_all() {
        std::size_t line_number = 0;
        while (!output_failed_) {
            while (in_flight_ >= window_ && !output_failed_) co_await wait();
            if (output_failed_) break;
            std::optional<LineSource::Line> line;
            try {
                line = co_await source_.next();
            } catch (const boost::system::system_error& e) {
                // What was read is still processed and written.
                report("quillmere: cannot read the input: " + e.code().message());
                input_failed_ = true;
                break;
            } catch (const std::exception& e) {
                report("quillmere: " + one_line(e.what()));
                input_failed_ = true;
                break;
            }
            if (!line) break;
            ++line_number;
            ++in_flight_;
            if (line->too_long) {
                complete(line_number, {{}, "longer than 64 MiB, not read"});
                continue;
            }
            asio::co_spawn(io_, process_one(line_number, std::move(line->text)), asio::detached);
        }
        while (in_flight_ > 0) co_await wait();
        ticker_.cancel();
    }

    asio::awaitable<void> process_one(std::size_t line_number, std::string body) {
        Done done;
        try {
            done.envelopes =
                co_await pipeline_.process(body, boost::json::value(static_cast<std::int64_t>(line_number)));
        } catch (const std::exception& e) {
            done.error = one_line(e.what());
            if (done.error.empty()) done.error = "cannot be processed";
        }
        complete(line_number, std::move(done));
    }

    // Takes the result of a line and hands on every result that is next in order.
    void complete(std::size_t line_number, Done done) {
        ready_.emplace(line_number, std::move(done));
        for (auto it = ready_.find(next_); it != ready_.end(); it = ready_.find(next_)) {
            Done& d = it->second;
            ++totals_.deliveries;
            if (!d.error.empty()) {
                ++totals_.bad_lines;
                report("line " + std::to_string(next_) + ": " + d.error);
                --in_flight_;
            } else if (output_failed_) {
                --in_flight_;  // nothing more can be written
            } else {
                for (auto& envelope : d.envelopes) {
                    ++totals_.items;
                    if (const auto* records = envelope.if_contains("records"); records && records->is_array()) {
                        totals_.records += records->get_array().size();
                    }
                    if (const auto* error = envelope.if_contains("error"); error && !error->is_null()) {
                        ++totals_.errors;
                    }
                    pending_.push_back(std::move(envelope));
                }
                ++pending_deliveries_;
            }
            ready_.erase(it);
            ++next_;
        }
        send();
        wake_.cancel();
    }

    // Gives the envelopes gathered so far to the writer when it is idle.
    void send() {
        if (writing_ || pending_deliveries_ == 0 || output_failed_) return;
        writing_ = true;
        auto batch = std::make_shared<std::vector<boost::json::object>>(std::move(pending_));
        pending_.clear();
        const std::size_t deliveries = std::exchange(pending_deliveries_, 0);
        asio::post(writer_, [this, batch, deliveries] {
            std::string error;
            try {
                sink_->write(*batch);
            } catch (const std::exception& e) {
                error = one_line(e.what());
                if (error.empty()) error = "write failed";
            }
            batch->clear();
            asio::post(io_, [this, deliveries, error = std::move(error)] { written(deliveries, error); });
        });
    }

    void written(std::size_t deliveries, const std::string& error) {
        writing_ = false;
        in_flight_ -= deliveries;
        if (!error.empty()) {
            report("quillmere: cannot write the output: " + error);
            // Nothing further is written: the deliveries still gathered are given up.
            output_failed_ = true;
            in_flight_ -= pending_deliveries_;
            pending_deliveries_ = 0;
            pending_.clear();
        }
        send();
        wake_.cancel();
    }

    asio::awaitable<void> wait() {
        wake_.expires_at(asio::steady_timer::time_point::max());
        boost::system::error_code ec;
        co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }

    asio::awaitable<void> tick() {
        for (;;) {
            ticker_.expires_after(std::chrono::milliseconds(250));
            boost::system::error_code ec;
            co_await ticker_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            draw_progress();
        }
    }

    void draw_progress() {
        const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        const host::PipelineStats stats = pipeline_.stats();
        std::fprintf(stderr,
                     "\r\033[K%zu deliveries  %zu items  %.0f items/s  %zu records  %zu errors  "
                     "%zu Graph API requests in flight",
                     totals_.deliveries, totals_.items,
                     seconds > 0 ? static_cast<double>(totals_.items) / seconds : 0.0, totals_.records,
                     totals_.errors + totals_.bad_lines, stats.graph_api_in_flight);
        std::fflush(stderr);
        drawn_ = true;
    }

    void finish_progress() {
        if (drawn_) std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

    // A line on standard error, above the progress line.
    void report(const std::string& text) {
        finish_progress();
        std::fprintf(stderr, "%s\n", text.c_str());
    }

    asio::io_context io_{1};
    host::Pipeline pipeline_;
    std::unique_ptr<host::Sink> sink_;
    asio::thread_pool writer_{1};
    LineSource source_;
    const std::size_t window_;
    const bool progress_;
    asio::steady_timer wake_;
    asio::steady_timer ticker_;
    Clock::time_point started_;

    std::size_t in_flight_ = 0;  // read, not yet held by the sink
    std::size_t next_ = 1;       // the line whose result is handed on next
    std::map<std::size_t, Done> ready_;
    std::vector<boost::json::object> pending_;  // in order, waiting for the writer
    std::size_t pending_deliveries_ = 0;
    bool writing_ = false;
    bool input_failed_ = false;   // the input could not be read to its end
    bool output_failed_ = false;  // the sink failed: nothing further is written
    bool drawn_ = false;
    Totals totals_;
};

struct Options {
    std::string config;
    std::string file;
    std::size_t window = 0;
};

int process(const Options& options) {
    host::Config config;
    try {
        config = options.config.empty() ? host::parse_config("") : host::load_config(options.config);
    } catch (const host::ConfigError& e) {
        return configuration_error(e);
    }
    int fd = 0;
    if (!options.file.empty() && options.file != "-") {
        fd = ::open(options.file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(fd);
            fd = -1;
            errno = EISDIR;
        }
        if (fd < 0) {
            std::fprintf(stderr, "quillmere: cannot open %s: %s\n", options.file.c_str(), std::strerror(errno));
            return 2;
        }
    }
    const std::size_t window =
        options.window ? options.window : std::clamp<std::size_t>(2 * config.graph_api.max_in_flight, 16, 4096);
    std::unique_ptr<Run> run;
    try {
        run = std::make_unique<Run>(config, fd, window, ::isatty(2) == 1);
    } catch (const host::ConfigError& e) {
        return configuration_error(e);
    } catch (const std::exception& e) {
        return print_failure("cannot start: ", e, 2);
    }
    int status = run->run();
    run.reset();
    if (fd != 0) ::close(fd);
    return status;
}

void add_process(CLI::App& app) {
    auto* cmd = app.add_subcommand("process", "Turn webhook deliveries into envelopes of classified items and records");
    auto options = std::make_shared<Options>();
    cmd->add_option("--config", options->config, "The TOML configuration file (default: none, nothing configured)");
    cmd->add_option("--window", options->window,
                    "Deliveries in flight at once (default: twice graph_api.max_in_flight, 16 to 4096)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    cmd->add_option("FILE", options->file, "File of deliveries, one JSON text per line (default: standard input)");
    cmd->footer(kFooter);
    cmd->callback([options] { set_exit_status(process(*options)); });
}

const CommandRegistration registration(add_process);

}  // namespace
}  // namespace quillmere::cli
