// Feeds arbitrary bytes to the readers of the files an administrator edits: the
// settings file (every value type, %VAR% expansion, multi_sz lists), smb.conf's
// workgroup and the domain directory. Every reader must answer with a value, a
// default or a status and leave nothing behind.
#include <limits.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/memory.h"
#include "platform/netapi.h"
#include "service/qorutil.h"

namespace {

char settings[PATH_MAX];   // the fuzzed settings file
char directory[PATH_MAX];  // the fuzzed domain directory, named by `pointer`
char smbconf[PATH_MAX];
char pointer[PATH_MAX];  // a settings file naming `directory`
char folder[PATH_MAX];

void remove_files() {
  for (const char* path : {settings, directory, smbconf, pointer}) unlink(path);
  rmdir(folder);
}

bool write_file(const char* path, const uint8_t* data, size_t size) {
  FILE* fp = std::fopen(path, "w");
  if (fp == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, fp) == size;
  return std::fclose(fp) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::snprintf(folder, sizeof folder, "%s/qor-settings-fuzz-XXXXXX",
                tmp != nullptr ? tmp : "/tmp");
  if (mkdtemp(folder) == nullptr) std::abort();
  std::atexit(remove_files);
  std::snprintf(settings, sizeof settings, "%s/qor.conf", folder);
  std::snprintf(directory, sizeof directory, "%s/domains", folder);
  std::snprintf(smbconf, sizeof smbconf, "%s/smb.conf", folder);
  std::snprintf(pointer, sizeof pointer, "%s/pointer.conf", folder);
  FILE* fp = std::fopen(pointer, "w");
  if (fp == nullptr) std::abort();
  std::fprintf(fp, "DomainDirectory = sz:%s\nLanGroup = sz:OWN\n", directory);
  std::fclose(fp);
  // A few references to it outgrow the first buffer an expansion is tried in.
  setenv("QORFUZZ", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the file; the rest is its text.
  switch (data[0] % 3) {
    case 0: {
      if (!write_file(settings, data + 1, size - 1)) return 0;
      setenv("QOR_CONFIG", settings, 1);
      static char fallback[] = "fallback";
      char* s = NS__GetRegStr("K", fallback);
      if (s != fallback) qor_free(s);
      char** list = NS__GetRegStrArray("K", nullptr);
      if (list != nullptr) {
        for (char** p = list; *p != nullptr; ++p) qor_free(*p);
        qor_free(list);
      }
      NS__GetRegInt("K", 7);
      break;
    }
    case 1: {
      if (!write_file(smbconf, data + 1, size - 1)) return 0;
      qor_free(qor_smb_workgroup(smbconf));
      break;
    }
    default: {
      if (!write_file(directory, data + 1, size - 1)) return 0;
      setenv("QOR_CONFIG", pointer, 1);
      for (const char* domain : {"D", static_cast<const char*>(nullptr)}) {
        LPBYTE dc = nullptr;
        NetGetDCName(nullptr, domain, &dc);
        NetApiBufferFree(dc);
      }
      HANDLE en = nullptr;
      if (WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, nullptr, &en) != NO_ERROR) break;
      // A small buffer first, so that a long record asks for more room.
      std::vector<uint8_t> buf(64);
      for (int i = 0; i < 10000; ++i) {
        DWORD count = 0xFFFFFFFF;
        DWORD room = static_cast<DWORD>(buf.size());
        DWORD rc = WNetEnumResourceA(en, &count, buf.data(), &room);
        if (rc == ERROR_MORE_DATA && room > buf.size() && room <= 65536) {
          buf.resize(room);
        } else if (rc != NO_ERROR) {
          break;
        }
      }
      WNetCloseEnum(en);
      break;
    }
  }
  return 0;
}
