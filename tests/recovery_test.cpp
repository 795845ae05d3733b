// Recovery files: the documented layout written by one run and loaded by the
// next, the choice of the file to start from, damaged files, and a failure at
// every step of the rewrite leaving the table and the current file as they were.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "registry_testutil.h"

using namespace regtest;

namespace {

using Recovery = RegistryTest;

const char* const kEntryA =
    "# DOM\\a(spooler)\n"
    "a\n"
    "DOM\n"
    "2\n"
    "ncacn_ip_tcp:127.0.0.1[5000]\n"
    "ncacn_np:host1[\\pipe\\a]\n"
    "host1\n"
    "7\n"
    "\n";

TEST_F(Recovery, FileWrittenByOneRunIsLoadedByTheNextInItsLayout) {
  Server sa({"ncacn_ip_tcp:127.0.0.1[5000]", "ncacn_np:host1[\\pipe\\a]"}, "host1", 7);
  Server sb({"ncacn_ip_tcp:10.1.1.1"}, "hostb", -3);
  ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "b", sb), NS_S_OK);
  ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "a", sa), NS_S_OK);
  ASSERT_EQ(create_group(NS_CLASS_BACKUP, "k", {id(NS_CLASS_SPOOLER, "a"), id(NS_CLASS_LP, "p")}),
            NS_S_OK);
  std::string long_name(600, 'z');  // longer than any buffer a line goes through
  ASSERT_EQ(create_assoc(NS_CLASS_QUEUE, long_name.c_str(), id(NS_CLASS_SPOOLER, "b")), NS_S_OK);

  std::string dat = read_file(file("spooler"));
  std::regex header(
      "# V1\\.11:recovery file for spooler\n"
      "# last modified (Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d "
      "\\d{4}\n\n\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(dat, m, header, std::regex_constants::match_continuous)) << dat;
  EXPECT_EQ(dat.substr(m.length()), std::string(kEntryA) +
                                        "# DOM\\b(spooler)\n"
                                        "b\n"
                                        "DOM\n"
                                        "1\n"
                                        "ncacn_ip_tcp:10.1.1.1\n"
                                        "hostb\n"
                                        "-3\n"
                                        "\n");
  std::string backup = read_file(file("backup"));
  EXPECT_NE(backup.find("\n\n\n# DOM\\k(backup)\nk\nDOM\n2\nspooler\na\nDOM\nlp\np\nDOM\n\n"),
            std::string::npos);

  ASSERT_EQ(restart(), NS_S_OK);
  EXPECT_EQ(get(NS_CLASS_QUEUE, long_name.c_str()).supportauth, -3);  // b's, its sign kept

  // The last object gone: a file of the header lines only.
  ASSERT_EQ(delete_obj(NS_CLASS_SPOOLER, "a"), NS_S_OK);
  ASSERT_EQ(delete_obj(NS_CLASS_SPOOLER, "b"), NS_S_OK);
  dat = read_file(file("spooler"));
  EXPECT_TRUE(std::regex_match(dat, header)) << dat;
}

TEST_F(Recovery, DamagedFilesRefuseTheStartAndDuplicatesAreReported) {
  ElogCapture events;
  NS__TermNameObj();
  const std::string head = "# V1.11:recovery file for spooler\n# last modified x\n\n\n";
  struct Case {
    const char* what;
    std::string body;
    int status;
  };
  std::vector<Case> cases = {
      {"ends after a name line", std::string(kEntryA) + "b\n", NS_S_TRUNCATED},
      {"ends inside a binding list", std::string(kEntryA) + "b\nDOM\n3\nx\ny\n", NS_S_NOMEM},
      {"ends before the host", std::string(kEntryA) + "b\nDOM\n1\nx\n", NS_S_EOF},
      {"count not a number", "a\nDOM\nmany\nx\nh\n0\n", NS_S_SYSFAIL},
      // A count no file could hold is not allocated ahead (the sanitizer step would see it).
      {"count of 2^31 - 1", "a\nDOM\n2147483647\nx\nh\n0\n", NS_S_NOMEM},
      {"a NUL byte in a line", std::string("a\0b\nDOM\n1\nx\nh\n0\n", 16), NS_S_SYSFAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(file("spooler"), head + c.body);
    EXPECT_EQ(NS__InitNameObj(data.c_str()), c.status);
    EXPECT_EQ(NS__TermNameObj(), NS_S_NOTINIT);
  }
  std::filesystem::remove(file("spooler"));
  write_file(file("lp"),
             "# V1.11:recovery file for lp\n\n"
             "x\nDOM\nLP\nS\nDOM\n");
  EXPECT_EQ(NS__InitNameObj(data.c_str()), NS_S_NOCLASS);
  std::filesystem::remove(file("lp"));
  EXPECT_TRUE(events.lines().empty());

  // The first entry of a name wins, the second is reported once and the start goes on. CRLF line
  // ends load, extra CRs before them go (a rewrite could not give them back), comments are skipped.
  write_file(file("queue"),
             "q\r\nDOM\r\nspooler\r\nfirst\r\n# a comment\r\nDOM\r\n\r\n"
             "q\r\r\nDOM\nspooler\nsecond\nDOM\n\n"
             "r\nDOM\nspooler\nthird\nDOM\n");
  ASSERT_EQ(NS__InitNameObj(data.c_str()), NS_S_OK);
  EXPECT_EQ(names(NS_CLASS_QUEUE), (std::vector<std::string>{"q", "r"}));
  ASSERT_EQ(create_spooler("first"), NS_S_OK);
  EXPECT_EQ(get(NS_CLASS_QUEUE, "q").server, "first");
  std::vector<std::string> reported = events.lines();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_NE(reported[0].find("\"id\":\"0x80000007\",\"type\":2,\"strings\":[\"q\",\"queue\"]"),
            std::string::npos) << reported[0];
}

// A failure at each file operation of a rewrite, for an insertion, a
// replacement and a deletion: status 19, the table and .dat as before; when
// the last rename fails, the new content waits in .new for the next start.
TEST_F(Recovery, FailureAtEveryStepOfTheRewriteKeepsTableAndFile) {
  struct Change {
    const char* what;
    std::function<int()> run;
    std::vector<std::string> after;
  };
  Server sv({"ncacn_ip_tcp:127.0.0.1[5000]"}, "host1", 1);
  // A failed create whose table was rolled back leaves the record the caller's.
  int created = 0;
  std::vector<Change> changes = {
      {"insert",
       [&] { return create_server(NS_CLASS_SPOOLER, "c", sv, 0, &created); },
       {"a", "b", "c"}},
      {"replace",
       [&] { return create_server(NS_CLASS_SPOOLER, "a", sv, 1, &created); },
       {"a", "b"}},
      {"delete", [&] { return delete_obj(NS_CLASS_SPOOLER, "b"); }, {"a"}},
  };
  const qor_fileop ops[] = {QOR_FOP_OPEN,  QOR_FOP_WRITE,  QOR_FOP_FLUSH, QOR_FOP_FSYNC,
                            QOR_FOP_CLOSE, QOR_FOP_RENAME, QOR_FOP_REMOVE};
  int injected = 0;
  for (const Change& change : changes) {
    for (qor_fileop op : ops) {
      for (long n = 1;; n++) {
        SCOPED_TRACE(std::string(change.what) + " op " + std::to_string(op) + " n " +
                     std::to_string(n));
        // Fresh registry with a and b in spooler.
        NS__TermNameObj();
        std::filesystem::remove_all(data);
        ASSERT_EQ(NS__InitNameObj(data.c_str()), NS_S_OK);
        Server base({"ncacn_ip_tcp:10.0.0.9"}, "old", 2);
        ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "a", base), NS_S_OK);
        ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "b", base), NS_S_OK);
        std::string before = read_file(file("spooler"));

        qor_fileops_fail_at(op, n, EIO);
        int status = change.run();
        bool failed = qor_fileops_failed();
        qor_fileops_reset();
        if (!failed) {
          EXPECT_EQ(status, NS_S_OK);
          EXPECT_GT(n, 1);
          break;
        }
        injected++;
        EXPECT_EQ(status, NS_S_SYSFAIL);
        EXPECT_EQ(created, 0);
        EXPECT_EQ(names(NS_CLASS_SPOOLER), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(get(NS_CLASS_SPOOLER, "a").bindings,
                  std::vector<std::string>{"ncacn_ip_tcp:10.0.0.9"});
        EXPECT_FALSE(exists(file("spooler", ".tmp")));
        bool last_rename = op == QOR_FOP_RENAME && n == 2;
        if (!last_rename) {
          EXPECT_EQ(read_file(file("spooler")), before);
          EXPECT_FALSE(exists(file("spooler", ".new")));
          ASSERT_EQ(restart(), NS_S_OK);
          EXPECT_EQ(names(NS_CLASS_SPOOLER), (std::vector<std::string>{"a", "b"}));
        } else {
          EXPECT_FALSE(exists(file("spooler")));
          EXPECT_TRUE(exists(file("spooler", ".new")));
          qor_fileops_fail_at(QOR_FOP_OPEN, 1, EIO);  // a failed next rewrite keeps .new
          EXPECT_EQ(create_spooler("d"), NS_S_SYSFAIL);
          qor_fileops_fail_at(QOR_FOP_STAT, 2, EIO);  // a .new that cannot be looked at is kept
          EXPECT_EQ(restart(), NS_S_SYSFAIL);
          qor_fileops_reset();
          ASSERT_EQ(restart(), NS_S_OK);
          EXPECT_EQ(names(NS_CLASS_SPOOLER), change.after);
          EXPECT_TRUE(exists(file("spooler")));
        }
      }
    }
  }
  EXPECT_GT(injected, 30);

  // The directory sync comes after the last rename: its failure loses nothing in memory.
  qor_fileops_fail_at(QOR_FOP_FSYNCDIR, 1, EIO);
  EXPECT_EQ(create_spooler("z"), NS_S_OK);
  EXPECT_TRUE(qor_fileops_failed());
  qor_fileops_reset();
  EXPECT_NE(read_file(file("spooler")).find("\nz\nDOM\n"), std::string::npos);
}

}  // namespace
