// The NDR reader and writer below the stubs: what they refuse, what they allocate and what they
// release. The values they carry are pinned byte for byte by the stub vectors (qor_stubs_test.cpp);
// the records here are qor's own identity lists.
#include "platform/rpc/ndr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "federation/qor_ndr.h"
#include "rpc_vectors.h"

namespace {

// Counts what a reader allocates, to show that hostile counts allocate nothing.
thread_local size_t allocated_bytes = 0;
thread_local size_t live_blocks = 0;
void* counting_alloc(size_t n) {
  allocated_bytes += n;
  ++live_blocks;
  return std::malloc(n);
}
void counting_free(void* p) {
  --live_blocks;
  std::free(p);
}

// A list of {3, "ab", null} and {5, "c", "de"}, referent ids numbered from 0x00020000.
const char* const EXAMPLE =
    "02000000 00000200"
    "02000000"
    "0300 0000 04000200 00000000"
    "0500 0000 08000200 0c000200"
    "03000000 00000000 03000000 616200 00"
    "02000000 00000000 02000000 6300 0000"
    "03000000 00000000 03000000 646500";

// Every allocation of a read failing in turn: the read fails with no memory
// and the release leaves nothing (LeakSanitizer checks). Forty binding lists of
// one string each take more blocks than the reader's journal holds inline, and
// more arrays than the nesting limit, each left before the next is entered.
TEST(NdrDecode, AllocationFailureAtEveryStepIsReported) {
  std::vector<std::string> names(40);
  std::vector<char*> strings(40);
  std::vector<rpcbinding> lists(40);
  for (size_t i = 0; i < lists.size(); ++i) {
    names[i] = "name" + std::to_string(i);
    strings[i] = names[i].data();
    lists[i] = {1, &strings[i]};
  }
  rpc_bytes many;
  ndr_writer w;
  ndr_writer_init(&w, &many);
  ndr_put_conformant_array(&w, lists.data(), 40, &QOR_NDR_RPCBINDING);
  ASSERT_EQ(w.status, 0u);

  for_each_alloc_failure([&] {
    ndr_reader r;
    ndr_reader_init(&r, many.data(), many.size());
    void* elems = nullptr;
    bool ok = ndr_get_conformant_array(&r, &elems, 40, &QOR_NDR_RPCBINDING);
    if (ok) {
      EXPECT_STREQ(static_cast<rpcbinding*>(elems)[39].val[0], "name39");
    }
    EXPECT_TRUE(r.status == 0 || r.status == NCA_S_FAULT_REMOTE_NO_MEMORY) << r.status;
    ndr_reader_release(&r);
    return ok;
  });
}

// Hostile stubs, each with the status it must get: none may allocate more
// than its own size justifies, and every block is released.
TEST(NdrDecode, HostileInputIsRefusedBeforeAllocating) {
  const struct {
    const char* what;
    bool list;  // an identity list; otherwise a bare string
    const char* hex;
    uint32_t status;
  } cases[] = {
      {"count claims 2^31 records, none follow", true, "ffffff7f 04000200 ffffff7f",
       NCA_S_FAULT_NDR},
      {"maximum count differs from len", true, "01000000 04000200 02000000",
       NCA_S_FAULT_INVALID_BOUND},
      {"negative len with an array", true, "ffffffff 04000200 ffffffff", NCA_S_FAULT_INVALID_BOUND},
      {"enumeration above 32767", true, "01000000 04000200 01000000 0080 0000 00000000 00000000",
       NCA_S_FAULT_ENUM_VALUE_OUT_OF_RANGE},
      {"enumeration 32767", true, "01000000 04000200 01000000 ff7f 0000 00000000 00000000", 0},
      {"a well-formed list", true, EXAMPLE, 0},
      {"string of a billion bytes, three follow", true,
       "01000000 04000200 01000000 0300 0000 08000200 00000000"
       "00ca9a3b 00000000 00ca9a3b 616200",
       NCA_S_FAULT_NDR},
      {"no terminating zero", false, "03000000 00000000 03000000 616263", NCA_S_FAULT_NDR},
      {"non-zero offset", false, "03000000 01000000 02000000 6100", NCA_S_FAULT_NDR},
      {"actual count above maximum", false, "02000000 00000000 03000000 616200",
       NCA_S_FAULT_INVALID_BOUND},
      {"actual count zero", false, "00000000 00000000 00000000", NCA_S_FAULT_NDR},
      {"zero inside the string", false, "04000000 00000000 04000000 61006200", NCA_S_FAULT_NDR},
      {"maximum count beyond the bytes that follow", false, "ffffffff 00000000 03000000 616200",
       NCA_S_FAULT_NDR},
      {"empty string", false, "01000000 00000000 01000000 00", 0},
      // A maximum above the actual count is a buffer size: fine while the bytes are there.
      {"maximum above actual", false, "05000000 00000000 03000000 616200 0000", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rpc_bytes in = rpc_hex(c.hex);
    ndr_reader r;
    ndr_reader_init(&r, in.data(), in.size());
    r.alloc = counting_alloc;
    r.dealloc = counting_free;
    allocated_bytes = live_blocks = 0;
    qorobjects list = {};
    char* s = nullptr;
    bool ok = c.list ? ndr_get_record(&r, &list, &QOR_NDR_QOROBJECTS) : ndr_get_string(&r, &s);
    EXPECT_EQ(ok, c.status == 0);
    EXPECT_EQ(r.status, c.status);
    EXPECT_LE(allocated_bytes, (c.list ? 2 : 1) * in.size());
    ndr_reader_release(&r);
    EXPECT_EQ(live_blocks, 0u);
  }
}

// Whatever the counts say, one call's decoding allocates no more than its cap.
TEST(NdrDecode, TotalAllocationIsCapped) {
  rpc_bytes in = rpc_hex(EXAMPLE);
  qorobjects list = {};
  ndr_reader r;
  ndr_reader_init(&r, in.data(), in.size());
  r.alloc_limit = 2 * sizeof(qorobjid) + 3;  // the array and one string, not the rest
  EXPECT_FALSE(ndr_get_record(&r, &list, &QOR_NDR_QOROBJECTS));
  EXPECT_EQ(r.status, NCA_S_FAULT_REMOTE_NO_MEMORY);
  ndr_reader_release(&r);
}

}  // namespace
