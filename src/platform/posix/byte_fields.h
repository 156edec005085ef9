// Little-endian fields of the layer's own extended-attribute records
// (user.DOSATTRIB, the link metadata record).
#ifndef KVMORVEL_PLATFORM_POSIX_BYTE_FIELDS_H
#define KVMORVEL_PLATFORM_POSIX_BYTE_FIELDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads fields in order; a read past the end makes ok() false and yields
// zero (or an empty string) from then on.
class FieldReader {
 public:
  explicit FieldReader(const std::vector<uint8_t>& b, size_t at = 0)
      : b_(b), at_(at) {}
  bool ok() const { return ok_; }
  bool done() const { return at_ >= b_.size(); }
  void Align(size_t n) { at_ = (at_ + n - 1) / n * n; }
  uint64_t Le(size_t n) {
    if (!Have(n)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
      v |= static_cast<uint64_t>(b_[at_ + i]) << (8 * i);
    at_ += n;
    return v;
  }
  std::string Text(size_t n) {
    if (!Have(n)) return std::string();
    std::string s(b_.begin() + at_, b_.begin() + at_ + n);
    at_ += n;
    return s;
  }

 private:
  bool Have(size_t n) {
    if (ok_ && (at_ > b_.size() || n > b_.size() - at_)) ok_ = false;
    return ok_;
  }
  const std::vector<uint8_t>& b_;
  size_t at_;
  bool ok_ = true;
};

inline void PutLe(std::vector<uint8_t>& b, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

#endif  // KVMORVEL_PLATFORM_POSIX_BYTE_FIELDS_H
