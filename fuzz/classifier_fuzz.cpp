// The classifier on arbitrary bytes: it must never crash, hang or leak, and text and the
// parsed value of that text must classify alike and print alike.

#include "quillmere/common/value.hpp"
#include "quillmere/ostrel/classifier.hpp"

#include <boost/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string_view>

namespace {

// Swallows everything written to it.
class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillmere::ostrel;
    static NullBuffer null_buffer;
    static std::ostream null_stream(&null_buffer);

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<InstagramEventType> from_text;
    std::ostringstream text_out;
    try {
        from_text = classify_instagram_event(text, text_out, null_stream);
    } catch (const boost::system::system_error&) {
        return 0;  // not JSON: the one failure that reaches the caller
    }

    const boost::json::value body = quillmere::parse_json(text);
    std::ostringstream value_out;
    const auto from_value = classify_instagram_event(body, value_out, null_stream);
    if (from_text != from_value || text_out.str() != value_out.str()) std::abort();

    // The step operations on whatever the body holds: they may throw, never crash.
    if (const auto* obj = body.if_object()) {
        for (const auto& member : *obj) {
            const auto& v = member.value();
            try {
                (void)process_media_event(v);
            } catch (const std::exception&) {}
            try {
                (void)process_mentions_event(v, boost::json::value("mentions"));
            } catch (const std::exception&) {}
            try {
                (void)process_messaging_event(v);
            } catch (const std::exception&) {}
            try {
                (void)process_standby_event(v);
            } catch (const std::exception&) {}
        }
    }
    return 0;
}
