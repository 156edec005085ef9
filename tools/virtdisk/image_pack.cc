#include "image_pack.h"

// Not built yet: images cannot be made until the mount library lands.
unsigned KvPackImage(const std::string&, const std::string&,
                     std::string* error) {
  if (error) *error = "making images is not built yet";
  return 120;  // ERROR_CALL_NOT_IMPLEMENTED
}
