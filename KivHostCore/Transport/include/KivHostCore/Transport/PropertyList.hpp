#pragma once
// Property lists (usbmuxd's message format) to and from the stored-value tree, through libplist:
// XML when writing, any format when reading.
#include <optional>

#include "KivHostCore/Platform/KeyValueStore.hpp"

namespace kiv::PropertyList {

// Nothing when libplist cannot serialise the dictionary.
std::optional<Bytes> encodeXML(const StoredDictionary& dictionary);
// Nothing for bytes that are not a property list; dates and UIDs are left out of the tree.
std::optional<StoredValue> decode(ByteView bytes);

} // namespace kiv::PropertyList
