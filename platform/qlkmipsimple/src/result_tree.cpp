#include "result_tree.h"

std::unique_ptr<qlc_node> qlc_node::Group(std::string name) {
  auto node = std::make_unique<qlc_node>();
  node->name = std::move(name);
  return node;
}

std::unique_ptr<qlc_node> qlc_node::Integer(std::string name, int64_t value) {
  auto node = Group(std::move(name));
  node->kind = Kind::Integer;
  node->integer = value;
  return node;
}

std::unique_ptr<qlc_node> qlc_node::Bytes(std::string name, const uint8_t* data, size_t size) {
  auto node = Group(std::move(name));
  node->kind = Kind::Bytes;
  node->bytes = Har::Secret(data, size);
  return node;
}

std::unique_ptr<qlc_node> qlc_node::Text(std::string name, std::string_view text) {
  auto node = Group(std::move(name));
  node->kind = Kind::Text;
  node->bytes.assign(text);
  return node;
}

qlc_node* qlc_node::Add(std::unique_ptr<qlc_node> child) {
  if (!children.empty()) {
    children.back()->next = child.get();
  }
  children.push_back(std::move(child));
  return children.back().get();
}

const qlc_node* qlc_node::Follow(std::string_view path) const {
  const qlc_node* node = this;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view segment = path.substr(0, slash);
    const qlc_node* found = nullptr;
    if (segment.empty()) {
      found = node->children.empty() ? nullptr : node->children.front().get();
    } else {
      for (const auto& child : node->children) {
        if (child->name == segment) {
          found = child.get();
          break;
        }
      }
    }
    if (found == nullptr) {
      return nullptr;
    }
    node = found;
    if (slash == std::string_view::npos) {
      break;
    }
    path.remove_prefix(slash + 1);
    if (path.empty()) {
      return node->children.empty() ? nullptr : node->children.front().get();
    }
  }
  return node;
}
