#pragma once
// Internal JSON mapping shared by the protocol's codecs. One field list per type drives both
// directions, so reading and writing cannot drift apart. Reading walks a flat JsonTree; writing
// builds an nlohmann document. Not part of the public interface.
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "JsonTree.hpp"
#include "KivProtocol/EnumText.hpp"

namespace kiv::json {

using Json = nlohmann::ordered_json;

// Thrown inside the codec only; the public functions turn it into a returned error.
struct DecodeError {
    std::string message;
};

[[noreturn]] inline void fail(std::string message) {
    throw DecodeError{std::move(message)};
}

template <class T>
concept TextEnum = std::is_enum_v<T> && requires { EnumTraits<T>::names; };

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Largest integer a double holds exactly; integral doubles beyond it are refused for integers.
inline constexpr double kMaxExactDouble = 9007199254740992.0;

template <class Int>
Int readInteger(const JsonNode& j, std::string_view key) {
    switch (j.type()) {
    case JsonNode::Type::unsignedInteger: {
        const auto value = j.unsignedInteger();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<Int>::max()))
            fail(std::string(key) + ": out of range");
        return static_cast<Int>(value);
    }
    case JsonNode::Type::integer: {
        const auto value = j.integer();
        if constexpr (std::is_unsigned_v<Int>) {
            if (value < 0 || static_cast<std::uint64_t>(value) > std::numeric_limits<Int>::max()) {
                fail(std::string(key) + ": out of range");
            }
        } else {
            if (value < std::numeric_limits<Int>::min() || value > std::numeric_limits<Int>::max()) {
                fail(std::string(key) + ": out of range");
            }
        }
        return static_cast<Int>(value);
    }
    case JsonNode::Type::real: {
        // Some encoders write integral values as 5.0; accept those while they are exact.
        const double value = j.real();
        if (!std::isfinite(value) || std::trunc(value) != value || std::fabs(value) > kMaxExactDouble) {
            fail(std::string(key) + ": expected an integer");
        }
        if (value < static_cast<double>(std::numeric_limits<Int>::min()) ||
            value > static_cast<double>(std::numeric_limits<Int>::max())) {
            fail(std::string(key) + ": out of range");
        }
        return static_cast<Int>(value);
    }
    default: fail(std::string(key) + ": expected an integer");
    }
}

template <class T>
void readValue(const JsonNode& j, T& out, std::string_view key);
template <class T>
Json writeValue(const T& value);

// Visitor that reads the fields of one JSON object.
class Reader {
public:
    explicit Reader(const JsonNode& object) : object_(object) {
        if (!object_.isObject()) fail("expected an object");
    }

    template <class T>
    void operator()(const char* key, T& field) {
        const auto member = object_.findFrom(key, hint_);
        if constexpr (IsOptional<T>::value) {
            if (!member || member->isNull()) {
                field.reset();
                return;
            }
            typename T::value_type value{};
            readValue(*member, value, key);
            field = std::move(value);
        } else {
            if (!member) fail(std::string("missing key ") + key);
            readValue(*member, field, key);
        }
    }

    // A required-looking field that older peers may leave out.
    template <class T>
    void withDefault(const char* key, T& field, T fallback) {
        const auto member = object_.findFrom(key, hint_);
        if (!member || member->isNull()) {
            field = fallback;
            return;
        }
        readValue(*member, field, key);
    }

private:
    JsonNode object_;
    std::uint32_t hint_ = 0; // where the next key probably is
};

// Visitor that writes the fields of one JSON object; absent optionals are left out.
class Writer {
public:
    template <class T>
    void operator()(const char* key, const T& field) {
        if constexpr (IsOptional<T>::value) {
            if (field) object_[key] = writeValue(*field);
        } else {
            object_[key] = writeValue(field);
        }
    }
    template <class T>
    void withDefault(const char* key, const T& field, const T&) {
        object_[key] = writeValue(field);
    }
    Json take() { return std::move(object_); }

private:
    Json object_ = Json::object();
};

template <class T>
concept HasFields = requires(Reader& r, T& t) { fields(r, t); };

template <class T>
void readValue(const JsonNode& j, T& out, std::string_view key) {
    if constexpr (std::is_same_v<T, bool>) {
        if (!j.isBoolean()) fail(std::string(key) + ": expected a boolean");
        out = j.boolean();
    } else if constexpr (std::is_integral_v<T>) {
        out = readInteger<T>(j, key);
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!j.isNumber()) fail(std::string(key) + ": expected a number");
        out = static_cast<T>(j.real());
        if (!std::isfinite(out)) fail(std::string(key) + ": not a finite number");
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!j.isString()) fail(std::string(key) + ": expected a string");
        out = std::string(j.text());
    } else if constexpr (TextEnum<T>) {
        if (!j.isString()) fail(std::string(key) + ": expected a string");
        const auto value = fromText<T>(j.text());
        if (!value) fail(std::string(key) + ": unknown value " + std::string(j.text()));
        out = *value;
    } else if constexpr (requires {
                             typename T::value_type;
                             out.push_back(typename T::value_type{});
                         }) {
        if (!j.isArray()) fail(std::string(key) + ": expected an array");
        out.clear();
        out.reserve(j.size());
        for (const auto element : j) {
            typename T::value_type value{};
            readValue(element, value, key);
            out.push_back(std::move(value));
        }
    } else {
        static_assert(HasFields<T>, "no JSON mapping for this type");
        Reader reader(j);
        fields(reader, out);
    }
}

template <class T>
Json writeValue(const T& value) {
    if constexpr (std::is_same_v<T, bool> || std::is_integral_v<T> || std::is_floating_point_v<T> ||
                  std::is_same_v<T, std::string>) {
        return Json(value);
    } else if constexpr (TextEnum<T>) {
        return Json(std::string(toText(value)));
    } else if constexpr (requires {
                             typename T::value_type;
                             value.begin();
                         }) {
        Json array = Json::array();
        for (const auto& element : value)
            array.push_back(writeValue(element));
        return array;
    } else {
        Writer writer;
        fields(writer, const_cast<T&>(value)); // the writer only reads
        return writer.take();
    }
}

// True when every number in the tree is finite (the encoder refuses NaN and infinities).
bool allNumbersFinite(const Json& j);

std::string dump(const Json& j);

} // namespace kiv::json
