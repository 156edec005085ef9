// A scratch folder for one fuzz input: the archive's files beside a
// restore target, and a check that nothing was written beside them.
#ifndef KVMORVEL_FUZZ_SUPPORT_H
#define KVMORVEL_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

class FuzzScratch {
 public:
  FuzzScratch();
  ~FuzzScratch();
  void Write(const std::string& name, const uint8_t* data, size_t size);
  void MakeFolder(const std::string& name);
  std::u16string Wide(const std::string& name) const;
  // Aborts when the scratch folder holds anything but the files written
  // through Write and the target folder: a restore escaped its target.
  void CheckNothingEscaped(const std::string& target) const;

 private:
  std::string root_;
  std::set<std::string> known_;
};

#endif  // KVMORVEL_FUZZ_SUPPORT_H
