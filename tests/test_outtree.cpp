// The output-tree writer on its own: the policies a front end chooses
// (numbered duplicates, keeping existing files, a temporary name until the
// file is committed) and the refusals below its root.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <string>

#include "restore/outtree.h"
#include "tests/support/harness.h"

namespace {

struct Tree {
    TempDir t;
    int root;
    OutTree tree;
    explicit Tree(const OutPolicy& policy) {
        root = plat_open_root(t.path.c_str());
        out_tree_init(&tree, root, &policy);
    }
    ~Tree() {
        out_tree_free(&tree);
        plat_close_root(root);
        plat_close_all();
    }
    // Creates path, writes text and commits; the path written, or "" when
    // the create did not succeed (*result says why).
    std::string put(const char* path, const std::string& text, OutCreate* result = nullptr) {
        OutFile f;
        OutCreate r = out_create(&tree, path, &f);
        if (result) *result = r;
        if (r != OUT_CREATED) return "";
        EXPECT_EQ(plat_write(f.fd, text.data(), (int32_t)text.size()), (int32_t)text.size());
        EXPECT_EQ(out_commit(&tree, &f), 0);
        return f.path;
    }
};

TEST(OutTree, NumberedDuplicatesKeepTheExtension) {
    OutPolicy p = {};
    p.number_duplicates = true;
    Tree w(p);
    EXPECT_EQ(w.put("a.txt", "one"), "a.txt");
    EXPECT_EQ(w.put("a.txt", "two"), "a~2.txt");
    EXPECT_EQ(w.put("a.txt", "three"), "a~3.txt");
    EXPECT_EQ(w.put(".profile", "x"), ".profile");
    EXPECT_EQ(w.put(".profile", "y"), ".profile~2");
    EXPECT_EQ(w.t.read("a.txt"), "one");
    EXPECT_EQ(w.t.read("a~3.txt"), "three");
}

TEST(OutTree, WithoutNumberingASecondFileOfTheRunIsRefused) {
    Tree w(OutPolicy{});
    w.t.write("old.txt", "before the run");
    EXPECT_EQ(w.put("old.txt", "restored"), "old.txt");  // existed before: overwritten
    OutCreate r;
    EXPECT_EQ(w.put("old.txt", "again", &r), "");
    EXPECT_EQ(r, OUT_DUPLICATE);
    EXPECT_EQ(w.t.read("old.txt"), "restored");
}

TEST(OutTree, KeptFilesAndTemporaryNames) {
    OutPolicy p = {};
    p.keep_existing = true;
    p.via_temp = true;
    Tree w(p);
    w.t.write("there.txt", "mine");
    OutCreate r;
    EXPECT_EQ(w.put("there.txt", "theirs", &r), "");
    EXPECT_EQ(r, OUT_EXISTS);
    EXPECT_EQ(w.t.read("there.txt"), "mine");

    // Until it is committed the file stands only under its temporary name;
    // a discarded one leaves nothing.
    OutFile f;
    ASSERT_EQ(out_create(&w.tree, "new.txt", &f), OUT_CREATED);
    EXPECT_FALSE(w.t.exists("new.txt"));
    EXPECT_TRUE(out_is_temp_name(f.temp));
    EXPECT_TRUE(w.t.exists(f.temp));
    std::string temp = f.temp;
    out_discard(&w.tree, &f);
    EXPECT_FALSE(w.t.exists(temp));
    EXPECT_FALSE(w.t.exists("new.txt"));
    EXPECT_EQ(w.put("new.txt", "done"), "new.txt");
    EXPECT_FALSE(w.t.exists(temp));
}

#ifndef _WIN32
TEST(OutTree, NothingIsMadeThroughALink) {
    Tree w(OutPolicy{});
    TempDir outside;
    ASSERT_EQ(symlink(outside.path.c_str(), w.t.file("d").c_str()), 0);
    EXPECT_EQ(out_make_dir(&w.tree, "d"), OUT_DIR_BLOCKED);
    EXPECT_EQ(out_make_dir(&w.tree, "d\\sub"), OUT_DIR_BLOCKED);
    EXPECT_FALSE(out_make_parents(&w.tree, "d\\sub\\x.txt"));
    OutCreate r;
    EXPECT_EQ(w.put("d\\x.txt", "x", &r), "");
    EXPECT_EQ(r, OUT_FAILED);
    EXPECT_TRUE(tree_of(outside.path).empty());
    EXPECT_EQ(out_make_dir(&w.tree, "real"), OUT_DIR_MADE);
    EXPECT_EQ(out_make_dir(&w.tree, "real\\"), OUT_DIR_EXISTED);
}
#endif

}  // namespace
