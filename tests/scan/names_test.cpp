// Names in every script. Where the code page is UTF-8 (POSIX file systems, and the programs
// whose manifest asks for it) every name is rewritten by its own name. This test program has no
// manifest, so under Windows it runs in the old code page: there a name the code page cannot
// hold is reported and skipped, and never turned into another file's name ("Ω.txt" must not
// become "O.txt", whose file is beside it).
#include "scan_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace scan_test;

namespace {

TEST(Names, ANameTheCodePageCannotHoldIsReportedAndNeverStandsForAnother) {
    bool exact = true;  // every name can be given exactly
#if defined(_WIN32)
    if (GetACP() != CP_UTF8 && GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
    exact = GetACP() == CP_UTF8;
#endif
    const struct {
        const char *name;   // UTF-8
        bool in_1252;       // code page 1252 holds it
        const char *shown;  // how the log shows it where it is not held
    } names[] = {
        {"plain.txt", true, ""},
        {"caf\xc3\xa9.txt", true, ""},
        {"O.txt", true, ""},
        {"\xce\xa9.txt", false, "<U+03A9>.txt"},
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", false, "<U+65E5><U+672C><U+8A9E>.txt"},
        {"emoji \xf0\x9f\x98\x80.txt", false, "emoji <U+1F600>.txt"},
        {"e\xcc\x81.txt", false, "e<U+0301>.txt"},
        {"\xce\xa3\xce\xbf/in.txt", false, "<U+03A3><U+03BF>"},  // a folder
    };
    open_window();
    temp_tree t;
    for (auto &n : names)
        write_file(t.path() / fs::u8path(n.name), std::string(n.name) + " needle\n");
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    std::string log = read_file("logging.log");
    bool any_skipped = false;
    for (auto &n : names) {
        SCOPED_TRACE(n.name);
        bool held = exact || n.in_1252;
        std::string now = read_file(t.path() / fs::u8path(n.name));
        EXPECT_EQ(std::string(n.name) + (held ? " pin\r\n" : " needle\n"), now);
        if (held) continue;
        any_skipped = true;
        EXPECT_NE(std::string::npos, log.find(std::string("skipped: ") + n.shown + " in folder "))
            << log;
    }
    EXPECT_EQ(any_skipped ? 1u : 0u, headless_boxes().size());
    EXPECT_TRUE(t.temporaries().empty());
    close_window();
}

}  // namespace
