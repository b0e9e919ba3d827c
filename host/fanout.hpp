#pragma once
// Fan-out of one webhook delivery into its items. Meta batches: a delivery holds entries,
// each with many "changes", "messaging" or "standby" items. Every item becomes a body of
// its own, shaped as the classifier reads it (one entry holding one item), with its
// entry's account id, so that each is classified and processed alone and none is lost.
//
//   for (const DeliveryItem& item : quillmere::host::fan_out(delivery))
//       classify(item.body);
//
// A pure function of its argument: it never throws on any JSON value (only std::bad_alloc
// can escape), walks no deeper than the delivery's top levels and is linear in the size
// of the delivery.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::host {

struct DeliveryItem {
    // Position in the delivery, from 0, counting across all entries in order.
    std::size_t index = 0;
    // The entry's "id" (the account the webhook is for); null when the entry has none.
    boost::json::value account_id;
    // The entry's "time", as it came; null when absent.
    boost::json::value entry_time;
    // "changes", "messaging" or "standby"; empty for an item that could not be read.
    std::string_view collection;
    // The single-item body, an object: the delivery's members but "entry", then "entry"
    // holding one entry (the entry's members but its item arrays, then the one array
    // holding this item). Null when `error` is set.
    boost::json::value body;
    // Set when this part of the delivery cannot be read as items (the delivery has no
    // entry array, an entry is not an object or holds no item, an item array is not an
    // array): one such item stands for that part, so that it is reported, not dropped.
    std::string error;
};

// The item arrays of an entry, in the order in which items are taken from one entry.
inline constexpr std::string_view kItemCollections[] = {"changes", "messaging", "standby"};

// The items of `delivery` in order: entry by entry, and within an entry its "changes",
// then "messaging", then "standby" items. A delivery that is not an object gives one item
// with an error.
std::vector<DeliveryItem> fan_out(const boost::json::value& delivery);

}  // namespace quillmere::host
