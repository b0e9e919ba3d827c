#include "host/media.hpp"

#include "quillmere/common/value.hpp"

#include <boost/json/string.hpp>

namespace quillmere::host {
namespace json = boost::json;

namespace {

const json::string* media_url(const json::object& obj) {
    auto it = obj.find("media_url");
    if (it == obj.end()) return nullptr;
    const json::string* url = it->value().if_string();
    return url && !url->empty() ? url : nullptr;
}

}  // namespace

std::vector<MediaObject> media_of_post(const json::object& post) {
    std::vector<MediaObject> out;
    auto id_it = post.find("id");
    if (id_it == post.end()) return out;
    const json::value& id = id_it->value();
    if (!(id.is_string() && !id.as_string().empty()) && !id.is_int64() && !id.is_uint64()) return out;
    const std::string base = text_form(id);

    auto key_for = [](const std::string& name, const json::string& url) {
        return name + brastow::get_file_extension(json::value(url));
    };
    if (const json::string* url = media_url(post)) out.push_back({key_for(base, *url), std::string(*url)});

    auto children_it = post.find("children");
    if (children_it == post.end()) return out;
    // The Graph API wraps edges as {"data": [...]}; a bare array is read too.
    const json::array* children = children_it->value().if_array();
    if (const json::object* edge = children_it->value().if_object()) {
        auto data = edge->find("data");
        if (data != edge->end()) children = data->value().if_array();
    }
    if (!children) return out;
    std::size_t n = 0;
    for (const json::value& child : *children) {
        const json::object* c = child.if_object();
        if (!c) continue;
        if (const json::string* url = media_url(*c)) {
            ++n;
            out.push_back({key_for(base + "_" + std::to_string(n), *url), std::string(*url)});
        }
    }
    return out;
}

json::array store_media(brastow::Brastow& storage, const std::string& bucket, const std::vector<MediaObject>& media) {
    json::array listed;
    for (const MediaObject& m : media) {
        json::object entry;
        entry["key"] = m.key;
        // Brastow stores any other text as the content itself: only web addresses are fetched.
        if (m.url.rfind("https://", 0) != 0 && m.url.rfind("http://", 0) != 0) {
            entry["error"] = "not an http or https address";
            listed.push_back(std::move(entry));
            continue;
        }
        try {
            entry["address"] = storage.upload_file(m.url, bucket, m.key);
        } catch (const brastow::FetchError& e) {
            entry["error"] = std::string("fetch failed: ") + e.what();
        } catch (const std::exception& e) {
            entry["error"] = std::string("storing failed: ") + e.what();
        }
        listed.push_back(std::move(entry));
    }
    return listed;
}

}  // namespace quillmere::host
