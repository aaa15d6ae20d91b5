#pragma once
// The user-defaults store: typed values under string keys, persisted per application.
// Thread-safe: any thread may read or write.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"

namespace kiv {

struct StoredValue;
using StoredDictionary = std::map<std::string, StoredValue>;
using StoredArray = std::vector<StoredValue>;

// One stored value: boolean, integer, real number, text, data, array or dictionary.
struct StoredValue {
    std::variant<bool, std::int64_t, double, std::string, Bytes, StoredArray, StoredDictionary> value;

    const std::string* text() const { return std::get_if<std::string>(&value); }
    const StoredDictionary* dictionary() const { return std::get_if<StoredDictionary>(&value); }
    bool operator==(const StoredValue&) const = default;
};

class KeyValueStore {
public:
    virtual ~KeyValueStore() = default;

    virtual std::optional<StoredValue> value(const std::string& key) const = 0;
    // False when the value could not be stored durably; the store then keeps the previous value.
    virtual bool setValue(const std::string& key, StoredValue value) = 0;
    virtual bool remove(const std::string& key) = 0;
    // What the store had to do on its own that the user should hear about (a file it could not
    // read and set aside), said once.
    virtual std::optional<std::string> takeProblem() { return std::nullopt; }

    // Typed conveniences; a value of another type reads as absent.
    std::optional<std::string> string(const std::string& key) const;
    std::optional<double> number(const std::string& key) const; // integers read as numbers too
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<Bytes> data(const std::string& key) const;
    std::optional<StoredDictionary> dictionary(const std::string& key) const;
    bool setString(const std::string& key, std::string value) { return setValue(key, {std::move(value)}); }
    bool setNumber(const std::string& key, double value) { return setValue(key, {value}); }
    bool setInteger(const std::string& key, std::int64_t value) { return setValue(key, {value}); }
    bool setBoolean(const std::string& key, bool value) { return setValue(key, {value}); }
    bool setData(const std::string& key, Bytes value) { return setValue(key, {std::move(value)}); }
    bool setDictionary(const std::string& key, StoredDictionary value) { return setValue(key, {std::move(value)}); }
};

// The log's stored switches (frame logging, "KivFrameLog") are read from `store`; a program calls
// this before anything logs per frame, as the switch is decided on first use.
void useForStoredLogSwitches(std::shared_ptr<const KeyValueStore> store);

// Keeps values for the life of the object (tests, temporary runs).
class InMemoryKeyValueStore final : public KeyValueStore {
public:
    std::optional<StoredValue> value(const std::string& key) const override;
    bool setValue(const std::string& key, StoredValue value) override;
    bool remove(const std::string& key) override;

private:
    mutable std::mutex mutex_;
    StoredDictionary values_;
};

} // namespace kiv
