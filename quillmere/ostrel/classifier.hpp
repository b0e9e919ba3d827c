#pragma once
// The webhook event classifier: one Instagram Graph API webhook body in, one event kind
// of the registry (or nothing) out.
//
// classify_instagram_event never fails on a parsed body: a body of an unexpected shape
// writes a diagnostic trace to the error stream and one line to the output stream, then
// gives std::nullopt. The lines are
//     KeyError: 0 for event is: <body>       ('entry', 'changes', 'messaging' or
//                                             'standby' holds an object, not an array)
//     Exception: <message> for event is: <body>   (every other problem)
// with <body> in the record JSON text form. The plain calls write to std::cout and
// std::cerr; the overloads with two streams let the host route the lines. Each line is
// written with a single write.
//
// Text that is not JSON is not caught: the parse error (boost::system::system_error)
// reaches the caller and nothing is written.
//
// The four step operations are public too. They catch nothing: an argument or member of
// the wrong kind throws (quillmere::TypeError, quillmere::KeyError or std::out_of_range).
//
// All functions are safe to call from many threads at once; lines written by different
// threads may interleave.

#include "quillmere/ostrel/events.hpp"
#include "quillmere/ostrel/export.hpp"

#include <boost/json/value.hpp>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace quillmere::ostrel {

// A parsed body. The value is read in place, never copied. A body that is not an object
// (a JSON text, an array, null...) is a body of the wrong kind: it is not parsed again.
QUILLMERE_OSTREL_API std::optional<InstagramEventType> classify_instagram_event(const boost::json::value& event_data);
QUILLMERE_OSTREL_API std::optional<InstagramEventType> classify_instagram_event(const boost::json::value& event_data,
                                                                                std::ostream& out, std::ostream& err);

// A body as JSON text, parsed with the library's nesting limit (kMaxJsonDepth).
QUILLMERE_OSTREL_API std::optional<InstagramEventType> classify_instagram_event(std::string_view event_text);
QUILLMERE_OSTREL_API std::optional<InstagramEventType> classify_instagram_event(std::string_view event_text,
                                                                                std::ostream& out, std::ostream& err);

// Text arguments of other types go to the text overloads.
inline std::optional<InstagramEventType> classify_instagram_event(const char* event_text) {
    return classify_instagram_event(std::string_view(event_text));
}
inline std::optional<InstagramEventType> classify_instagram_event(const std::string& event_text) {
    return classify_instagram_event(std::string_view(event_text));
}
inline std::optional<InstagramEventType> classify_instagram_event(const char* event_text, std::ostream& out,
                                                                  std::ostream& err) {
    return classify_instagram_event(std::string_view(event_text), out, err);
}
inline std::optional<InstagramEventType> classify_instagram_event(const std::string& event_text, std::ostream& out,
                                                                  std::ostream& err) {
    return classify_instagram_event(std::string_view(event_text), out, err);
}

// A classifier that keeps its JSON parser and the memory of the parsed body from one call
// to the next, for a host that classifies many bodies on one thread: after the first few
// bodies, classifying text allocates nothing. Results, lines and failures are those of
// classify_instagram_event. One object per thread (it is not safe to share); the lines go
// to the streams given at construction.
//
//     ostrel::Classifier classifier(std::cout, std::cerr);
//     for (const std::string& body : bodies) handle(classifier.classify(body));
class QUILLMERE_OSTREL_API Classifier {
public:
    Classifier();  // std::cout and std::cerr
    Classifier(std::ostream& out, std::ostream& err);
    ~Classifier();
    Classifier(Classifier&&) noexcept;
    Classifier& operator=(Classifier&&) noexcept;

    // A body as JSON text. Throws boost::system::system_error, writing nothing, when the
    // text is not JSON.
    std::optional<InstagramEventType> classify(std::string_view event_text);
    std::optional<InstagramEventType> classify(const boost::json::value& event_data);

private:
    struct QUILLMERE_OSTREL_NO_EXPORT Buffers;
    std::unique_ptr<Buffers> buffers_;
    std::ostream* out_;
    std::ostream* err_;
};

// A comment on media: COMMENT_REPLY_ON_FEED, COMMENT_ON_FEED, COMMENT_ON_REEL,
// COMMENT_ON_AD, or nothing. `changes_value` must be an object.
QUILLMERE_OSTREL_API std::optional<InstagramEventType> process_media_event(const boost::json::value& changes_value);

// A mention: MENTION_IN_COMMENT, MENTION_IN_MEDIA, or nothing when `changes_field` is not
// "mentions". `changes_value` must be an object and `changes_field` a text.
QUILLMERE_OSTREL_API std::optional<InstagramEventType> process_mentions_event(const boost::json::value& changes_value,
                                                                              const boost::json::value& changes_field);

// One direct-message event (the first element of an entry's "messaging" array).
// `message_value` must be an object.
QUILLMERE_OSTREL_API std::optional<InstagramEventType> process_messaging_event(const boost::json::value& message_value);

// One standby-channel event (the first element of an entry's "standby" array).
// `standby_value` must be an object.
QUILLMERE_OSTREL_API std::optional<InstagramEventType> process_standby_event(const boost::json::value& standby_value);

}  // namespace quillmere::ostrel
