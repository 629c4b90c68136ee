// The program's own module: its RCDATA resources and its file name.
#pragma once

#include <cstdint>
#include <string>

namespace host {

class ResourcePort {
 public:
  virtual ~ResourcePort() = default;

  // FindResourceA(NULL, MAKEINTRESOURCE(id), RT_RCDATA), LoadResource, LockResource and
  // SizeofResource: false when the resource is missing or cannot be loaded.
  virtual bool LoadRcData(int id, const std::uint8_t** data, std::uint32_t* size) = 0;

  // The executable's base name without its extension (GetModuleFileNameA): the application's
  // name, which captions its message boxes.
  virtual std::string ApplicationName() = 0;
};

}  // namespace host
