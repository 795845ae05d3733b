#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "platform/fileops.h"
#include "platform/memory.h"
#include "records_testutil.h"
#include "registry/objutil.h"
#include "registry/status.h"
#include "testutil.h"

namespace {

// The writer of one record, as a call on an open file.
using Writer = std::function<int(FILE*)>;
Writer server(const qor_serverinfo* r) {
  return [r](FILE* fp) { return NS__write_qor_serverinfo(fp, r); };
}
Writer list(const qorobjects* r) {
  return [r](FILE* fp) { return NS__write_qorobjects(fp, r); };
}
Writer id(const qorobjid* r) {
  return [r](FILE* fp) { return NS__write_qorobjid(fp, r); };
}

// A scratch directory per test, removed with its files afterwards.
class TextForm : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qor-textform-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/file";
  }
  void TearDown() override {
    qor_fileops_reset();
    qor_free(buf_);
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }

  // Writes `content` to the file and opens it for reading.
  FILE* file_with(const std::string& content) {
    FILE* fp = std::fopen(path_.c_str(), "wb");
    EXPECT_NE(fp, nullptr);
    std::fwrite(content.data(), 1, content.size(), fp);
    std::fclose(fp);
    return std::fopen(path_.c_str(), "r");
  }

  std::string contents() {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Runs `write` on a fresh file and returns its status; the text lands in written_.
  template <typename W>
  int write_with(W write) {
    FILE* fp = qor_fops.open(path_.c_str(), "w");
    EXPECT_NE(fp, nullptr);
    int rc = write(fp);
    EXPECT_EQ(qor_fops.close(fp), 0);
    written_ = contents();
    return rc;
  }

  int read_line(FILE* fp) { return NS__ReadLine(&buf_, &size_, fp); }

  // Reads `text` with `read` under every allocation failure in turn; each must give 14 (`read`
  // checks that the record is left empty). The line buffer starts afresh each run, so its
  // creation and growth fail too.
  template <typename R>
  void read_under_every_allocation_failure(const std::string& text, R read) {
    for_each_alloc_failure([&] {
      qor_free(buf_);
      buf_ = nullptr;
      size_ = 0;
      FILE* fp = file_with(text);
      int rc = read(fp);
      std::fclose(fp);
      if (rc != NS_S_OK) {
        EXPECT_EQ(rc, NS_S_NOMEM);
      }
      return rc == NS_S_OK;
    });
  }

  std::string dir_, path_, written_;
  char* buf_ = nullptr;
  size_t size_ = 0;
};

TEST_F(TextForm, LinesOfAnyLengthWithLfOrCrlfSkippingCommentsAndBlanks) {
  std::string long_line(300, 'x');
  std::string last(1000, 'z');
  FILE* fp = file_with("# header\n\n" + long_line + "\nshort\r\n\r\n#c\r\nafter crlf\r\n" + last);
  ASSERT_EQ(read_line(fp), NS_S_OK);
  EXPECT_EQ(buf_, long_line);
  EXPECT_EQ(size_, 384u);  // grew by 128 twice
  ASSERT_EQ(read_line(fp), NS_S_OK);
  EXPECT_STREQ(buf_, "short");
  EXPECT_EQ(size_, 384u);  // and keeps its size
  ASSERT_EQ(read_line(fp), NS_S_OK);
  EXPECT_STREQ(buf_, "after crlf");
  ASSERT_EQ(read_line(fp), NS_S_OK);  // a last line without a line end
  EXPECT_EQ(buf_, last);
  EXPECT_EQ(read_line(fp), NS_S_EOF);
  EXPECT_EQ(read_line(fp), NS_S_EOF);
  std::fclose(fp);
  // Files without significant lines end at once.
  for (const char* content :
       {"", "\n\n", "# only\n\n# comments\n", "# no line end", "\r\n#x\r\n\r\n"}) {
    fp = file_with(content);
    EXPECT_EQ(read_line(fp), NS_S_EOF) << content;
    std::fclose(fp);
  }
}

TEST_F(TextForm, UnreadableInputIs19) {
  FILE* fp = file_with(std::string("good\nbad\0line\n", 14));
  ASSERT_EQ(read_line(fp), NS_S_OK);
  EXPECT_EQ(read_line(fp), NS_S_SYSFAIL);
  std::fclose(fp);

  fp = std::fopen(dir_.c_str(), "r");  // reading a directory fails with EISDIR
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(read_line(fp), NS_S_SYSFAIL);
  std::fclose(fp);
}

TEST_F(TextForm, LineBufferGrowthFailureKeepsTheBuffer) {
  FILE* fp = file_with("short\n");
  ASSERT_EQ(read_line(fp), NS_S_OK);  // creates the 128-byte buffer
  ASSERT_EQ(size_, 128u);
  std::fclose(fp);
  fp = file_with(std::string(200, 'y') + "\n");
  char* before = buf_;
  qor_alloc_fail_at(1);
  EXPECT_EQ(read_line(fp), NS_S_NOMEM);
  qor_alloc_fail_at(0);
  EXPECT_EQ(buf_, before);
  EXPECT_EQ(size_, 128u);
  std::fclose(fp);
}

TEST_F(TextForm, RecordsReadAcrossCommentsBlankLinesAndCrlf) {
  FILE* fp = file_with(
      "# V1.11:recovery file for group\r\n\r\n"
      "3 members\r\n# DOM\\g(group)\r\nlp\r\nprn1\r\n\r\nDOM\r\n"
      "queue\r\nq\r\nDOM\r\n#\r\nspooler\r\nsp\r\nOTHER\r\n"
      "2\n\nncacn_ip_tcp:10.1.2.3[2001]\n# between\nncacn_ip_tcp:10.1.2.4\nhost-a\n  -7xyz\n");
  qorobjects objs;
  ASSERT_EQ(NS__read_qorobjects(fp, &buf_, &size_, &objs), NS_S_OK);
  ASSERT_EQ(objs.len, 3);
  EXPECT_TRUE(same_objid(objs.val[0], objid(NS_CLASS_LP, "prn1", "DOM")));
  EXPECT_TRUE(same_objid(objs.val[1], objid(NS_CLASS_QUEUE, "q", "DOM")));
  EXPECT_TRUE(same_objid(objs.val[2], objid(NS_CLASS_SPOOLER, "sp", "OTHER")));
  NS__free_qorobjects(&objs);

  qor_serverinfo info;
  ASSERT_EQ(NS__read_qor_serverinfo(fp, &buf_, &size_, &info), NS_S_OK);
  ASSERT_EQ(info.binding.len, 2);
  EXPECT_STREQ(info.binding.val[0], "ncacn_ip_tcp:10.1.2.3[2001]");
  EXPECT_STREQ(info.binding.val[1], "ncacn_ip_tcp:10.1.2.4");
  EXPECT_STREQ(info.host, "host-a");
  EXPECT_EQ(info.support_auth, -7);  // read as atoi reads
  NS__free_qor_serverinfo(&info);
  std::fclose(fp);
}

TEST_F(TextForm, EveryRecordWrittenReadsBackEqual) {
  char* strs[3] = {const_cast<char*>("ncacn_ip_tcp:192.168.1.10[5001]"),
                   const_cast<char*>("ncacn_np:\\\\srv[\\pipe\\qor]"),
                   const_cast<char*>("ncacn_ip_tcp:\xE6\x97\xA5\xE6\x9C\xAC")};
  qor_serverinfo info{{3, strs}, const_cast<char*>("print-host.example"), 2147483647};
  std::string long_name(500, 'n');
  qorobjid members[3] = {objid(NS_CLASS_PP, long_name.c_str(), "SALES"),
                         objid(NS_CLASS_BACKUP, " blank lead", "dom with blank"),
                         objid(NS_CLASS_NONE, "x#y", "D")};
  qorobjects objs{3, members};
  qorobjid assoc = objid(NS_CLASS_SUPERV, "sv1", "SALES");

  ASSERT_EQ(write_with([&](FILE* fp) {
              int rc = NS__write_qor_serverinfo(fp, &info);
              if (rc == NS_S_OK) rc = NS__write_qorobjects(fp, &objs);
              if (rc == NS_S_OK) rc = NS__write_qorobjid(fp, &assoc);
              return rc;
            }),
            NS_S_OK);
  EXPECT_EQ(written_.find('\r'), std::string::npos);  // LF line ends
  EXPECT_EQ(written_.substr(0, 32), "3\nncacn_ip_tcp:192.168.1.10[5001");

  FILE* fp = std::fopen(path_.c_str(), "r");
  qor_serverinfo info_back;
  qorobjects objs_back;
  qorobjid assoc_back;
  ASSERT_EQ(NS__read_qor_serverinfo(fp, &buf_, &size_, &info_back), NS_S_OK);
  ASSERT_EQ(NS__read_qorobjects(fp, &buf_, &size_, &objs_back), NS_S_OK);
  ASSERT_EQ(NS__read_qorobjid(fp, &buf_, &size_, &assoc_back), NS_S_OK);
  EXPECT_EQ(read_line(fp), NS_S_EOF);
  std::fclose(fp);
  EXPECT_TRUE(same_serverinfo(info_back, info));
  EXPECT_TRUE(same_objects(objs_back, objs));
  EXPECT_TRUE(same_objid(assoc_back, assoc));
  NS__free_qor_serverinfo(&info_back);
  NS__free_qorobjects(&objs_back);
  NS__free_qorobjid(&assoc_back);
}

TEST_F(TextForm, ListsLongerThanTheirFirstChunkReadBack) {
  std::string text = "1000\n";
  for (int i = 0; i < 1000; ++i) text += "ncacn_ip_tcp:10.0." + std::to_string(i) + "\n";
  text += "150\n";
  for (int i = 0; i < 150; ++i) text += "group\ng" + std::to_string(i) + "\nDOM\n";
  FILE* fp = file_with(text);
  rpcbinding b;
  ASSERT_EQ(NS__read_rpcbinding(fp, &buf_, &size_, &b), NS_S_OK);
  ASSERT_EQ(b.len, 1000);
  EXPECT_STREQ(b.val[999], "ncacn_ip_tcp:10.0.999");
  NS__free_rpcbinding(&b);
  qorobjects objs;
  ASSERT_EQ(NS__read_qorobjects(fp, &buf_, &size_, &objs), NS_S_OK);
  ASSERT_EQ(objs.len, 150);
  EXPECT_STREQ(objs.val[149].name, "g149");
  NS__free_qorobjects(&objs);
  std::fclose(fp);
}

TEST_F(TextForm, BadCountsAndShortRecordsLeaveNothing) {
  struct Case {
    const char* text;
    int objects_rc;  // NS__read_qorobjects
    int binding_rc;  // NS__read_rpcbinding
  };
  const Case cases[] = {
      {"0\n", NS_S_SYSFAIL, NS_S_SYSFAIL},
      {"-2\nx\n", NS_S_SYSFAIL, NS_S_SYSFAIL},
      {"three\n", NS_S_SYSFAIL, NS_S_SYSFAIL},
      {"", NS_S_EOF, NS_S_EOF},
      // Announces 3 and holds 2 (or 2 and then a partial identity).
      {"3\nlp\na\nD\nlp\nb\nD\n", NS_S_EOF, NS_S_OK},
      {"3\nb1\nb2\n", NS_S_NOCLASS, NS_S_NOMEM},
      // A corrupt count must not allocate what the file does not hold.
      {"2147483647\nlp\na\nD\n", NS_S_EOF, NS_S_NOMEM},
      {"99999999999999999999\n", NS_S_EOF, NS_S_NOMEM},
  };
  for (const Case& c : cases) {
    FILE* fp = file_with(c.text);
    qorobjects objs{5, nullptr};
    EXPECT_EQ(NS__read_qorobjects(fp, &buf_, &size_, &objs), c.objects_rc) << c.text;
    EXPECT_EQ(objs.len, 0);
    EXPECT_EQ(objs.val, nullptr);
    std::fclose(fp);

    fp = file_with(c.text);
    rpcbinding b{5, nullptr};
    EXPECT_EQ(NS__read_rpcbinding(fp, &buf_, &size_, &b), c.binding_rc) << c.text;
    if (c.binding_rc == NS_S_OK) {  // six lines make a list of three bindings
      EXPECT_EQ(b.len, 3);
      NS__free_rpcbinding(&b);
      b = rpcbinding{0, nullptr};
    }
    EXPECT_EQ(b.len, 0);
    EXPECT_EQ(b.val, nullptr);
    std::fclose(fp);
  }

  // An unknown class, or an identity cut short.
  for (auto [text, rc] : {std::pair{"LP\nprn\nDOM\n", NS_S_NOCLASS}, {"lp\nprn\n", NS_S_EOF}}) {
    FILE* fp = file_with(text);
    qorobjid id{};
    EXPECT_EQ(NS__read_qorobjid(fp, &buf_, &size_, &id), rc) << text;
    EXPECT_TRUE(same_objid(id, objid(NS_CLASS_NONE, nullptr, nullptr)));
    std::fclose(fp);
  }
  for (const char* text : {"1\nb\n", "1\nb\nhost\n"}) {  // server record cut short
    FILE* fp = file_with(text);
    qor_serverinfo info;
    EXPECT_EQ(NS__read_qor_serverinfo(fp, &buf_, &size_, &info), NS_S_EOF) << text;
    EXPECT_EQ(info.binding.len, 0);
    EXPECT_EQ(info.host, nullptr);
    std::fclose(fp);
  }
}

TEST_F(TextForm, EveryOutOfMemoryPathOfTheReadersLeavesNothing) {
  std::string longname(200, 'L');
  read_under_every_allocation_failure("lp\n" + longname + "\nDOM\n", [&](FILE* fp) {
    qorobjid id;
    int rc = NS__read_qorobjid(fp, &buf_, &size_, &id);
    if (rc != NS_S_OK) {
      EXPECT_TRUE(id.name == nullptr && id.domain == nullptr);
      EXPECT_EQ(id.nsclass, NS_CLASS_NONE);
    } else {
      EXPECT_EQ(id.name, longname);
      NS__free_qorobjid(&id);
    }
    return rc;
  });
  std::string members = "70\n";  // beyond the first chunk, so the array grows once
  for (int i = 0; i < 70; ++i) members += "queue\nq" + std::to_string(i) + "\nD\n";
  read_under_every_allocation_failure(members, [&](FILE* fp) {
    qorobjects objs;
    int rc = NS__read_qorobjects(fp, &buf_, &size_, &objs);
    if (rc != NS_S_OK) {
      EXPECT_TRUE(objs.len == 0 && objs.val == nullptr);
    } else {
      EXPECT_EQ(objs.len, 70);
      NS__free_qorobjects(&objs);
    }
    return rc;
  });
  std::string server = "70\n";
  for (int i = 0; i < 70; ++i) server += "ncacn_ip_tcp:h" + std::to_string(i) + "\n";
  server += longname + "\n1\n";
  read_under_every_allocation_failure(server, [&](FILE* fp) {
    qor_serverinfo info;
    int rc = NS__read_qor_serverinfo(fp, &buf_, &size_, &info);
    if (rc != NS_S_OK) {
      EXPECT_TRUE(info.binding.len == 0 && info.binding.val == nullptr && info.host == nullptr);
    } else {
      EXPECT_EQ(info.binding.len, 70);
      EXPECT_EQ(info.host, longname);
      NS__free_qor_serverinfo(&info);
    }
    return rc;
  });
}

TEST_F(TextForm, WritersRefuseRecordsTheyCannotWrite) {
  char* strs[2] = {const_cast<char*>("ncacn_ip_tcp:h"), nullptr};
  qor_serverinfo hostless{{1, strs}, nullptr, 0},
      null_binding{{2, strs}, const_cast<char*>("h"), 0},
      no_binding{{0, strs}, const_cast<char*>("h"), 0};
  qorobjects empty{0, nullptr};
  qorobjid bad_class = objid(11, "n", "d"), no_name = objid(0, nullptr, "d"),
           no_domain = objid(0, "n", nullptr);
  // The first member that fails stops the list; what came before stays.
  qorobjid members[3] = {objid(NS_CLASS_LP, "a", "D"), objid(NS_CLASS_LP, "b", nullptr),
                         objid(NS_CLASS_LP, "c", "D")};
  qorobjects objs{3, members};
  const struct {
    Writer write;
    int rc;
    const char* written;
  } cases[] = {
      {server(&hostless), NS_S_NODATA, ""},   {server(&null_binding), NS_S_NODATA, ""},
      {server(&no_binding), NS_S_NODATA, ""}, {list(&empty), NS_S_NODATA, ""},
      {id(&bad_class), NS_S_NOCLASS, ""},     {id(&no_name), NS_S_NOID, ""},
      {id(&no_domain), NS_S_NODOMAIN, ""},    {list(&objs), NS_S_NODOMAIN, "3\nlp\na\nD\n"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(write_with(cases[i].write), cases[i].rc);
    EXPECT_EQ(written_, cases[i].written);
  }
}

TEST_F(TextForm, EveryFailedWriteGives19) {
  char* strs[2] = {const_cast<char*>("ncacn_ip_tcp:h1"), const_cast<char*>("ncacn_ip_tcp:h2")};
  qor_serverinfo info{{2, strs}, const_cast<char*>("host"), 3};
  qorobjid members[2] = {objid(NS_CLASS_LP, "a", "D"), objid(NS_CLASS_PP, "b", "D")};
  qorobjects objs{2, members};
  const struct {
    Writer write;
    int writes;  // calls of the hook's write the record takes
  } cases[] = {{server(&info), 4}, {list(&objs), 3}, {id(&members[0]), 1}};
  for (const auto& c : cases) {
    int failures = 0;
    for (long n = 1;; ++n) {
      qor_fileops_fail_at(QOR_FOP_WRITE, n, ENOSPC);
      int rc = write_with(c.write);
      if (!qor_fileops_failed()) {
        EXPECT_EQ(rc, NS_S_OK);
        break;
      }
      EXPECT_EQ(rc, NS_S_SYSFAIL) << "write " << n;
      ++failures;
      ASSERT_LT(n, 100);
    }
    EXPECT_EQ(failures, c.writes);
  }

  // A real write error: the stream's error indicator.
  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(NS__write_qorobjects(full, &objs), NS_S_SYSFAIL);
  std::fclose(full);
}

TEST(TextStorable, ValuesTheTextFormGivesBackUnchanged) {
  for (const char* good : {"name", " lead and trail ", "a#b"}) EXPECT_TRUE(NS__text_storable(good));
  for (const char* bad : {static_cast<const char*>(nullptr), "", "#x", "a\nb", "a\r"}) {
    EXPECT_FALSE(NS__text_storable(bad)) << (bad ? bad : "(null)");
  }
}

}  // namespace
