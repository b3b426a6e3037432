// Random access to the bytes of a database file.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

namespace orvelle::jet {

// Abstract so that tests and the fuzzer can read databases from memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual const std::string& Name() const = 0;
  virtual uint64_t Size() const = 0;
  // Reads exactly len bytes at offset; false when the source cannot deliver them.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t len) = 0;
};

// A file opened read-only; only the pages asked for are read. Throws JetError when the file
// cannot be opened.
std::unique_ptr<ByteSource> OpenFileSource(const std::string& path);

// Bytes held in memory under a display name.
std::unique_ptr<ByteSource> MemorySource(std::string name, std::string bytes);

}  // namespace orvelle::jet
