// Reads the hex vectors that tests/vectors/gen_*_vectors.py wrote with impacket.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using rpc_bytes = std::vector<uint8_t>;

inline rpc_bytes rpc_hex(const std::string& hex) {
  rpc_bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// name -> bytes; empty when the file is missing (the test then fails on lookup).
inline std::map<std::string, rpc_bytes> rpc_load_vectors(const char* file) {
  std::map<std::string, rpc_bytes> v;
  std::ifstream in(std::string(QOR_SOURCE_DIR) + "/tests/vectors/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, hex;
    fields >> name >> hex;
    v[name] = rpc_hex(hex);
  }
  return v;
}
