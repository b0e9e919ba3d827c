#pragma once
// The media of a parent post kept in object storage: the post's "media_url" and, for an
// album, each child's, stored through Brastow under the post id and the address's file
// extension.
//
//   auto wanted = quillmere::host::media_of_post(post);          // keys and addresses
//   boost::json::array listed = quillmere::host::store_media(storage, "bucket", wanted);

#include "quillmere/Brastow/brastow.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <string>
#include <vector>

namespace quillmere::host {

struct MediaObject {
    std::string key;  // "<post id><extension>", children "<post id>_<n><extension>" (n from 1)
    std::string url;  // where the content is fetched from
};

// What a Graph API post asks to keep: its own "media_url", then its children's
// ("children.data[].media_url", or "children[].media_url"), each only when it is a
// non-empty text. Nothing when the post has no text or integer "id".
std::vector<MediaObject> media_of_post(const boost::json::object& post);

// Stores each object (blocking: fetch and upload) and lists the outcome, one object per
// media in order: {"key", "address"} when stored, {"key", "error"} when not (nothing is
// stored then; the message names the address without its query). Never throws for a
// failed fetch or upload.
boost::json::array store_media(brastow::Brastow& storage, const std::string& bucket,
                               const std::vector<MediaObject>& media);

}  // namespace quillmere::host
