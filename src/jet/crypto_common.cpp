// What both crypto libraries share: the names and sizes of the digests.
#include "jet/crypto.h"

namespace orvelle::jet::crypto {

size_t DigestSize(HashAlgorithm h) {
  switch (h) {
    case HashAlgorithm::kSha1:
      return 20;
    case HashAlgorithm::kSha256:
      return 32;
    case HashAlgorithm::kSha384:
      return 48;
    case HashAlgorithm::kSha512:
      return 64;
  }
  return 0;
}

const char* HashName(HashAlgorithm h) {
  switch (h) {
    case HashAlgorithm::kSha1:
      return "SHA-1";
    case HashAlgorithm::kSha256:
      return "SHA-256";
    case HashAlgorithm::kSha384:
      return "SHA-384";
    case HashAlgorithm::kSha512:
      return "SHA-512";
  }
  return "?";
}

}  // namespace orvelle::jet::crypto
