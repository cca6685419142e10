// Where storage lives: the filesystem classes, statfs facts, and the
// remote-parent search over real loop-mounted images (squashfs, and an ext2
// image whose backing file lies on squashfs) with mount tables bound over
// /etc/mtab, including NFS entries and a bind-mount cycle.
#include "filesystem_info.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kvhelper.h"
#include "mount_fixture.hpp"
#include "process.hpp"

namespace {

using kv::helper::FsClass;

TEST(FilesystemInfo, MagicNumbersAndTheirClasses) {
    struct Case {
        std::uint32_t magic;
        FsClass cls;
    } cases[] = {
        {0x517B, FsClass::network},     {0x6969, FsClass::network},     {0xBACBACBC, FsClass::network},
        {0xFE534D42, FsClass::network}, {0xFF534D42, FsClass::network}, {0x7275, FsClass::image},
        {0x9660, FsClass::image},       {0x28CD3D45, FsClass::image},   {0x73717368, FsClass::image},
        {0xEF53, FsClass::local},       {0x01021994, FsClass::local},   {0x6969 + 1, FsClass::local},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kv::helper::filesystem_class(c.magic), c.cls) << std::hex << c.magic;
}

TEST(FilesystemInfo, StatfsFactsWithOptionalOutputs) {
    kv::test::TempDir dir("kvfs");
    int type = 0, longest = 0;
    uint64_t total = 0, available = 0;
    ASSERT_EQ(KvGetFileSystemInfo(dir.path().c_str(), &type, &total, &available, &longest), 1);
    EXPECT_EQ(static_cast<std::uint32_t>(type), 0x01021994u);   // /tmp is a tmpfs in the test namespace
    EXPECT_GT(total, 0u);
    EXPECT_LE(available, total);
    EXPECT_EQ(longest, 255);
    EXPECT_EQ(GetFileSystemInfo(dir.path().c_str(), nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(GetFileSystemInfo(dir.file("absent").c_str(), &type, &total, &available, &longest), 0);
    EXPECT_EQ(GetFileSystemInfo(nullptr, &type, nullptr, nullptr, nullptr), 0);
}

bool kernel_has(const std::string& fs) {
    std::ifstream in("/proc/filesystems");
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() >= fs.size() && line.compare(line.size() - fs.size(), fs.size(), fs) == 0)
            return true;
    }
    return false;
}

bool run(const std::vector<std::string>& argv) {
    const kv::test::RunResult r = kv::test::run_program(argv);
    EXPECT_EQ(r.exit_code, 0) << argv[0] << ": " << r.err;
    return r.exit_code == 0;
}

// Real images mounted through loop devices in the test's namespace:
//   root/img     squashfs image (read-only image class) holding inner.ext2
//   root/inner   ext2 image root/img/inner.ext2 (local itself; its loop
//                device's backing file lies on the squashfs)
//   root/plain   a directory on the test's tmpfs
class RemoteParent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kv::test::in_test_namespace());
        if (!kernel_has("squashfs") || !kernel_has("ext2"))
            GTEST_SKIP() << "kernel without squashfs or ext2";
        const std::string src = dir_.file("src"), inner_src = dir_.file("inner-src");
        for (const std::string& d : {src, inner_src, root("img"), root("inner"), root("plain/sub"), root("c"), root("d"), root("n")})
            std::filesystem::create_directories(d);
        ASSERT_TRUE(kv::test::write_text_file(inner_src + "/file", "inner"));
        ASSERT_TRUE(run({"/usr/sbin/mkfs.ext2", "-q", "-F", "-d", inner_src, src + "/inner.ext2", "1024"}));
        ASSERT_TRUE(kv::test::write_text_file(src + "/file", "image"));
        ASSERT_TRUE(run({"/usr/bin/mksquashfs", src, dir_.file("image.sqsh"), "-quiet", "-noappend", "-no-progress"}));
        ASSERT_TRUE(run({"/bin/mount", "-o", "loop,ro", dir_.file("image.sqsh"), root("img")}));
        img_mounted_ = true;
        ASSERT_TRUE(run({"/bin/mount", "-o", "loop,ro", root("img") + "/inner.ext2", root("inner")}));
        inner_mounted_ = true;
    }
    void TearDown() override {
        mtab_.reset();
        if (inner_mounted_)
            (void)umount2(root("inner").c_str(), 0);
        if (img_mounted_)
            (void)umount2(root("img").c_str(), 0);
    }
    std::string root(const std::string& name) const { return dir_.file("root/" + name); }
    // Binds a mount table with `text` over /etc/mtab.
    void mount_table(const std::string& text) {
        mtab_.reset();
        const std::string file = dir_.file("mtab");
        ASSERT_TRUE(kv::test::write_text_file(file, text));
        mtab_ = std::make_unique<kv::test::BindMount>(file, "/etc/mtab");
        ASSERT_TRUE(mtab_->ok());
    }
    // The kernel's own lines for our mounts.
    std::string real_mounts() const {
        std::ifstream in("/proc/self/mounts");
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    kv::test::TempDir dir_{"kvremote"};
    std::unique_ptr<kv::test::BindMount> mtab_;
    bool img_mounted_ = false, inner_mounted_ = false;
};

TEST_F(RemoteParent, ImagesAndWhatLiesOnThemAreNotLocal) {
    mount_table(real_mounts());
    EXPECT_EQ(KvIsParentPathLocal((root("img") + "/file").c_str()), 0);     // squashfs itself
    EXPECT_EQ(IsParentPathLocal((root("inner") + "/file").c_str()), 0);    // loop device backed by a file on it
    EXPECT_EQ(IsParentPathLocal((root("inner") + "/").c_str()), 0);
    EXPECT_EQ(IsParentPathLocal(root("plain/sub").c_str()), 1);
    EXPECT_EQ(IsParentPathLocal(root("does/not/exist").c_str()), 1);
    EXPECT_EQ(IsParentPathLocal(nullptr), 1);
}

TEST_F(RemoteParent, MountTableEntries) {
    const std::string plain = root("plain"), image_dir = root("img");
    struct Case {
        const char* name;
        std::string table;
        std::string path;
        int local;
    } cases[] = {
        // A source that cannot be examined (a server export) ends the search.
        {"nfs export", "fileserver:/export " + root("plain") + " nfs rw,vers=4.2 0 0\n", root("plain/sub"), 1},
        // A bind mount whose source lies on the image.
        {"bind from the image", image_dir + " " + root("plain") + " none rw,bind 0 0\n", root("plain/sub"), 0},
        // The newest entry for a directory is the one in effect.
        {"newest entry wins (local)",
         image_dir + " " + plain + " none rw,bind 0 0\n" + dir_.path() + " " + plain + " none rw,bind 0 0\n",
         root("plain/sub"), 1},
        {"newest entry wins (image)",
         dir_.path() + " " + plain + " none rw,bind 0 0\n" + image_dir + " " + plain + " none rw,bind 0 0\n",
         root("plain/sub"), 0},
        // A source below the mount itself is not searched again.
        {"source below the mount", root("plain/sub") + " " + plain + " none rw,bind 0 0\n", root("plain/sub"), 1},
        // Each source is the other's mount point: the search gives up.
        {"bind-mount cycle",
         root("c") + " " + root("d") + " none rw,bind 0 0\n" + root("d") + " " + root("c") + " none rw,bind 0 0\n",
         root("d"), 1},
        {"relative source", "relative/dir " + plain + " none rw,bind 0 0\n", root("plain/sub"), 1},
        {"empty table", "", root("plain/sub"), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mount_table(c.table);
        EXPECT_EQ(IsParentPathLocal(c.path.c_str()), c.local);
    }
}

}  // namespace
