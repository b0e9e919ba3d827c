// The fan-out of a delivery on arbitrary JSON: it never throws, loses no item and invents
// none. A second, independent walk of the delivery says which items there must be, in
// which order; every item body holds exactly its one item (the delivery's and the entry's
// other members kept, in order); and a delivery of one item classifies as its item's body.

#include "host/fanout.hpp"

#include "quillmere/common/decode.hpp"
#include "quillmere/ostrel/classifier.hpp"

#include <boost/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace json = boost::json;
using quillmere::host::DeliveryItem;

class NullBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void check(bool ok) {
    if (!ok) std::abort();
}

// What one item must be: an error standing for a part, or one element of an item array.
struct Expected {
    bool error = false;
    const json::object* entry = nullptr;  // null for an error that names no entry
    std::string_view collection{};
    const json::value* element = nullptr;
};

constexpr std::string_view kCollections[] = {"changes", "messaging", "standby"};

bool is_collection(std::string_view key) {
    for (auto c : kCollections)
        if (c == key) return true;
    return false;
}

std::vector<Expected> expected_items(const json::value& delivery) {
    std::vector<Expected> out;
    const json::object* top = delivery.if_object();
    const json::value* entries = top ? top->if_contains("entry") : nullptr;
    if (!entries || !entries->is_array() || entries->get_array().empty()) return {Expected{true}};
    for (const json::value& e : entries->get_array()) {
        const json::object* entry = e.if_object();
        if (!entry) {
            out.push_back(Expected{true});
            continue;
        }
        const std::size_t before = out.size();
        for (std::string_view c : kCollections) {
            const json::value* list = entry->if_contains(c);
            if (!list) continue;
            if (!list->is_array()) {
                out.push_back(Expected{true, entry});
                continue;
            }
            for (const json::value& element : list->get_array()) out.push_back(Expected{false, entry, c, &element});
        }
        if (out.size() == before) out.push_back(Expected{true, entry});
    }
    return out;
}

const json::value& member_or_null(const json::object* obj, std::string_view key) {
    static const json::value null;
    if (!obj) return null;
    const json::value* v = obj->if_contains(key);
    return v ? *v : null;
}

void check_item(const DeliveryItem& item, const Expected& want, const json::object& top) {
    check(item.account_id == member_or_null(want.entry, "id"));
    if (want.error) {
        check(!item.error.empty());
        check(item.body.is_null());
        check(item.collection.empty());
        return;
    }
    check(item.error.empty());
    check(item.collection == want.collection);
    check(item.entry_time == member_or_null(want.entry, "time"));
    const json::object* body = item.body.if_object();
    check(body != nullptr);
    // The delivery's members but "entry", in order, then "entry".
    auto b = body->begin();
    for (const auto& m : top) {
        if (m.key() == "entry") continue;
        check(b != body->end() && b->key() == m.key() && b->value() == m.value());
        ++b;
    }
    check(b != body->end() && b->key() == "entry");
    check(std::next(b) == body->end());
    const json::array* one = b->value().if_array();
    check(one && one->size() == 1 && one->at(0).is_object());
    const json::object& entry = one->at(0).get_object();
    // The entry's members but its item arrays, in order, then the one array of this item.
    auto m = entry.begin();
    for (const auto& original : *want.entry) {
        if (is_collection(original.key())) continue;
        check(m != entry.end() && m->key() == original.key() && m->value() == original.value());
        ++m;
    }
    check(m != entry.end() && m->key() == want.collection);
    check(std::next(m) == entry.end());
    const json::array* list = m->value().if_array();
    check(list && list->size() == 1 && list->at(0) == *want.element);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static NullBuffer null_buffer;
    static std::ostream null_stream(&null_buffer);
    json::value delivery;
    try {
        delivery = quillmere::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        return 0;
    }

    const std::vector<DeliveryItem> items = quillmere::host::fan_out(delivery);
    const std::vector<Expected> want = expected_items(delivery);
    check(items.size() == want.size());
    static const json::object no_members;
    const json::object& top = delivery.is_object() ? delivery.get_object() : no_members;
    for (std::size_t i = 0; i < items.size(); ++i) {
        check(items[i].index == i);
        check_item(items[i], want[i], top);
    }

    // A delivery of exactly one item: its body classifies as the delivery does.
    if (items.size() == 1 && items[0].error.empty()) {
        const json::object& entry = *want[0].entry;
        int arrays = 0;
        for (auto c : kCollections) arrays += entry.contains(c) ? 1 : 0;
        if (arrays == 1 && top.at("entry").get_array().size() == 1) {
            const auto whole = quillmere::ostrel::classify_instagram_event(delivery, null_stream, null_stream);
            const auto alone = quillmere::ostrel::classify_instagram_event(items[0].body, null_stream, null_stream);
            check(whole == alone);
        }
    }
    return 0;
}
