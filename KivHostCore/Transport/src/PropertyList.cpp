#include "KivHostCore/Transport/PropertyList.hpp"

#include <cstdlib>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace kiv::PropertyList {

namespace {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

plist_t toPlist(const StoredValue& value) {
    return std::visit(
        [](const auto& v) -> plist_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                return plist_new_bool(v ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return plist_new_uint(static_cast<std::uint64_t>(v)); // usbmuxd reads integers as such
            } else if constexpr (std::is_same_v<T, double>) {
                return plist_new_real(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return plist_new_string(v.c_str());
            } else if constexpr (std::is_same_v<T, Bytes>) {
                return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
            } else if constexpr (std::is_same_v<T, StoredArray>) {
                plist_t array = plist_new_array();
                for (const auto& element : v)
                    plist_array_append_item(array, toPlist(element));
                return array;
            } else {
                plist_t dict = plist_new_dict();
                for (const auto& [key, element] : v)
                    plist_dict_set_item(dict, key.c_str(), toPlist(element));
                return dict;
            }
        },
        value.value);
}

std::optional<StoredValue> fromPlist(plist_t node, int depth) {
    if (node == nullptr || depth > 32) return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return StoredValue{value != 0};
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        // Negative integers come back as their two's complement; keep them signed.
        return StoredValue{static_cast<std::int64_t>(value)};
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return StoredValue{value};
    }
    case PLIST_STRING: {
        // By pointer and length: libplist's copying getter asserts on a string with a NUL inside.
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return StoredValue{text != nullptr ? std::string(text, static_cast<std::size_t>(length)) : std::string()};
    }
    case PLIST_DATA: {
        char* data = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &data, &length);
        Bytes bytes(reinterpret_cast<std::uint8_t*>(data), reinterpret_cast<std::uint8_t*>(data) + length);
        std::free(data);
        return StoredValue{std::move(bytes)};
    }
    case PLIST_ARRAY: {
        StoredArray array;
        const auto size = plist_array_get_size(node);
        for (std::uint32_t i = 0; i < size; ++i) {
            if (auto element = fromPlist(plist_array_get_item(node, i), depth + 1))
                array.push_back(std::move(*element));
        }
        return StoredValue{std::move(array)};
    }
    case PLIST_DICT: {
        StoredDictionary dictionary;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        while (iter != nullptr) {
            char* key = nullptr;
            plist_t element = nullptr;
            plist_dict_next_item(node, iter, &key, &element);
            if (key == nullptr) break;
            if (auto value = fromPlist(element, depth + 1)) dictionary.emplace(key, std::move(*value));
            std::free(key);
        }
        std::free(iter);
        return StoredValue{std::move(dictionary)};
    }
    default: return std::nullopt; // dates, UIDs, keys: nothing usbmuxd sends that we read
    }
}

} // namespace

std::optional<Bytes> encodeXML(const StoredDictionary& dictionary) {
    const PlistPtr root(toPlist(StoredValue{dictionary}));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
    if (xml == nullptr) return std::nullopt;
    Bytes bytes(reinterpret_cast<std::uint8_t*>(xml), reinterpret_cast<std::uint8_t*>(xml) + length);
    plist_to_xml_free(xml);
    return bytes;
}

std::optional<StoredValue> decode(ByteView bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    plist_t node = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), &node);
    const PlistPtr root(node);
    return fromPlist(node, 0);
}

} // namespace kiv::PropertyList
