#pragma once
// The request-member tables: where each member of the flat request object that a rule
// table reads comes from. One row per request member, in the order the members are put
// into the request; each row lists its sources in order of preference and the first
// source that holds a non-null value gives the member (no source: the member is left
// out, and the rule table's default applies). The same tables are documented in
// docs/host.md.
//
//   RequestSources sources{.details = &details, .item = &change_value, .host = &computed};
//   boost::json::object request = build_request(comment_request_members(), sources);

#include <boost/json/object.hpp>

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::host {

// Where a value is read.
enum class Source {
    details,  // the common details of the brand setting (extracting_common_details)
    item,     // the webhook item: a change's "value", or a messaging or standby event
    host,     // values the host computes for the item (see HostValues below)
    parent,   // the parent post: a cached summary, a ClickHouse record or the Graph API post
    author,   // the post owner's details, when the comment's author owns the post
};

std::string_view source_name(Source source) noexcept;

struct SourcePath {
    Source source;
    std::string path;                // dotted ("from.id"); empty: the whole source object
    std::vector<std::string> parts;  // the path split at "."
};

struct RequestMember {
    // The request member; "*" copies every member of the (first present) source object,
    // in its order.
    std::string member;
    std::vector<SourcePath> sources;
};

// The members of the "host" source, computed per item:
//   entry_time               the entry's "time" in the Graph API form "%Y-%m-%dT%H:%M:%S+0000"
//                            (seconds; a value above 10^11 is read as milliseconds)
//   type_of                  1 for a reply to a comment, 0 otherwise
//   replied_comment_id       the item's "parent_id" for a reply to a comment
//   account_id               the entry's "id"
//   parent_owned_by_account  whether the parent post's owner is the account (Graph API post)
//   owner                    the parent post's "owner" with the owner details' members
//                            added where the Graph API left them out
//
// The comment's request (the comment rule table reads it).
std::span<const RequestMember> comment_request_members();
// The parent post's request (the parent-post rule table reads it), for a parent post that
// came from the Graph API.
std::span<const RequestMember> parent_request_members();

struct RequestSources {
    const boost::json::object* details = nullptr;
    const boost::json::object* item = nullptr;
    const boost::json::object* host = nullptr;
    const boost::json::object* parent = nullptr;
    const boost::json::object* author = nullptr;

    const boost::json::object* get(Source source) const noexcept;
};

// The request object the table describes, from the given sources (a null source holds
// nothing). A member set twice (by "*" and by a row of its own) keeps its first place and
// takes the later value.
boost::json::object build_request(std::span<const RequestMember> table, const RequestSources& sources);

// The table as the Markdown rows of docs/host.md: "| `member` | `source.path`, ... |".
std::string table_markdown(std::span<const RequestMember> table);

}  // namespace quillmere::host
