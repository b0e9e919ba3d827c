// The first "id" of a JSON value (extract_single_id) on arbitrary JSON texts.
// - It agrees with a second reading of the search, written another way: in each object
//   the members after its first "id" are cut off; the answer is the first non-empty "id"
//   value of what is left, in document order, and otherwise, for an object, its own "id"
//   (empty or not), else null.
// - The answer is null or the value of some "id" member of the input.
// - Wrapping keeps a non-empty answer: as the only element of an array, after scalars and
//   id-less members, under a new member of an object; an object whose first member is "id"
//   answers with that value whatever follows.

#include "checks.hpp"
#include "quillmere/common/value.hpp"
#include "quillmere/graviel/extract_single_id.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace json = boost::json;
using quillmere::graviel::extract_single_id;

[[noreturn]] void fail(const char* what, const json::value& input, const json::value& got) {
    std::fprintf(stderr, "%s\ninput: %s\nresult: %s\n", what, json::serialize(input).c_str(),
                 json::serialize(got).c_str());
    std::abort();
}

// Empty: null, false, a zero of any number kind, "", [] and {}. NaN is not empty. Written
// here again on purpose: the search under test uses the shared test, whose faults this
// second reading must not share.
bool empty(const json::value& v) {
    switch (v.kind()) {
        case json::kind::null:
            return true;
        case json::kind::bool_:
            return !v.get_bool();
        case json::kind::int64:
            return v.get_int64() == 0;
        case json::kind::uint64:
            return v.get_uint64() == 0;
        case json::kind::double_:
            return v.get_double() == 0.0;
        case json::kind::string:
            return v.get_string().empty();
        case json::kind::array:
            return v.get_array().empty();
        case json::kind::object:
            return v.get_object().empty();
    }
    return true;
}

// The "id" values reached in document order when every object is cut after its first "id".
void reached_ids(const json::value& v, std::vector<const json::value*>& out) {
    if (const auto* obj = v.if_object()) {
        for (const auto& m : *obj) {
            if (m.key() == "id") {
                out.push_back(&m.value());
                return;
            }
            reached_ids(m.value(), out);
        }
    } else if (const auto* arr = v.if_array()) {
        for (const auto& e : *arr) reached_ids(e, out);
    }
}

json::value reference(const json::value& data) {
    std::vector<const json::value*> ids;
    reached_ids(data, ids);
    for (const json::value* id : ids)
        if (!empty(*id)) return *id;
    // Nothing non-empty: an object answers with its own "id" member, the last one reached
    // when it has one (it is cut off there).
    if (const auto* obj = data.if_object(); obj && obj->contains("id")) return obj->at("id");
    return nullptr;
}

// Equal values, with NaN equal to NaN (the parser reads 0e400 as NaN, and a NaN "id" is a
// valid, non-empty answer).
bool same(const json::value& a, const json::value& b) {
    return quillmere::fuzz::same_value(a, b,
                                       [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); });
}

bool some_id_is(const json::value& v, const json::value& want) {
    if (const auto* obj = v.if_object()) {
        for (const auto& m : *obj)
            if ((m.key() == "id" && same(m.value(), want)) || some_id_is(m.value(), want)) return true;
    } else if (const auto* arr = v.if_array()) {
        for (const auto& e : *arr)
            if (some_id_is(e, want)) return true;
    }
    return false;
}

std::size_t depth(const json::value& v) {
    std::size_t d = 0;
    if (const auto* obj = v.if_object()) {
        for (const auto& m : *obj) d = std::max(d, depth(m.value()));
        return d + 1;
    }
    if (const auto* arr = v.if_array()) {
        for (const auto& e : *arr) d = std::max(d, depth(e));
        return d + 1;
    }
    return 0;
}

void check_wrapped(const json::value& data, const json::value& answer, const json::value& wrapped, const char* how) {
    const json::value got = extract_single_id(wrapped);
    if (!same(got, answer)) fail(how, data, got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    json::value input;
    try {
        input = quillmere::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        return 0;
    }
    const json::value got = extract_single_id(input);
    const json::value want = reference(input);
    if (!same(got, want)) {
        std::fprintf(stderr, "expected: %s\n", json::serialize(want).c_str());
        fail("not the first id", input, got);
    }
    if (!got.is_null() && !some_id_is(input, got)) fail("the answer is no id of the input", input, got);

    // Every wrapping below adds one level; the search refuses what nests too deep.
    if (depth(input) + 1 > quillmere::kMaxJsonDepth) return 0;
    if (!empty(got)) {
        check_wrapped(input, got, json::array{input}, "lost as the element of an array");
        check_wrapped(input, got, json::array{1, "id", nullptr, json::object{{"x", json::array{}}}, input},
                      "lost after scalars and id-less values");
        check_wrapped(input, got, json::object{{"a", 0}, {"b", input}, {"id", "later"}},
                      "lost under a member before a later id");
    }
    check_wrapped(input, input, json::object{{"id", input}, {"x", json::object{{"id", "other"}}}},
                  "a first member id lost");
    return 0;
}
