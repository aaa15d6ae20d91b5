#pragma once
// A read-only JSON document stored flat: one vector of nodes in document order and one buffer of
// text, filled by nlohmann's SAX parser. Decoding untrusted control messages this way avoids a
// heap node per value, and the depth limit is enforced while parsing. Internal.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::json {

class JsonTree;

class JsonNode {
public:
    enum class Type : std::uint8_t { null, boolean, integer, unsignedInteger, real, string, object, array };

    JsonNode(const JsonTree* tree, std::uint32_t index) : tree_(tree), index_(index) {}

    Type type() const;
    bool isObject() const { return type() == Type::object; }
    bool isArray() const { return type() == Type::array; }
    bool isNull() const { return type() == Type::null; }
    bool isBoolean() const { return type() == Type::boolean; }
    bool isString() const { return type() == Type::string; }
    bool isNumber() const;

    bool boolean() const;
    std::int64_t integer() const;
    std::uint64_t unsignedInteger() const;
    double real() const; // any number as a double
    std::string_view text() const;
    std::string_view key() const; // the member name, for a member of an object

    // Children of an object or array, in order.
    std::uint32_t size() const;
    std::optional<JsonNode> find(std::string_view key) const; // first member with that name
    // Like find, but starts looking at `hint` (a child index from an earlier lookup) and wraps
    // around; readers pass the member after the previous one, so keys in order cost one compare.
    std::optional<JsonNode> findFrom(std::string_view key, std::uint32_t& hint) const;
    class Iterator;
    Iterator begin() const;
    Iterator end() const;

    std::uint32_t index() const { return index_; }

private:
    friend class Iterator;
    const JsonTree* tree_;
    std::uint32_t index_;
};

class JsonTree {
public:
    // Nothing for invalid JSON, trailing garbage, or nesting deeper than maxDepth.
    static std::optional<JsonTree> parse(std::string_view text, int maxDepth);
    JsonNode root() const { return {this, 0}; }

private:
    friend class JsonNode;
    friend class JsonNode::Iterator;
    friend struct TreeBuilder;

    struct Node {
        JsonNode::Type type = JsonNode::Type::null;
        std::uint32_t keyOffset = 0;
        std::uint32_t keyLength = 0;
        std::uint32_t end = 0;   // index one past this node's subtree
        std::uint32_t count = 0; // children of a container
        union {
            bool boolean;
            std::int64_t integer;
            std::uint64_t unsignedInteger;
            double real;
            struct {
                std::uint32_t offset;
                std::uint32_t length;
            } text;
        } value{};
    };

    std::vector<Node> nodes_;
    std::string strings_;
};

class JsonNode::Iterator {
public:
    Iterator(const JsonTree* tree, std::uint32_t index) : tree_(tree), index_(index) {}
    JsonNode operator*() const { return {tree_, index_}; }
    Iterator& operator++() {
        index_ = tree_->nodes_[index_].end;
        return *this;
    }
    bool operator==(const Iterator& other) const { return index_ == other.index_; }

private:
    const JsonTree* tree_;
    std::uint32_t index_;
};

} // namespace kiv::json
