#include "host/fanout.hpp"

#include <boost/json/array.hpp>

#include <algorithm>

namespace quillmere::host {
namespace json = boost::json;

namespace {

bool is_item_collection(std::string_view key) {
    return std::find(std::begin(kItemCollections), std::end(kItemCollections), key) != std::end(kItemCollections);
}

const json::value* member(const json::object& obj, std::string_view key) {
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &it->value();
}

DeliveryItem error_item(std::size_t index, const json::value* account_id, std::string message) {
    DeliveryItem item;
    item.index = index;
    if (account_id) item.account_id = *account_id;
    item.error = std::move(message);
    return item;
}

}  // namespace

std::vector<DeliveryItem> fan_out(const json::value& delivery) {
    std::vector<DeliveryItem> items;
    const json::object* top = delivery.if_object();
    if (!top) {
        items.push_back(error_item(0, nullptr, "the delivery is not a JSON object"));
        return items;
    }
    const json::value* entries_value = member(*top, "entry");
    if (!entries_value) {
        items.push_back(error_item(0, nullptr, "the delivery has no \"entry\" array"));
        return items;
    }
    const json::array* entries = entries_value->if_array();
    if (!entries) {
        items.push_back(error_item(0, nullptr, "the delivery's \"entry\" is not an array"));
        return items;
    }
    if (entries->empty()) {
        items.push_back(error_item(0, nullptr, "the delivery's \"entry\" array is empty"));
        return items;
    }

    // The delivery's own members ("object", ...) are the same in every item's body.
    json::object envelope;
    for (const auto& m : *top)
        if (m.key() != "entry") envelope.emplace(m.key(), m.value());

    for (std::size_t e = 0; e < entries->size(); ++e) {
        const std::string where = "entry " + std::to_string(e);
        const json::object* entry = (*entries)[e].if_object();
        if (!entry) {
            items.push_back(error_item(items.size(), nullptr, where + " is not an object"));
            continue;
        }
        const json::value* account_id = member(*entry, "id");
        const json::value* entry_time = member(*entry, "time");

        json::object entry_base;
        for (const auto& m : *entry)
            if (!is_item_collection(m.key())) entry_base.emplace(m.key(), m.value());

        const std::size_t before = items.size();
        for (std::string_view collection : kItemCollections) {
            const json::value* list_value = member(*entry, collection);
            if (!list_value) continue;
            const json::array* list = list_value->if_array();
            if (!list) {
                items.push_back(error_item(items.size(), account_id,
                                           where + ": \"" + std::string(collection) + "\" is not an array"));
                continue;
            }
            for (const json::value& element : *list) {
                DeliveryItem item;
                item.index = items.size();
                if (account_id) item.account_id = *account_id;
                if (entry_time) item.entry_time = *entry_time;
                item.collection = collection;
                json::object one_entry = entry_base;
                json::array one_item;
                one_item.push_back(element);
                one_entry.emplace(collection, std::move(one_item));
                json::object body = envelope;
                json::array entry_list;
                entry_list.push_back(std::move(one_entry));
                body.emplace("entry", std::move(entry_list));
                item.body = std::move(body);
                items.push_back(std::move(item));
            }
        }
        if (items.size() == before)
            items.push_back(error_item(items.size(), account_id,
                                       where + " holds no \"changes\", \"messaging\" or \"standby\" item"));
    }
    return items;
}

}  // namespace quillmere::host
