// RC4 keystream, used for the masked header region and for "encoded" Jet3/Jet4 pages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvelle::jet {

// XORs data in place with the RC4 keystream of key (encrypts and decrypts alike).
void Rc4Apply(const uint8_t* key, size_t key_len, uint8_t* data, size_t len);

}  // namespace orvelle::jet
