#include "quillmere/common/internal/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>
#include <stdexcept>

namespace quillmere {
namespace {

struct MatchData {
    pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
    ~MatchData() { pcre2_match_data_free(data); }
};

}  // namespace

Regex::Regex(std::string_view pattern, std::uint32_t options) {
    std::unique_ptr<pcre2_compile_context, decltype(&pcre2_compile_context_free)> ctx(
        pcre2_compile_context_create(nullptr), &pcre2_compile_context_free);
    if (!ctx) throw std::bad_alloc();
    pcre2_set_newline(ctx.get(), PCRE2_NEWLINE_LF);
    int err = 0;
    PCRE2_SIZE offset = 0;
    code_ =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &err, &offset, ctx.get());
    if (!code_) {
        PCRE2_UCHAR msg[256];
        pcre2_get_error_message(err, msg, sizeof msg);
        throw std::invalid_argument("pattern does not compile at offset " + std::to_string(offset) + ": " +
                                    reinterpret_cast<const char*>(msg));
    }
    // Without JIT support PCRE2 keeps using its interpreter; matches are the same.
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
}

Regex::~Regex() { pcre2_code_free(code_); }

std::pair<std::size_t, std::size_t> Regex::find(std::string_view subject, std::size_t start) const {
    thread_local MatchData md;
    if (!md.data) throw std::bad_alloc();
    int rc =
        pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start, 0, md.data, nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) return {std::string_view::npos, std::string_view::npos};
    if (rc < 0) {
        PCRE2_UCHAR msg[256];
        pcre2_get_error_message(rc, msg, sizeof msg);
        throw std::runtime_error(std::string("regular expression match failed: ") + reinterpret_cast<const char*>(msg));
    }
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.data);
    return {ov[0], ov[1]};
}

std::string regex_literal(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 2);
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            out.push_back(ch);
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back('\\');
            out.push_back(ch);
        } else {
            out += "\\x{";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
            out.push_back('}');
        }
    }
    return out;
}

}  // namespace quillmere
