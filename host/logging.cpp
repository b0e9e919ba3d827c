#include "host/logging.hpp"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <array>
#include <mutex>
#include <string_view>

namespace quillmere::host {
namespace {

constexpr const char* host_logger_name = "quillmere";
constexpr char hex_digits[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_sequence_length(std::string_view text) noexcept {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;   // no overlong forms
        if (lead == 0xed) high = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    }
    return length;
}

// The message as the inside of a JSON string: valid UTF-8 (a byte that does not start a
// well-formed sequence becomes U+FFFD), quotes, backslashes and control characters escaped.
void append_json_escaped(std::string_view text, spdlog::memory_buf_t& out) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t length = utf8_sequence_length(text.substr(i));
            if (length == 0) {
                out.append(std::string_view("\\ufffd"));
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out.append(std::string_view("\\\""));
                break;
            case '\\':
                out.append(std::string_view("\\\\"));
                break;
            case '\n':
                out.append(std::string_view("\\n"));
                break;
            case '\r':
                out.append(std::string_view("\\r"));
                break;
            case '\t':
                out.append(std::string_view("\\t"));
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    const char escape[] = {'\\', 'u', '0', '0', hex_digits[c >> 4], hex_digits[c & 0x0f]};
                    out.append(escape, escape + sizeof escape);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++i;
    }
}

// Text lines: control characters as \xNN (a newline as \n), so one event stays one line.
void append_text_escaped(std::string_view text, spdlog::memory_buf_t& out) {
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out.append(std::string_view("\\n"));
        } else if (c < 0x20 || c == 0x7f) {
            const char escape[] = {'\\', 'x', hex_digits[c >> 4], hex_digits[c & 0x0f]};
            out.append(escape, escape + sizeof escape);
        } else {
            out.push_back(ch);
        }
    }
}

class EscapedMessage final : public spdlog::custom_flag_formatter {
public:
    explicit EscapedMessage(bool json) : json_(json) {}
    void format(const spdlog::details::log_msg& message, const std::tm&, spdlog::memory_buf_t& out) override {
        std::string_view text(message.payload.data(), message.payload.size());
        if (json_) {
            append_json_escaped(text, out);
        } else {
            append_text_escaped(text, out);
        }
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<EscapedMessage>(json_); }

private:
    bool json_;
};

std::unique_ptr<spdlog::formatter> make_formatter(bool json) {
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::utc);
    formatter->add_flag<EscapedMessage>('*', json);
    if (json) {
        formatter->set_pattern(R"({"time":"%Y-%m-%dT%H:%M:%S.%fZ","level":"%l","logger":"%n","message":"%*"})");
    } else {
        formatter->set_pattern("%Y-%m-%dT%H:%M:%S.%fZ %^%l%$ %n: %*");
    }
    return formatter;
}

spdlog::level::level_enum parse_level(const std::string& name) {
    static constexpr std::array<std::pair<std::string_view, spdlog::level::level_enum>, 8> levels = {{
        {"trace", spdlog::level::trace},
        {"debug", spdlog::level::debug},
        {"info", spdlog::level::info},
        {"warning", spdlog::level::warn},
        {"warn", spdlog::level::warn},
        {"error", spdlog::level::err},
        {"critical", spdlog::level::critical},
        {"off", spdlog::level::off},
    }};
    for (const auto& [text, level] : levels) {
        if (name == text) return level;
    }
    throw ConfigError("log.level: unknown level \"" + name +
                      "\" (trace, debug, info, warning, error, critical or off)");
}

std::mutex setup_mutex;

}  // namespace

void setup_logging(const LogConfig& config, const std::filesystem::path& file) {
    auto level = parse_level(config.level);
    std::lock_guard lock(setup_mutex);
    spdlog::sink_ptr sink;
    if (file.empty()) {
        sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    } else {
        sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(file.string());
    }
    // The host logger keeps its identity (callers hold it) and gets the new sink.
    auto logger = spdlog::get(host_logger_name);
    if (logger) {
        logger->sinks().assign(1, sink);
    } else {
        spdlog::register_logger(std::make_shared<spdlog::logger>(host_logger_name, sink));
    }
    // The same form and level for every logger, those the modules registered included.
    spdlog::set_formatter(make_formatter(config.json));
    spdlog::set_level(level);
    spdlog::flush_on(spdlog::level::trace);
}

std::shared_ptr<spdlog::logger> host_logger() {
    if (auto logger = spdlog::get(host_logger_name)) return logger;
    std::lock_guard lock(setup_mutex);
    if (auto logger = spdlog::get(host_logger_name)) return logger;
    return spdlog::stderr_color_mt(host_logger_name);
}

}  // namespace quillmere::host
