// Shows the envelopes that `quillmere process` writes in a form for reading: one line per
// classified item, then its records. The first record of each table is shown in full (its
// RawData text decoded), the others by a few of their fields.
//
//   quillmere process deliveries.jsonl | quillmere_demo_show

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <iostream>
#include <set>
#include <string>

namespace {

namespace json = boost::json;

std::string text_of(const json::value* v) {
    if (!v || v->is_null()) return "-";
    if (v->is_string()) return std::string(v->get_string());
    return json::serialize(*v);
}

// The member at a dotted path, looking into RawData's JSON text as into an object.
const json::value* at_path(const json::value& root, std::string_view path) {
    const json::value* v = &root;
    while (!path.empty()) {
        auto dot = path.find('.');
        std::string_view part = path.substr(0, dot);
        if (!v->is_object()) return nullptr;
        v = v->get_object().if_contains(part);
        if (!v) return nullptr;
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
    }
    return v;
}

void print_leaves(const json::value& v, const std::string& prefix, int depth = 0) {
    if (v.is_object() && depth < 8 && !v.get_object().empty()) {
        for (const auto& m : v.get_object()) {
            print_leaves(m.value(), prefix.empty() ? std::string(m.key()) : prefix + "." + std::string(m.key()),
                         depth + 1);
        }
        return;
    }
    std::cout << "      " << prefix << " = " << json::serialize(v) << '\n';
}

// RawData travels as JSON text; decoded here for reading.
json::value readable(const json::value& record) {
    json::value copy = record;
    if (auto* raw = copy.is_object() ? copy.get_object().if_contains("RawData") : nullptr; raw && raw->is_string()) {
        json::error_code ec;
        json::value decoded = json::parse(raw->get_string(), ec);
        if (!ec) *raw = std::move(decoded);
    }
    return copy;
}

}  // namespace

int main() {
    std::set<std::string> shown_in_full;
    std::size_t count = 0;
    for (std::string line; std::getline(std::cin, line);) {
        json::error_code ec;
        json::value envelope = json::parse(line, ec);
        if (ec || !envelope.is_object()) {
            std::cout << "(not an envelope) " << line.substr(0, 120) << '\n';
            continue;
        }
        ++count;
        const auto& e = envelope.get_object();
        std::cout << "delivery " << text_of(e.if_contains("delivery")) << " item " << text_of(e.if_contains("item"))
                  << ": " << text_of(e.if_contains("kind")) << "  channel " << text_of(e.if_contains("channel"))
                  << "  topic " << text_of(e.if_contains("topic")) << "  account "
                  << text_of(e.if_contains("account_id")) << '\n';
        if (const auto* error = e.if_contains("error"); error && !error->is_null()) {
            std::cout << "    error: " << text_of(error) << '\n';
        }
        if (const auto* media = e.if_contains("media"); media && media->is_array()) {
            for (const auto& m : media->get_array()) std::cout << "    media: " << json::serialize(m) << '\n';
        }
        const auto* records = e.if_contains("records");
        if (!records || !records->is_array()) continue;
        for (const auto& r : records->get_array()) {
            if (!r.is_object()) continue;
            const std::string table = text_of(r.get_object().if_contains("table"));
            const json::value* rec = r.get_object().if_contains("record");
            if (!rec) continue;
            json::value record = readable(*rec);
            if (shown_in_full.insert(table).second) {
                std::cout << "    " << table << " record (in full):\n";
                print_leaves(record, "");
                continue;
            }
            std::cout << "    " << table << " record:";
            for (const char* path : {"RawData.SocialID", "RawData.UserInfo.ScreenName", "RawData.Description",
                                     "RawData.Url", "RawData.NumLikesCount", "BrandInfo.BrandName"}) {
                if (const json::value* v = at_path(record, path)) {
                    std::string t = text_of(v);
                    if (t.size() > 60) t = t.substr(0, 57) + "...";
                    std::cout << "  " << (std::string_view(path).substr(std::string_view(path).rfind('.') + 1)) << "="
                              << t;
                }
            }
            std::cout << '\n';
        }
    }
    std::cout << count << " envelopes\n";
    return 0;
}
