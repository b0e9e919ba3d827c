#include "host/request_members.hpp"

#include <initializer_list>
#include <utility>

namespace quillmere::host {
namespace json = boost::json;

namespace {

SourcePath at(Source source, std::string path) {
    SourcePath p{source, std::move(path), {}};
    std::string_view rest = p.path;
    while (!rest.empty()) {
        const auto dot = rest.find('.');
        p.parts.emplace_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return p;
}

using Row = std::pair<const char*, std::initializer_list<std::pair<Source, const char*>>>;

std::vector<RequestMember> make_table(std::initializer_list<Row> rows) {
    std::vector<RequestMember> table;
    table.reserve(rows.size());
    for (const auto& [member, sources] : rows) {
        RequestMember m{member, {}};
        for (const auto& [source, path] : sources) m.sources.push_back(at(source, path));
        table.push_back(std::move(m));
    }
    return table;
}

constexpr Source D = Source::details;
constexpr Source I = Source::item;
constexpr Source H = Source::host;
constexpr Source P = Source::parent;
constexpr Source A = Source::author;

// clang-format off
const std::vector<RequestMember>& comment_table() {
    static const std::vector<RequestMember> table = make_table({
    // The twelve common details, in their order.
    {"*",                       {{D, ""}}},
    // The comment itself, from the webhook item.
    {"post_id",                 {{I, "id"}}},
    {"comment_text",            {{I, "text"}}},
    {"comment_time",            {{I, "timestamp"}, {H, "entry_time"}}},
    {"type_of",                 {{H, "type_of"}}},
    {"post_author_id",          {{I, "from.id"}}},
    {"comment_author_id",       {{I, "from.id"}}},
    {"comment_username",        {{I, "from.username"}}},
    {"name",                    {{I, "from.name"}, {I, "from.username"}}},
    // The post it belongs to: the replied comment for a reply, else the post.
    {"parent_post_social_id",   {{H, "replied_comment_id"}, {P, "parent_post_social_id"}, {P, "id"}, {I, "media.id"}}},
    {"main_post_social_id",     {{P, "parent_post_social_id"}, {P, "id"}, {I, "media.id"}}},
    {"parent_post_url",         {{P, "parent_post_url"}, {P, "url"}, {P, "permalink"}}},
    {"permalink",               {{P, "permalink"}, {P, "parent_post_url"}, {P, "url"}}},
    {"is_parent_brand_post",    {{P, "is_parent_brand_post"}, {H, "parent_owned_by_account"}}},
    {"is_brand_post",           {{P, "is_brand_post"}}},
    // The author's counters: from the parent post's source, else from the owner's details
    // when the author owns the post.
    {"comment_follower_count",  {{P, "comment_follower_count"}, {A, "followers_count"}}},
    {"comment_follows_count",   {{P, "comment_follows_count"}, {A, "follows_count"}}},
    {"comment_tweet_count",     {{P, "comment_tweet_count"}, {A, "media_count"}}},
    {"comment_profile_picture", {{A, "profile_picture_url"}}},
    });
    return table;
}

const std::vector<RequestMember>& parent_table() {
    static const std::vector<RequestMember> table = make_table({
    // The post as the Graph API gave it, then the common details.
    {"*",                       {{P, ""}}},
    {"*",                       {{D, ""}}},
    {"post_id",                 {{P, "id"}}},
    {"post_author_id",          {{P, "owner.id"}, {H, "account_id"}}},
    {"is_brand_post",           {{H, "parent_owned_by_account"}}},
    {"owner",                   {{H, "owner"}, {P, "owner"}}},
    });
    return table;
}
// clang-format on

const json::value* find_path(const json::object* obj, const std::vector<std::string>& parts) {
    if (!obj) return nullptr;
    const json::value* v = nullptr;
    for (const std::string& part : parts) {
        if (!obj) return nullptr;
        auto it = obj->find(part);
        if (it == obj->end()) return nullptr;
        v = &it->value();
        obj = v->if_object();
    }
    return v;
}

}  // namespace

std::string_view source_name(Source source) noexcept {
    switch (source) {
        case Source::details:
            return "details";
        case Source::item:
            return "item";
        case Source::host:
            return "host";
        case Source::parent:
            return "parent";
        case Source::author:
            return "author";
    }
    return "?";
}

std::span<const RequestMember> comment_request_members() { return comment_table(); }
std::span<const RequestMember> parent_request_members() { return parent_table(); }

const json::object* RequestSources::get(Source source) const noexcept {
    switch (source) {
        case Source::details:
            return details;
        case Source::item:
            return item;
        case Source::host:
            return host;
        case Source::parent:
            return parent;
        case Source::author:
            return author;
    }
    return nullptr;
}

json::object build_request(std::span<const RequestMember> table, const RequestSources& sources) {
    json::object request;
    request.reserve(table.size());
    for (const RequestMember& row : table) {
        if (row.member == "*") {
            for (const SourcePath& s : row.sources) {
                const json::object* obj = sources.get(s.source);
                if (!s.parts.empty()) {
                    const json::value* v = find_path(obj, s.parts);
                    obj = v ? v->if_object() : nullptr;
                }
                if (!obj) continue;
                for (const auto& m : *obj) request.insert_or_assign(m.key(), m.value());
                break;
            }
            continue;
        }
        for (const SourcePath& s : row.sources) {
            const json::value* v = find_path(sources.get(s.source), s.parts);
            if (v && !v->is_null()) {
                request.insert_or_assign(row.member, *v);
                break;
            }
        }
    }
    return request;
}

std::string table_markdown(std::span<const RequestMember> table) {
    std::string out;
    for (const RequestMember& row : table) {
        out += "| `";
        out += row.member;
        out += "` | ";
        for (std::size_t i = 0; i < row.sources.size(); ++i) {
            if (i) out += ", ";
            out += '`';
            out += source_name(row.sources[i].source);
            if (!row.sources[i].path.empty()) {
                out += '.';
                out += row.sources[i].path;
            }
            out += '`';
        }
        out += " |\n";
    }
    return out;
}

}  // namespace quillmere::host
