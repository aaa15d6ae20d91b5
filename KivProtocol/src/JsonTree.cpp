#include "JsonTree.hpp"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

namespace kiv::json {

namespace {
using Sax = nlohmann::json_sax<nlohmann::json>;
}

// Builds the flat tree from SAX events. Containers are closed by writing their subtree end.
struct TreeBuilder final : Sax {
    TreeBuilder(JsonTree& tree, int maxDepth) : tree_(tree), maxDepth_(std::min(maxDepth, 64)) {}

    bool null() override { return add(JsonNode::Type::null); }
    bool boolean(bool value) override {
        auto* node = addNode(JsonNode::Type::boolean);
        node->value.boolean = value;
        return true;
    }
    bool number_integer(number_integer_t value) override {
        auto* node = addNode(JsonNode::Type::integer);
        node->value.integer = value;
        return true;
    }
    bool number_unsigned(number_unsigned_t value) override {
        auto* node = addNode(JsonNode::Type::unsignedInteger);
        node->value.unsignedInteger = value;
        return true;
    }
    bool number_float(number_float_t value, const string_t&) override {
        auto* node = addNode(JsonNode::Type::real);
        node->value.real = value;
        return true;
    }
    bool string(string_t& value) override {
        const auto offset = static_cast<std::uint32_t>(tree_.strings_.size());
        tree_.strings_ += value;
        auto* node = addNode(JsonNode::Type::string);
        node->value.text = {offset, static_cast<std::uint32_t>(value.size())};
        return true;
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return open(JsonNode::Type::object); }
    bool key(string_t& value) override {
        pendingKeyOffset_ = static_cast<std::uint32_t>(tree_.strings_.size());
        pendingKeyLength_ = static_cast<std::uint32_t>(value.size());
        tree_.strings_ += value;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JsonNode::Type::array); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    JsonTree::Node* addNode(JsonNode::Type type) {
        if (!open_.empty()) ++tree_.nodes_[open_.back()].count;
        JsonTree::Node node;
        node.type = type;
        node.keyOffset = pendingKeyOffset_;
        node.keyLength = pendingKeyLength_;
        pendingKeyOffset_ = pendingKeyLength_ = 0;
        tree_.nodes_.push_back(node);
        tree_.nodes_.back().end = static_cast<std::uint32_t>(tree_.nodes_.size());
        return &tree_.nodes_.back();
    }
    bool add(JsonNode::Type type) {
        addNode(type);
        return true;
    }
    bool open(JsonNode::Type type) {
        if (static_cast<int>(open_.size()) >= maxDepth_) return false; // stops the parse
        addNode(type);
        open_.push(static_cast<std::uint32_t>(tree_.nodes_.size() - 1));
        return true;
    }
    bool close() {
        tree_.nodes_[open_.back()].end = static_cast<std::uint32_t>(tree_.nodes_.size());
        open_.pop();
        return true;
    }

    JsonTree& tree_;
    int maxDepth_;
    // Indices of the containers still open; maxDepth bounds it (kMaxDepthSupported at most).
    struct {
        std::array<std::uint32_t, 64> items{};
        std::size_t count = 0;
        bool empty() const { return count == 0; }
        std::size_t size() const { return count; }
        std::uint32_t back() const { return items[count - 1]; }
        void push(std::uint32_t v) { items[count++] = v; }
        void pop() { --count; }
    } open_;
    std::uint32_t pendingKeyOffset_ = 0;
    std::uint32_t pendingKeyLength_ = 0;
};

std::optional<JsonTree> JsonTree::parse(std::string_view text, int maxDepth) {
    JsonTree tree;
    tree.nodes_.reserve(64);
    tree.strings_.reserve(text.size());
    TreeBuilder builder(tree, maxDepth);
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true);
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok || tree.nodes_.empty()) return std::nullopt;
    return tree;
}

JsonNode::Type JsonNode::type() const {
    return tree_->nodes_[index_].type;
}

bool JsonNode::isNumber() const {
    const auto t = type();
    return t == Type::integer || t == Type::unsignedInteger || t == Type::real;
}

bool JsonNode::boolean() const {
    return tree_->nodes_[index_].value.boolean;
}
std::int64_t JsonNode::integer() const {
    return tree_->nodes_[index_].value.integer;
}
std::uint64_t JsonNode::unsignedInteger() const {
    return tree_->nodes_[index_].value.unsignedInteger;
}

double JsonNode::real() const {
    const auto& node = tree_->nodes_[index_];
    switch (node.type) {
    case Type::integer: return static_cast<double>(node.value.integer);
    case Type::unsignedInteger: return static_cast<double>(node.value.unsignedInteger);
    case Type::real: return node.value.real;
    default: return 0;
    }
}

std::string_view JsonNode::text() const {
    const auto& node = tree_->nodes_[index_];
    return std::string_view(tree_->strings_).substr(node.value.text.offset, node.value.text.length);
}

std::string_view JsonNode::key() const {
    const auto& node = tree_->nodes_[index_];
    return std::string_view(tree_->strings_).substr(node.keyOffset, node.keyLength);
}

std::uint32_t JsonNode::size() const {
    return tree_->nodes_[index_].count;
}

std::optional<JsonNode> JsonNode::find(std::string_view wanted) const {
    for (const auto child : *this) {
        if (child.key() == wanted) return child;
    }
    return std::nullopt;
}

std::optional<JsonNode> JsonNode::findFrom(std::string_view wanted, std::uint32_t& hint) const {
    const auto& nodes = tree_->nodes_;
    const std::uint32_t first = index_ + 1;
    const std::uint32_t last = nodes[index_].end;
    const std::uint32_t start = hint > first && hint < last ? hint : first;
    for (std::uint32_t i = start; i < last; i = nodes[i].end) {
        if (JsonNode(tree_, i).key() == wanted) {
            hint = nodes[i].end;
            return JsonNode(tree_, i);
        }
    }
    for (std::uint32_t i = first; i < start; i = nodes[i].end) {
        if (JsonNode(tree_, i).key() == wanted) {
            hint = nodes[i].end;
            return JsonNode(tree_, i);
        }
    }
    return std::nullopt;
}

JsonNode::Iterator JsonNode::begin() const {
    return {tree_, index_ + 1};
}
JsonNode::Iterator JsonNode::end() const {
    return {tree_, tree_->nodes_[index_].end};
}

} // namespace kiv::json
