#include "nimbra/error.hpp"

#include <cstdio>

namespace nimbra {

std::string render_sizes(const std::uint64_t* sizes, std::size_t count) {
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i) out += ", ";
    out += std::to_string(sizes[i]);
  }
  out += "]";
  return out;
}

namespace {

// Decodes one UTF-8 sequence at text[i] and advances i. A byte that does not
// start a valid sequence comes back alone as kInvalidByte, to be escaped raw.
constexpr std::uint32_t kInvalidByte = 0xFFFFFFFFu;

std::uint32_t next_code_point(const std::string& text, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  int extra = b0 < 0x80 ? 0 : (b0 & 0xE0) == 0xC0 ? 1 : (b0 & 0xF0) == 0xE0 ? 2 : (b0 & 0xF8) == 0xF0 ? 3 : -1;
  if (extra == 0) {
    ++i;
    return b0;
  }
  if (extra < 0 || i + extra >= text.size()) {
    ++i;
    return kInvalidByte;
  }
  std::uint32_t cp = b0 & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return kInvalidByte;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += extra + 1;
  return cp;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Code points that print nothing visible: controls, format characters
// (zero-width and direction marks, the byte-order mark), line and paragraph
// separators, and noncharacters.
bool is_unprintable(std::uint32_t cp) {
  static constexpr std::uint32_t ranges[][2] = {
      {0x00, 0x1F},       {0x7F, 0x9F},       {0xAD, 0xAD},       {0x600, 0x605},   {0x61C, 0x61C},
      {0x6DD, 0x6DD},     {0x70F, 0x70F},     {0x180E, 0x180E},   {0x200B, 0x200F}, {0x2028, 0x202E},
      {0x2060, 0x206F},   {0xD800, 0xDFFF},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},
      {0xFFFE, 0xFFFF},   {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
  };
  for (const auto& r : ranges)
    if (cp >= r[0] && cp <= r[1]) return true;
  return false;
}

std::string hex_escape(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", value);
  return buf;
}

}  // namespace

std::string quote_text(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    std::size_t start = i;
    std::uint32_t cp = next_code_point(text, i);
    if (cp == kInvalidByte) {
      out += hex_escape(static_cast<unsigned char>(text[start]));
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_unprintable(cp)) {
          out += hex_escape(cp);
        } else {
          append_utf8(out, cp);
        }
    }
  }
  out += "\"";
  return out;
}

namespace {

struct Displayer {
  std::string operator()(const err::ShapeMismatch& e) const {
    return "Shape mismatch: expected " + render_sizes(e.expected) + ", got " + render_sizes(e.got);
  }
  std::string operator()(const err::InvalidShape& e) const { return "Invalid shape: " + e.text; }
  std::string operator()(const err::DimOutOfBounds& e) const {
    return "Dimension out of bounds: dim " + std::to_string(e.dim) + " for tensor with " +
           std::to_string(e.ndim) + " dimensions";
  }
  std::string operator()(const err::IndexOutOfBounds& e) const {
    return "Index out of bounds: index " + std::to_string(e.index) + " for dimension of size " +
           std::to_string(e.size);
  }
  std::string operator()(const err::DTypeMismatch& e) const {
    return "Data type mismatch: expected " + quote_text(e.expected) + ", got " + quote_text(e.got);
  }
  std::string operator()(const err::DeviceMismatch&) const {
    return "Device mismatch: tensors on different devices";
  }
  std::string operator()(const err::BroadcastError& e) const {
    return "Cannot broadcast shapes " + render_sizes(e.a) + " and " + render_sizes(e.b);
  }
  std::string operator()(const err::NoGradient&) const { return "Operation requires gradient tracking"; }
  std::string operator()(const err::AllocationError& e) const { return "Memory allocation failed: " + e.text; }
  std::string operator()(const err::CudaError& e) const { return "CUDA error: " + e.text; }
  std::string operator()(const err::DeviceError& e) const { return "Device error: " + e.text; }
  std::string operator()(const err::InvalidOperation& e) const { return "Invalid operation: " + e.text; }
  std::string operator()(const err::IOError& e) const { return "IO error: " + e.text; }
  std::string operator()(const err::InvalidFormat& e) const { return "Invalid format: " + e.text; }
  std::string operator()(const err::NotImplemented& e) const { return "Not implemented: " + e.text; }
};

constexpr const char* kKindNames[] = {
    "ShapeMismatch",  "InvalidShape",    "DimOutOfBounds", "IndexOutOfBounds", "DTypeMismatch",
    "DeviceMismatch", "BroadcastError",  "NoGradient",     "AllocationError",  "CudaError",
    "DeviceError",    "InvalidOperation", "IOError",       "InvalidFormat",    "NotImplemented",
};

struct Debugger {
  std::string name;
  static std::string fields(std::initializer_list<std::pair<const char*, std::string>> items) {
    std::string out = " { ";
    bool first = true;
    for (const auto& [field, value] : items) {
      if (!first) out += ", ";
      first = false;
      out += field;
      out += ": ";
      out += value;
    }
    return out + " }";
  }
  std::string operator()(const err::ShapeMismatch& e) const {
    return name + fields({{"expected", render_sizes(e.expected)}, {"got", render_sizes(e.got)}});
  }
  std::string operator()(const err::DimOutOfBounds& e) const {
    return name + fields({{"dim", std::to_string(e.dim)}, {"ndim", std::to_string(e.ndim)}});
  }
  std::string operator()(const err::IndexOutOfBounds& e) const {
    return name + fields({{"index", std::to_string(e.index)}, {"size", std::to_string(e.size)}});
  }
  std::string operator()(const err::DTypeMismatch& e) const {
    return name + fields({{"expected", quote_text(e.expected)}, {"got", quote_text(e.got)}});
  }
  std::string operator()(const err::BroadcastError& e) const {
    return name + fields({{"a", render_sizes(e.a)}, {"b", render_sizes(e.b)}});
  }
  std::string operator()(const err::DeviceMismatch&) const { return name; }
  std::string operator()(const err::NoGradient&) const { return name; }
  template <ErrorKind K>
  std::string operator()(const err::Text<K>& e) const {
    return name + "(" + quote_text(e.text) + ")";
  }
};

}  // namespace

std::string TensorError::display() const { return std::visit(Displayer{}, value_); }

std::string TensorError::debug() const {
  return std::visit(Debugger{kKindNames[value_.index()]}, value_);
}

}  // namespace nimbra
