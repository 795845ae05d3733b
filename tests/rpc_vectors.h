// Shared by the wire tests: the hex vectors that tests/vectors/gen_*_vectors.py
// wrote with impacket.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

using rpc_bytes = std::vector<uint8_t>;

// Hex digits to bytes; spaces and other separators are skipped.
inline rpc_bytes rpc_hex(const std::string& hex) {
  std::string digits;
  for (char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  rpc_bytes out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// One vector: its bytes and, in qor_vectors.txt ("name opnum hex"), the operation.
struct rpc_vector {
  uint32_t opnum = 0;
  rpc_bytes data;
};

// name -> vector of a file under tests/vectors, read once; empty when missing
// (the tests then fail on lookup).
inline const std::map<std::string, rpc_vector>& rpc_vectors(const std::string& file) {
  static std::map<std::string, std::map<std::string, rpc_vector>> files;
  auto [it, fresh] = files.try_emplace(file);
  std::ifstream in(std::string(QOR_SOURCE_DIR) + "/tests/vectors/" + file);
  for (std::string line; fresh && std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, a, b;
    fields >> name >> a >> b;
    rpc_vector& v = it->second[name];
    if (file == "qor_vectors.txt") v.opnum = static_cast<uint32_t>(std::stoul(a));
    v.data = rpc_hex(file == "qor_vectors.txt" ? b : a);
  }
  return it->second;
}

// A copy of `pdu` with the byte at `off` set to `value`.
inline rpc_bytes with(rpc_bytes pdu, size_t off, uint8_t value) {
  pdu[off] = value;
  return pdu;
}

inline const rpc_bytes& rpc_vec(const std::string& file, const std::string& name) {
  auto it = rpc_vectors(file).find(name);
  EXPECT_NE(it, rpc_vectors(file).end()) << name;
  static const rpc_bytes none;
  return it == rpc_vectors(file).end() ? none : it->second.data;
}
