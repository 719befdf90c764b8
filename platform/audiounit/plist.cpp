#include "platform/audiounit/plist.h"

#include <cstring>
#include <memory>

namespace bridge::plist {

namespace {

constexpr char kMagic[8] = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
constexpr size_t kTrailerSize = 32;

// Object markers: the high nibble is the kind, the low one a size or a count.
constexpr uint8_t kFalse = 0x08;
constexpr uint8_t kTrue = 0x09;
constexpr uint8_t kInt = 0x10;
constexpr uint8_t kReal = 0x20;
constexpr uint8_t kData = 0x40;
constexpr uint8_t kAscii = 0x50;
constexpr uint8_t kUtf16 = 0x60;
constexpr uint8_t kArray = 0xA0;
constexpr uint8_t kDict = 0xD0;

uint64_t readBig(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

void writeBig(std::vector<uint8_t>& out, uint64_t v, size_t n) {
  for (size_t i = n; i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

size_t widthFor(uint64_t largest) {
  if (largest <= 0xFF) return 1;
  if (largest <= 0xFFFF) return 2;
  if (largest <= 0xFFFFFFFFu) return 4;
  return 8;
}

// UTF-8 to UTF-16 code units; false for malformed UTF-8.
bool toUtf16(const std::string& s, std::vector<uint16_t>& out) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    uint32_t c = p[i];
    size_t extra = 0;
    uint32_t least = 0;
    if (c < 0x80) {
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, c &= 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, c &= 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, c &= 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (extra > 0 && i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = c << 6 | (p[i + k] & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(c));
    }
    i += extra + 1;
  }
  return true;
}

void appendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// ---- writing ----

class Writer {
 public:
  bool write(const Value& top, std::vector<uint8_t>& out) {
    collect(top);
    refSize_ = widthFor(objects_.size());
    std::vector<uint8_t> body(kMagic, kMagic + sizeof kMagic);
    std::vector<uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (size_t i = 0; i < objects_.size(); ++i) {
      offsets.push_back(body.size());
      if (!encode(i, body)) return false;
    }
    const uint64_t tableOffset = body.size();
    const size_t offsetSize = widthFor(tableOffset);
    for (uint64_t o : offsets) writeBig(body, o, offsetSize);
    for (int i = 0; i < 6; ++i) body.push_back(0);
    body.push_back(static_cast<uint8_t>(offsetSize));
    body.push_back(static_cast<uint8_t>(refSize_));
    writeBig(body, objects_.size(), 8);
    writeBig(body, 0, 8);
    writeBig(body, tableOffset, 8);
    out = std::move(body);
    return true;
  }

 private:
  // Numbers the objects depth first; a container's children follow it.
  size_t collect(const Value& v) {
    const size_t index = objects_.size();
    objects_.push_back(&v);
    children_.emplace_back();
    if (const auto* a = v.get<Array>()) {
      std::vector<size_t> refs;
      for (const Value& e : *a) refs.push_back(collect(e));
      children_[index] = std::move(refs);
    } else if (const auto* d = v.get<Dictionary>()) {
      std::vector<size_t> refs;
      keys_.reserve(keys_.size() + d->size());
      for (const auto& [k, e] : *d) {
        keys_.push_back(std::make_unique<Value>(k));
        refs.push_back(collect(*keys_.back()));
      }
      for (const auto& [k, e] : *d) refs.push_back(collect(e));
      children_[index] = std::move(refs);
    }
    return index;
  }

  static void marker(std::vector<uint8_t>& out, uint8_t kind, uint64_t count) {
    if (count < 15) {
      out.push_back(static_cast<uint8_t>(kind | count));
      return;
    }
    out.push_back(static_cast<uint8_t>(kind | 0x0F));
    const size_t w = widthFor(count);
    out.push_back(static_cast<uint8_t>(kInt | (w == 1 ? 0 : w == 2 ? 1 : w == 4 ? 2 : 3)));
    writeBig(out, count, w);
  }

  bool encode(size_t index, std::vector<uint8_t>& out) {
    const Value& v = *objects_[index];
    if (const bool* b = v.get<bool>()) {
      out.push_back(*b ? kTrue : kFalse);
    } else if (const int64_t* i = v.get<int64_t>()) {
      const size_t w = *i < 0 ? 8 : widthFor(static_cast<uint64_t>(*i));
      out.push_back(static_cast<uint8_t>(kInt | (w == 1 ? 0 : w == 2 ? 1 : w == 4 ? 2 : 3)));
      writeBig(out, static_cast<uint64_t>(*i), w);
    } else if (const double* d = v.get<double>()) {
      uint64_t bits;
      std::memcpy(&bits, d, sizeof bits);
      out.push_back(kReal | 3);
      writeBig(out, bits, 8);
    } else if (const std::string* s = v.get<std::string>()) {
      bool ascii = true;
      for (char c : *s) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
      if (ascii) {
        marker(out, kAscii, s->size());
        out.insert(out.end(), s->begin(), s->end());
      } else {
        std::vector<uint16_t> units;
        if (!toUtf16(*s, units)) return false;
        marker(out, kUtf16, units.size());
        for (uint16_t u : units) writeBig(out, u, 2);
      }
    } else if (const Data* data = v.get<Data>()) {
      marker(out, kData, data->size());
      out.insert(out.end(), data->begin(), data->end());
    } else {
      const bool isArray = v.get<Array>() != nullptr;
      const std::vector<size_t>& refs = children_[index];
      marker(out, isArray ? kArray : kDict, isArray ? refs.size() : refs.size() / 2);
      for (size_t r : refs) writeBig(out, r, refSize_);
    }
    return true;
  }

  std::vector<const Value*> objects_;
  std::vector<std::vector<size_t>> children_;
  std::vector<std::unique_ptr<Value>> keys_;
  size_t refSize_ = 1;
};

// ---- reading ----

class Reader {
 public:
  Reader(const uint8_t* bytes, size_t size) : p_(bytes), size_(size) {}

  std::optional<Value> read() {
    if (!p_ || size_ < sizeof kMagic + kTrailerSize || std::memcmp(p_, kMagic, sizeof kMagic) != 0)
      return std::nullopt;
    const uint8_t* trailer = p_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    const uint64_t count = readBig(trailer + 8, 8);
    const uint64_t top = readBig(trailer + 16, 8);
    tableOffset_ = readBig(trailer + 24, 8);
    if (!validWidth(offsetSize_) || !validWidth(refSize_)) return std::nullopt;
    const uint64_t tableEnd = size_ - kTrailerSize;
    if (count == 0 || top >= count || tableOffset_ < sizeof kMagic || tableOffset_ > tableEnd) return std::nullopt;
    if (count > (tableEnd - tableOffset_) / offsetSize_) return std::nullopt;
    count_ = count;
    visiting_.assign(count, false);
    Value out;
    if (!object(top, 0, out)) return std::nullopt;
    return out;
  }

 private:
  static bool validWidth(size_t w) { return w == 1 || w == 2 || w == 4 || w == 8; }

  bool offsetOf(uint64_t index, uint64_t& offset) const {
    offset = readBig(p_ + tableOffset_ + index * offsetSize_, offsetSize_);
    return offset >= sizeof kMagic && offset < tableOffset_;
  }

  // `n` bytes starting at `at` lie inside the object area.
  bool fits(uint64_t at, uint64_t n) const { return at <= tableOffset_ && n <= tableOffset_ - at; }

  // The count in a marker's low nibble, or in the integer that follows it.
  bool length(uint64_t& at, uint8_t low, uint64_t& n) const {
    if (low != 0x0F) {
      n = low;
      return true;
    }
    if (!fits(at, 1)) return false;
    const uint8_t m = p_[at++];
    if ((m & 0xF0) != kInt || (m & 0x0F) > 3) return false;
    const size_t w = size_t{1} << (m & 0x0F);
    if (!fits(at, w)) return false;
    n = readBig(p_ + at, w);
    at += w;
    return true;
  }

  bool object(uint64_t index, int depth, Value& out) {
    if (index >= count_ || visiting_[index] || ++nodes_ > kMaxNodes) return false;
    uint64_t at;
    if (!offsetOf(index, at)) return false;
    const uint8_t m = p_[at++];
    const uint8_t kind = m & 0xF0, low = m & 0x0F;
    switch (kind) {
      case 0x00:
        if (m == kFalse || m == kTrue) {
          out = Value(m == kTrue);
          return true;
        }
        return false;
      case kInt: {
        if (low > 3) return false;
        const size_t w = size_t{1} << low;
        if (!fits(at, w)) return false;
        const uint64_t raw = readBig(p_ + at, w);
        out = Value(static_cast<int64_t>(raw));  // only the 8-byte form carries a sign
        return true;
      }
      case kReal: {
        if (low == 2 && fits(at, 4)) {
          const uint32_t bits = static_cast<uint32_t>(readBig(p_ + at, 4));
          float f;
          std::memcpy(&f, &bits, sizeof f);
          out = Value(static_cast<double>(f));
          return true;
        }
        if (low == 3 && fits(at, 8)) {
          const uint64_t bits = readBig(p_ + at, 8);
          double d;
          std::memcpy(&d, &bits, sizeof d);
          out = Value(d);
          return true;
        }
        return false;
      }
      case kData: {
        uint64_t n;
        if (!length(at, low, n) || !fits(at, n)) return false;
        out = Value(Data(p_ + at, p_ + at + n));
        return true;
      }
      case kAscii: {
        uint64_t n;
        if (!length(at, low, n) || !fits(at, n)) return false;
        for (uint64_t i = 0; i < n; ++i)
          if (p_[at + i] >= 0x80) return false;
        out = Value(std::string(reinterpret_cast<const char*>(p_ + at), n));
        return true;
      }
      case kUtf16: {
        uint64_t n;
        if (!length(at, low, n) || n > tableOffset_ / 2 || !fits(at, n * 2)) return false;
        std::string s;
        for (uint64_t i = 0; i < n; ++i) {
          uint32_t c = static_cast<uint32_t>(readBig(p_ + at + 2 * i, 2));
          if (c >= 0xDC00 && c <= 0xDFFF) return false;
          if (c >= 0xD800 && c <= 0xDBFF) {
            if (++i >= n) return false;
            const uint32_t lo = static_cast<uint32_t>(readBig(p_ + at + 2 * i, 2));
            if (lo < 0xDC00 || lo > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
          }
          appendUtf8(s, c);
        }
        out = Value(std::move(s));
        return true;
      }
      case kArray:
      case kDict: {
        if (depth >= kMaxDepth) return false;
        uint64_t n;
        if (!length(at, low, n)) return false;
        const uint64_t refs = kind == kDict ? 2 : 1;
        if (n > tableOffset_ / refSize_ / refs || !fits(at, n * refs * refSize_)) return false;
        visiting_[index] = true;
        const bool ok = kind == kArray ? array(at, n, depth, out) : dictionary(at, n, depth, out);
        visiting_[index] = false;
        return ok;
      }
      default:
        return false;
    }
  }

  bool array(uint64_t at, uint64_t n, int depth, Value& out) {
    Array items;
    for (uint64_t i = 0; i < n; ++i) {
      Value item;
      if (!object(readBig(p_ + at + i * refSize_, refSize_), depth + 1, item)) return false;
      items.push_back(std::move(item));
    }
    out = Value(std::move(items));
    return true;
  }

  bool dictionary(uint64_t at, uint64_t n, int depth, Value& out) {
    Dictionary entries;
    for (uint64_t i = 0; i < n; ++i) {
      Value key, item;
      if (!object(readBig(p_ + at + i * refSize_, refSize_), depth + 1, key)) return false;
      const std::string* k = key.get<std::string>();
      if (!k) return false;
      if (!object(readBig(p_ + at + (n + i) * refSize_, refSize_), depth + 1, item)) return false;
      entries[*k] = std::move(item);
    }
    out = Value(std::move(entries));
    return true;
  }

  const uint8_t* p_;
  size_t size_;
  size_t offsetSize_ = 0, refSize_ = 0;
  uint64_t tableOffset_ = 0, count_ = 0;
  std::vector<bool> visiting_;
  size_t nodes_ = 0;
};

}  // namespace

bool writeBinary(const Value& value, std::vector<uint8_t>& out) { return Writer().write(value, out); }

std::optional<Value> readBinary(const uint8_t* bytes, size_t size) { return Reader(bytes, size).read(); }

}  // namespace bridge::plist
