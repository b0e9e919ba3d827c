#pragma once
// A compiled PCRE2 pattern (JIT where available) shared read-only by any number of
// threads; each thread matches with its own match data.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

struct pcre2_real_code_8;

namespace quillmere {

class Regex {
public:
    // Compiles `pattern` with PCRE2 `options`; line breaks are "\n" only. Throws
    // std::invalid_argument with PCRE2's message when the pattern does not compile.
    Regex(std::string_view pattern, std::uint32_t options);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // The first match at or after `start` as (begin, end) offsets, or (npos, npos).
    // Throws std::runtime_error when matching fails for another reason than no match.
    std::pair<std::size_t, std::size_t> find(std::string_view subject, std::size_t start = 0) const;

    bool matches(std::string_view subject) const { return find(subject).first != std::string_view::npos; }

private:
    pcre2_real_code_8* code_;
};

// `text` written as a pattern that matches exactly `text` (byte-wise, no UTF mode).
std::string regex_literal(std::string_view text);

}  // namespace quillmere
