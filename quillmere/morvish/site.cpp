#include "quillmere/morvish/site.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/internal/regex.hpp"
#include "quillmere/common/value.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace quillmere::morvish {
namespace {

// One immutable configuration. Replaced ones are kept until the process ends, so that a
// reader holding the previous root or pattern never sees it freed.
struct Site {
    explicit Site(std::string_view r)
        : root(r),
          placeholder(root + "p/0000000000000/"),
          comment_address("^" + regex_literal(root) + "p/[A-Za-z0-9_-]+/c/[0-9]+/?$", 0) {}
    std::string root;
    std::string placeholder;
    Regex comment_address;
};

struct SiteState {
    std::mutex mutex;
    std::vector<std::unique_ptr<const Site>> all;
    std::atomic<const Site*> current{nullptr};
    SiteState() {
        all.push_back(std::make_unique<const Site>(kDefaultSiteRoot));
        current.store(all.back().get(), std::memory_order_release);
    }
};

SiteState& state() {
    static SiteState s;
    return s;
}

const Site& site() noexcept { return *state().current.load(std::memory_order_acquire); }

void check_root(std::string_view root) {
    constexpr std::string_view scheme = "https://";
    auto bad = [&](const char* why) { return ValueError("public site root '" + std::string(root) + "' " + why); };
    if (root.substr(0, scheme.size()) != scheme) throw bad("must start with https://");
    if (root.size() <= scheme.size() + 1 || root[scheme.size()] == '/') throw bad("must name a host");
    if (root.back() != '/') throw bad("must end with /");
    for (char c : root)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) throw bad("must not hold blanks or control characters");
}

}  // namespace

std::string_view public_site_root() noexcept { return site().root; }

void set_public_site_root(std::string_view root) {
    check_root(root);
    auto next = std::make_unique<const Site>(root);
    SiteState& s = state();
    std::lock_guard lock(s.mutex);
    s.all.push_back(std::move(next));
    s.current.store(s.all.back().get(), std::memory_order_release);
}

bool is_comment_address(std::string_view address) { return site().comment_address.matches(address); }

std::string profile_address(const boost::json::value& user_name) {
    const Site& s = site();
    std::string out = s.root;
    append_text_form(out, user_name);
    out.push_back('/');
    return out;
}

std::string placeholder_post_address() { return site().placeholder; }

}  // namespace quillmere::morvish
