// The undo store on its own: the journal's text, keeping originals (linked and copied), giving
// them back only to files that still hold what the run wrote, leftovers of killed runs, and the
// runs the store keeps.
#include <gtest/gtest.h>

#include "engine/content_hash.h"
#include "tests/common/files.h"
#include "undo/journal.h"
#include "undo/undo.h"

using namespace testutil;

namespace {

uint64_t hash_of(const std::string &bytes) {
    content_hash h;
    hash_update(h, bytes.data(), bytes.size());
    return hash_value(h);
}

// What the copy feeds in blocks of any size hashes as the whole does; one changed byte or a
// byte more does not.
TEST(ContentHash, PiecesHashAsTheWhole) {
    std::string text;
    for (int i = 0; i < 100; ++i) text += char('a' + i % 7);
    const uint64_t whole = hash_of(text);
    for (size_t cut : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(9), size_t(63)}) {
        content_hash h;
        for (size_t at = 0; at < text.size(); at += cut + 1)
            hash_update(h, text.data() + at, std::min(cut + 1, text.size() - at));
        EXPECT_EQ(whole, hash_value(h)) << cut;
    }
    std::string other = text;
    other[50] ^= 1;
    EXPECT_NE(whole, hash_of(other));
    EXPECT_NE(whole, hash_of(text + '\0'));
    EXPECT_NE(hash_of(""), hash_of(std::string(1, '\0')));
}

TEST(UndoJournal, TextsSurviveTheirEscape) {
    for (std::string text : {"", "plain", "a b\\c", "line\nnext\r\n", "tab\there ", "\\s\\n"}) {
        std::string back;
        const std::string escaped = journal_escape(text);
        EXPECT_EQ(std::string::npos, escaped.find_first_of(" \n\r")) << escaped;
        ASSERT_TRUE(journal_unescape(escaped, &back)) << escaped;
        EXPECT_EQ(text, back);
    }
    std::string out;
    for (const char *bad : {"a\\", "a\\x", "a b"}) EXPECT_FALSE(journal_unescape(bad, &out)) << bad;
}

TEST(UndoJournal, WhatCanBeReadIsKeptAndTheRestTold) {
    undo_file f;
    f.path = "/some where/a.txt";
    f.new_size = 12;
    f.new_hash = 0xfeed;
    std::string text = journal_header("/some where", "needle", "", 1700000000) +
                       journal_keep_line(1, false, f) + "keep 2 link nonsense\n" +
                       journal_temp_line(1, "/some where/17.tmp");
    f.path = "/some where/b.txt";
    text += journal_keep_line(3, true, f);
    text += "keep 4 link 1 2 3 4 5 6 7 8";  // cut short by a kill
    undo_record r;
    ASSERT_TRUE(journal_read(text, "/store/9", &r));
    EXPECT_EQ("/some where", r.root);
    EXPECT_EQ("needle", r.search);
    EXPECT_EQ("", r.replace);
    EXPECT_EQ(1700000000, r.started);
    EXPECT_FALSE(r.ended);
    ASSERT_EQ(2u, r.entries.size());
    EXPECT_EQ("/some where/a.txt", r.entries[0].path);
    EXPECT_EQ("/some where/17.tmp", r.entries[0].temp_path);
    EXPECT_FALSE(r.entries[0].copied);
    EXPECT_TRUE(r.entries[1].copied);
    EXPECT_EQ(0xfeedu, r.entries[1].new_hash);
    EXPECT_EQ(1u, r.unreadable.size());
    EXPECT_EQ("keep 4 link 1 2 3 4 5 6 7 8", r.cut_off);
    // After the run's end only an undo writes, and its mark last: a kill may cut that short.
    ASSERT_TRUE(journal_read(text + "\nend\nund", "/store/9", &r));
    EXPECT_TRUE(r.ended);
    EXPECT_TRUE(r.undone);
    EXPECT_EQ(2u, r.unreadable.size());
    EXPECT_EQ("", r.cut_off);
    // Any other line there is damage.
    ASSERT_TRUE(journal_read(text + "\nend\nkeep 5", "/store/9", &r));
    EXPECT_FALSE(r.undone);
    EXPECT_EQ(3u, r.unreadable.size());
    EXPECT_FALSE(journal_read("not a journal\n", "/store/9", &r));
}

class Undo : public ::testing::Test {
  protected:
    scratch_store store;
    scratch_dir tree{"tree"};
    const std::string before = "old text\n";
    const std::string after = "new text, longer\r\n";

    // A run that keeps the original of name and swaps in after, as a rewrite does; returns the
    // record number.
    uint64_t rewrite(undo_run &run, const std::string &name) {
        const std::string path = tree.file(name);
        undo_file f;
        EXPECT_TRUE(os_stat_path(path.c_str(), &f.before, 1));
        f.path = path;
        f.new_size = after.size();
        f.new_hash = hash_of(after);
        uint64_t n = undo_keep(run, f);
        EXPECT_NE(0u, n);
        EXPECT_TRUE(undo_flush(run));
        write_file(path + ".new", after);
        fs::rename(path + ".new", path);
        return n;
    }
    undo_run_ptr begin() {
        std::string why;
        auto run = undo_begin(tree.str(), "old", "new", &why);
        EXPECT_TRUE(run) << why;
        return run;
    }
};

TEST_F(Undo, OriginalsComeBackLinkedOrCopied) {
    for (bool copied : {false, true}) {
        SCOPED_TRACE(copied ? "copied" : "linked");
        tree.file("a.txt", before);
        ASSERT_TRUE(set_mtime(tree.file("a.txt"), old_time));
        auto run = begin();
        if (copied) os_inject({os_call_hard_link, 1, true, os_fault_unsupported});
        rewrite(*run, "a.txt");
        os_inject_clear();
        undo_end(*run);
        undo_record r;
        ASSERT_TRUE(undo_find_latest(tree.str() + "/", &r));  // the Path with a separator
        ASSERT_EQ(1u, r.entries.size());
        EXPECT_EQ(copied, r.entries[0].copied);
        EXPECT_TRUE(r.ended);
        EXPECT_EQ(undo_outcome::given_back, undo_give_back(r.entries[0]));
        EXPECT_EQ(before, tree.read("a.txt"));
        EXPECT_EQ(old_time, mtime_of(tree.file("a.txt")));
        EXPECT_TRUE(tree.temporaries().empty());
        EXPECT_EQ(std::set<std::string>{"a.txt"}, names_in(tree.path()));
        ASSERT_TRUE(undo_mark_undone(r));
        EXPECT_FALSE(undo_find_latest(tree.str(), &r));
    }
}

TEST_F(Undo, AFileChangedSinceIsLeftAsTheUserLeftIt) {
    tree.file("edited.txt", before);
    tree.file("deleted.txt", before);
    tree.file("never.txt", before);
    auto run = begin();
    rewrite(*run, "edited.txt");
    rewrite(*run, "deleted.txt");
    undo_file f;  // kept, then the run was killed before its swap
    f.path = tree.file("never.txt");
    ASSERT_TRUE(os_stat_path(f.path.c_str(), &f.before, 1));
    f.new_size = after.size();
    f.new_hash = hash_of(after);
    const uint64_t never = undo_keep(*run, f);
    undo_note_temp(*run, never, tree.file("1234.tmp"));
    tree.file("1234.tmp", after);  // its temporary file, named just before the swap
    tree.file("edited.txt", after + "x");
    fs::remove(tree.path() / "deleted.txt");
    undo_record r;
    ASSERT_TRUE(undo_find_latest(tree.str(), &r));
    ASSERT_EQ(3u, r.entries.size());
    EXPECT_FALSE(r.ended);
    EXPECT_EQ(undo_outcome::changed_since, undo_give_back(r.entries[0]));
    EXPECT_EQ(undo_outcome::changed_since, undo_give_back(r.entries[1]));
    EXPECT_EQ(undo_outcome::as_it_was, undo_give_back(r.entries[2]));
    EXPECT_EQ(after + "x", tree.read("edited.txt"));
    EXPECT_FALSE(fs::exists(tree.path() / "deleted.txt"));
    EXPECT_EQ(before, tree.read("never.txt"));
    EXPECT_FALSE(fs::exists(tree.path() / "1234.tmp"));
    // The originals of the files left alone stay in the store.
    EXPECT_EQ(before, read_file(r.entries[0].kept));
}

// A run killed while it wrote a named temporary file (before any record of the file it was
// for): the next run on the Path removes the file it made, and an empty one whose making was
// only announced; a file of that name that is another, or holds bytes, stays.
TEST_F(Undo, NamedTemporaryFilesOfAKilledRunGoOnlyWhereTheyAreItsOwn) {
    struct made_case {
        const char *name;
        const char *bytes;
        bool made;      // the run noted the file it made (else only that it was about to)
        bool replaced;  // another file stands under the name since
        bool goes;
    };
    const made_case cases[] = {
        {"1.tmp", "half written", true, false, true},
        {"2.tmp", "", false, false, true},
        {"3.tmp", "the user's own\n", false, false, false},
        {"5.tmp", "", false, false, false},  // the user's, empty, from before the run
        {"4.tmp", "the user's own\n", true, true, false},
    };
    auto run = begin();
    for (const made_case &c : cases) {
        const std::string path = tree.file(c.name, c.bytes).string();
        if (!c.goes) set_mtime(path, old_time);
        os_stat st;
        ASSERT_TRUE(os_stat_path(path.c_str(), &st, 0));
        undo_note_making(*run, path);
        if (c.made) undo_note_made(*run, path, st.id);
        if (c.replaced)  // made before the old one goes, so it cannot take its number
            fs::rename(tree.file(std::string(c.name) + ".new", c.bytes), path);
    }
    run.reset();  // killed: the journal ends without its end
    std::string why;
    ASSERT_TRUE(undo_begin(tree.str(), "a", "b", &why)) << why;
    for (const made_case &c : cases) EXPECT_EQ(!c.goes, fs::exists(tree.path() / c.name)) << c.name;
}

TEST_F(Undo, AFileOfTheUsersNamedLikeALeftoverStays) {
    tree.file("a.txt", before);
    auto run = begin();
    undo_file f;
    f.path = tree.file("a.txt");
    ASSERT_TRUE(os_stat_path(f.path.c_str(), &f.before, 1));
    f.new_size = after.size();
    f.new_hash = hash_of(after);
    f.temp_path = tree.file("77.tmp");
    undo_keep(*run, f);
    tree.file("77.tmp", "the user's own\n");
    undo_record r;
    ASSERT_TRUE(undo_find_latest(tree.str(), &r));
    std::string why;
    auto next = undo_begin(tree.str(), "a", "b", &why);  // a new run removes leftovers too
    ASSERT_TRUE(next) << why;
    EXPECT_EQ("the user's own\n", tree.read("77.tmp"));
}

TEST_F(Undo, TheStoreKeepsTheLastRuns) {
    tree.file("a.txt", before);
    // A run's folder whose removal was cut short (a killed run) is no run, and the next run
    // removes it.
    const fs::path cut_short = fs::path(undo_store_dir()) / "1.gone";
    fs::create_directories(cut_short);
    ASSERT_TRUE(write_file((cut_short / "journal").string(), "sarvelt-undo-journal 1\n"));
    std::string last_dir;
    for (size_t i = 0; i < runs_kept + 3; ++i) {
        auto run = begin();
        ASSERT_TRUE(run);
        tree.file("a.txt", before);
        rewrite(*run, "a.txt");
        undo_end(*run);
        last_dir = undo_run_dir(*run);
    }
    EXPECT_EQ(runs_kept, names_in(undo_store_dir()).size());
    EXPECT_FALSE(fs::exists(cut_short));
    undo_record r;
    ASSERT_TRUE(undo_find_latest(tree.str(), &r));
    EXPECT_EQ(last_dir, r.dir);
    // One step at a time: each undo finds the run before.
    ASSERT_TRUE(undo_mark_undone(r));
    undo_record earlier;
    ASSERT_TRUE(undo_find_latest(tree.str(), &earlier));
    EXPECT_NE(r.dir, earlier.dir);
}

TEST_F(Undo, AStoreThatCannotBeMadeRefusesTheRun) {
    write_file(store.path() / "sarvelt", "a file where the store's folder would be");
    write_file(store.path() / "Sarvelt", "a file where the store's folder would be");
    std::string why;
    EXPECT_FALSE(undo_begin(tree.str(), "a", "b", &why));
    EXPECT_NE(std::string::npos, why.find(undo_store_dir())) << why;
}

}  // namespace
