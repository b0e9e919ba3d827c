#include "quillmere/ostrel/classifier.hpp"

#include "quillmere/common/errors.hpp"
#include "quillmere/common/json_text.hpp"
#include "quillmere/common/value.hpp"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>

#include <unicode/bytestream.h>
#include <unicode/casemap.h>

#include <array>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

namespace quillmere::ostrel {
namespace {

using E = InstagramEventType;
template <std::size_t N>
using Table = std::array<std::pair<std::string_view, E>, N>;

// Constant lookup tables; the ones that are walked are walked in this order.
constexpr Table<3> kMediaTypeMapping{
    {{"REELS", E::COMMENT_ON_REEL}, {"FEED", E::COMMENT_ON_FEED}, {"AD", E::COMMENT_ON_AD}}};

constexpr Table<4> kMessagingEventMapping{{{"postback", E::POSTBACK},
                                           {"pass_thread_control", E::PASS_THREAD_CONTROL},
                                           {"request_thread_control", E::REQUEST_THREAD_CONTROL},
                                           {"read", E::MESSAGE_READ}}};

constexpr Table<2> kReactionMapping{{{"react", E::MESSAGE_REACT}, {"unreact", E::MESSAGE_UNREACT}}};

constexpr Table<4> kMessagingAttachmentMapping{{{"video", E::MESSAGE_WITH_VIDEO},
                                                {"unsupported_type", E::UNSUPPORTED_ATTACHMENT},
                                                {"story_mention", E::STORY_MENTION},
                                                {"template", E::MESSAGE_TEMPLATE}}};

constexpr Table<3> kStandbyEventMapping{{{"reaction", E::STANDBY_REACTION},
                                         {"read", E::STANDBY_READ},
                                         {"take_thread_control", E::STANDBY_TAKE_THREAD_CONTROL}}};

constexpr Table<4> kStandbyMessageMapping{{{"reply_to", E::STANDBY_REPLY_TO_MESSAGE},
                                           {"is_deleted", E::STANDBY_MESSAGE_DELETED},
                                           {"text", E::STANDBY_SIMPLE_MESSAGE},
                                           {"is_unsupported", E::STANDBY_UNSUPPORTED}}};

constexpr Table<7> kStandbyAttachmentMapping{{{"image", E::STANDBY_MESSAGE_WITH_IMAGE},
                                              {"video", E::STANDBY_MESSAGE_WITH_VIDEO},
                                              {"unsupported_type", E::STANDBY_MESSAGE_WITH_UNSUPPORTED_ATTACHMENT},
                                              {"share", E::STANDBY_MESSAGE_WITH_SHARE},
                                              {"ig_reel", E::STANDBY_MESSAGE_WITH_REEL},
                                              {"story_mention", E::STANDBY_STORY_MENTION},
                                              {"audio", E::STANDBY_MESSAGE_WITH_AUDIO}}};

template <std::size_t N>
std::optional<E> lookup(const Table<N>& table, std::string_view key) noexcept {
    for (const auto& [k, kind] : table)
        if (k == key) return kind;
    return std::nullopt;
}

// The first key of `table` that `obj` has as a member (whatever its value).
template <std::size_t N>
std::optional<E> first_member(const Table<N>& table, const json::object& obj) noexcept {
    for (const auto& [k, kind] : table)
        if (obj.contains(k)) return kind;
    return std::nullopt;
}

const json::object& empty_object() noexcept {
    static const json::object empty;
    return empty;
}

std::string_view a_kind(const json::value& v) noexcept {
    switch (v.kind()) {
        case json::kind::null:
            return "null";
        case json::kind::bool_:
            return "a boolean";
        case json::kind::int64:
        case json::kind::uint64:
            return "an integer";
        case json::kind::double_:
            return "a number";
        case json::kind::string:
            return "a text";
        case json::kind::array:
            return "an array";
        case json::kind::object:
            return "an object";
    }
    return "a value";
}

[[noreturn]] void wrong_kind(std::string_view what, std::string_view expected, const json::value& v) {
    std::string m;
    m.reserve(what.size() + expected.size() + 24);
    m.append(what).append(" must be ").append(expected).append(", not ").append(a_kind(v));
    throw TypeError(m);
}

const json::object& as_object(const json::value& v, std::string_view what) {
    if (const json::object* o = v.if_object()) return *o;
    wrong_kind(what, "an object", v);
}

// Element 0 of the member `name`, which should hold an array. An object fails as the
// missing key 0 (an object cannot be indexed by position); an empty array has no
// element 0; any other kind cannot be indexed at all.
const json::value& element0(const json::value& list, std::string_view name) {
    if (const json::array* a = list.if_array()) {
        if (a->empty()) throw std::out_of_range("'" + std::string(name) + "' is an empty array: it has no element 0");
        return (*a)[0];
    }
    if (list.is_object()) throw KeyError("0");
    wrong_kind("'" + std::string(name) + "'", "an array", list);
}

// Walks `attachments` in order: the first attachment whose "type" is a key of `table`.
template <std::size_t N>
std::optional<E> attachment_kind(const json::object& message, const Table<N>& table) {
    auto it = message.find("attachments");
    if (it == message.end()) return std::nullopt;
    const json::array* attachments = it->value().if_array();
    if (!attachments) wrong_kind("'attachments'", "an array", it->value());
    for (const json::value& a : *attachments) {
        const json::object& attachment = as_object(a, "an element of 'attachments'");
        auto t = attachment.find("type");
        if (t == attachment.end() || t->value().is_null()) continue;
        const json::string* type = t->value().if_string();
        if (!type) wrong_kind("an attachment's 'type'", "a text or null", t->value());
        if (auto kind = lookup(table, *type)) return kind;
    }
    return std::nullopt;
}

// Full Unicode upper-case mapping (root locale), then a look-up in media_type_mapping.
// ASCII is mapped in place; other text goes through ICU into a small buffer. Every key
// has at most five characters and upper-casing never shortens a text by characters, so
// a longer text cannot match.
std::optional<E> media_kind_upper(std::string_view s) {
    constexpr std::size_t kMaxKeyChars = 5;
    char buf[32];
    bool ascii = true;
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) {
        if (s.size() > kMaxKeyChars) return std::nullopt;
        for (std::size_t i = 0; i < s.size(); ++i) {
            char c = s[i];
            buf[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        return lookup(kMediaTypeMapping, std::string_view(buf, s.size()));
    }
    if (s.size() > kMaxKeyChars * 4) return std::nullopt;
    icu::CheckedArrayByteSink sink(buf, static_cast<int32_t>(sizeof buf));
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToUpper("", 0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())), sink, nullptr, status);
    if (U_FAILURE(status) || sink.Overflowed()) return std::nullopt;
    return lookup(kMediaTypeMapping, std::string_view(buf, static_cast<std::size_t>(sink.NumberOfBytesWritten())));
}

// Where the classifier was when an error occurred; named in the diagnostic trace.
enum class Stage { body, entry, changes, media, mentions, messaging, standby };

std::string_view stage_name(Stage s) noexcept {
    switch (s) {
        case Stage::body:
            return "reading the body";
        case Stage::entry:
            return "reading entry[0]";
        case Stage::changes:
            return "reading changes[0]";
        case Stage::media:
            return "process_media_event";
        case Stage::mentions:
            return "process_mentions_event";
        case Stage::messaging:
            return "process_messaging_event (messaging[0])";
        case Stage::standby:
            return "process_standby_event (standby[0])";
    }
    return "?";
}

std::optional<E> classify_body(const json::value& body, Stage& stage) {
    stage = Stage::body;
    const json::object& b = as_object(body, "event_data");

    stage = Stage::entry;
    const json::object* entry = &empty_object();
    if (auto it = b.find("entry"); it != b.end()) entry = &as_object(element0(it->value(), "entry"), "entry[0]");

    stage = Stage::changes;
    const json::object* change = &empty_object();
    if (auto it = entry->find("changes"); it != entry->end())
        change = &as_object(element0(it->value(), "changes"), "changes[0]");
    static const json::value empty_text = json::string();
    static const json::value empty_value = json::object();
    const json::value& changes_field = get_or(*change, "field", empty_text);
    const json::value& changes_value = get_or(*change, "value", empty_value);

    if (const json::string* f = changes_field.if_string(); f && *f == "story_insights") return E::STORY_INSIGHTS;

    stage = Stage::media;
    if (auto kind = process_media_event(changes_value)) return kind;

    stage = Stage::mentions;
    if (auto kind = process_mentions_event(changes_value, changes_field)) return kind;

    if (auto it = entry->find("messaging"); it != entry->end()) {
        stage = Stage::messaging;
        return process_messaging_event(element0(it->value(), "messaging"));
    }
    if (auto it = entry->find("standby"); it != entry->end()) {
        stage = Stage::standby;
        return process_standby_event(element0(it->value(), "standby"));
    }
    return std::nullopt;
}

std::string_view error_kind(const std::exception& e) noexcept {
    if (dynamic_cast<const KeyError*>(&e)) return "KeyError";
    if (dynamic_cast<const TypeError*>(&e)) return "TypeError";
    if (dynamic_cast<const ValueError*>(&e)) return "ValueError";
    if (dynamic_cast<const std::out_of_range*>(&e)) return "IndexError";
    return "Error";
}

void append_event_data(std::string& line, const json::value& body) {
    std::size_t mark = line.size();
    try {
        write_json_text(line, body);
    } catch (const std::exception&) {
        // Only a value built by code can nest deeper than the writer goes.
        line.resize(mark);
        line += "<value nested too deeply to print>";
    }
}

void report(const std::exception& e, Stage stage, const json::value& body, std::ostream& out, std::ostream& err) {
    const bool missing_key = dynamic_cast<const KeyError*>(&e) != nullptr;

    std::string trace = "quillmere.ostrel: classify_instagram_event failed\n  at: ";
    trace += stage_name(stage);
    trace += "\n  ";
    trace += error_kind(e);
    trace += ": ";
    trace += e.what();
    trace += '\n';
    err.write(trace.data(), static_cast<std::streamsize>(trace.size()));
    err.flush();

    std::string line = missing_key ? "KeyError: " : "Exception: ";
    line += missing_key ? static_cast<const KeyError&>(e).key() : std::string(e.what());
    line += " for event is: ";
    append_event_data(line, body);
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

}  // namespace

std::optional<InstagramEventType> process_media_event(const json::value& changes_value) {
    const json::object& value = as_object(changes_value, "process_media_event: changes_value");
    auto media_it = value.find("media");
    if (media_it == value.end()) return std::nullopt;  // no media: media_product_type is null
    const json::object& media = as_object(media_it->value(), "'media'");
    auto type_it = media.find("media_product_type");
    if (type_it == media.end()) return std::nullopt;
    const json::value& media_type = type_it->value();

    const json::string* text = media_type.if_string();
    if (text && *text == "FEED" && value.contains("parent_id")) return E::COMMENT_REPLY_ON_FEED;
    if (is_empty(media_type)) return std::nullopt;
    if (!text) wrong_kind("'media_product_type'", "a text", media_type);
    return media_kind_upper(*text);
}

std::optional<InstagramEventType> process_mentions_event(const json::value& changes_value,
                                                         const json::value& changes_field) {
    const json::object& value = as_object(changes_value, "process_mentions_event: changes_value");
    const json::string* field = changes_field.if_string();
    if (!field) wrong_kind("process_mentions_event: changes_field", "a text", changes_field);
    if (*field != "mentions") return std::nullopt;
    return value.contains("comment_id") ? E::MENTION_IN_COMMENT : E::MENTION_IN_MEDIA;
}

std::optional<InstagramEventType> process_messaging_event(const json::value& message_value) {
    const json::object& event = as_object(message_value, "process_messaging_event: message_value");
    if (auto kind = first_member(kMessagingEventMapping, event)) return kind;

    const json::object* message = &empty_object();
    const auto message_it = event.find("message");
    if (message_it != event.end()) message = &as_object(message_it->value(), "'message'");
    if (auto it = message->find("reply_to"); it != message->end()) {
        const json::object& reply_to = as_object(it->value(), "'reply_to'");
        if (auto s = reply_to.find("story"); s != reply_to.end() && is_set(s->value())) return E::REPLY_TO_STORY;
    }

    if (auto it = event.find("reaction"); it != event.end()) {
        const json::object& reaction = as_object(it->value(), "'reaction'");
        if (auto a = reaction.find("action"); a != reaction.end()) {
            const json::value& action = a->value();
            if (action.is_array() || action.is_object()) wrong_kind("a reaction's 'action'", "a text", action);
            // The final answer once an action is present, even when it matches nothing.
            const json::string* text = action.if_string();
            return text ? lookup(kReactionMapping, *text) : std::nullopt;
        }
    }

    if (auto it = message->find("is_deleted"); it != message->end() && is_set(it->value())) return E::MESSAGE_DELETED;
    if (auto kind = attachment_kind(*message, kMessagingAttachmentMapping)) return kind;
    if (message_it != event.end()) return E::MESSAGE;
    return std::nullopt;
}

std::optional<InstagramEventType> process_standby_event(const json::value& standby_value) {
    const json::object& event = as_object(standby_value, "process_standby_event: standby_value");
    if (auto kind = first_member(kStandbyEventMapping, event)) return kind;

    const json::object* message = &empty_object();
    if (auto it = event.find("message"); it != event.end()) message = &as_object(it->value(), "the standby 'message'");
    if (auto kind = first_member(kStandbyMessageMapping, *message)) return kind;
    return attachment_kind(*message, kStandbyAttachmentMapping);
}

std::optional<InstagramEventType> classify_instagram_event(const json::value& event_data, std::ostream& out,
                                                           std::ostream& err) {
    Stage stage = Stage::body;
    try {
        return classify_body(event_data, stage);
    } catch (const std::bad_alloc&) {
        throw;  // out of memory is the process's problem, not the delivery's
    } catch (const std::exception& e) {
        report(e, stage, event_data, out, err);
        return std::nullopt;
    }
}

std::optional<InstagramEventType> classify_instagram_event(const json::value& event_data) {
    return classify_instagram_event(event_data, std::cout, std::cerr);
}

std::optional<InstagramEventType> classify_instagram_event(std::string_view event_text, std::ostream& out,
                                                           std::ostream& err) {
    // A typical delivery parses without touching the heap: the parser's scratch space and
    // the parsed value live in buffers on this frame and grow onto the heap only for
    // large bodies. The value is released into the monotonic resource, which frees all of
    // it at once when the call returns.
    alignas(std::max_align_t) unsigned char scratch[2048];
    alignas(std::max_align_t) unsigned char storage[8192];
    json::monotonic_resource resource(storage, sizeof storage);
    json::parse_options options;
    options.max_depth = kMaxJsonDepth;
    json::parser parser(json::storage_ptr(), options, scratch, sizeof scratch);
    parser.reset(&resource);
    boost::system::error_code ec;
    parser.write(event_text.data(), event_text.size(), ec);
    if (ec) throw boost::system::system_error(ec);
    const json::value body = parser.release();
    return classify_instagram_event(body, out, err);
}

std::optional<InstagramEventType> classify_instagram_event(std::string_view event_text) {
    return classify_instagram_event(event_text, std::cout, std::cerr);
}

// The parser (with its scratch space) and the first block of the arena that holds a parsed
// body. The arena itself is made anew for each body: Boost's monotonic_resource, emptied
// with release() and used again, keeps doubling the size of the blocks it asks for, so
// that a run of large bodies would end in a failed allocation.
struct Classifier::Buffers {
    static constexpr std::size_t kInitial = 16 * 1024;
    std::unique_ptr<unsigned char[]> initial{new unsigned char[kInitial]};
    std::optional<json::monotonic_resource> resource;
    json::parser parser{json::storage_ptr(), [] {
                            json::parse_options options;
                            options.max_depth = kMaxJsonDepth;
                            return options;
                        }()};
};

Classifier::Classifier() : Classifier(std::cout, std::cerr) {}
Classifier::Classifier(std::ostream& out, std::ostream& err)
    : buffers_(std::make_unique<Buffers>()), out_(&out), err_(&err) {}
Classifier::~Classifier() = default;
Classifier::Classifier(Classifier&&) noexcept = default;
Classifier& Classifier::operator=(Classifier&&) noexcept = default;

std::optional<InstagramEventType> Classifier::classify(std::string_view event_text) {
    Buffers& b = *buffers_;
    b.resource.reset();
    b.resource.emplace(b.initial.get(), Buffers::kInitial);
    b.parser.reset(&*b.resource);
    boost::system::error_code ec;
    b.parser.write(event_text.data(), event_text.size(), ec);
    if (ec) throw boost::system::system_error(ec);
    const json::value body = b.parser.release();
    return classify_instagram_event(body, *out_, *err_);
}

std::optional<InstagramEventType> Classifier::classify(const json::value& event_data) {
    return classify_instagram_event(event_data, *out_, *err_);
}

}  // namespace quillmere::ostrel
