#include "file/file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/error.h"
#include "file_text.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

void WriteAll(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

bool ReportHas(const std::string &text) {
    return std::string(StrError(0)).find(text) != std::string::npos;
}

}  // namespace

TEST(FileChecks, TypesAndMissingPaths) {
    ScratchDir dir;
    WriteAll(dir / "f", "x");
    EXPECT_EQ(Is_File((dir / "f").c_str()), 1);
    EXPECT_EQ(Is_Directory((dir / "f").c_str()), 0);
    EXPECT_EQ(Is_Directory(dir.path().c_str()), 1);
    EXPECT_EQ(Is_FileExist(dir.path().c_str()), 1);
    EXPECT_EQ(Is_File((dir / "missing").c_str()), 0);
    EXPECT_TRUE(ReportHas("Get stat fail"));
    EXPECT_EQ(Is_FileExist((dir / "missing").c_str()), 0);
    EXPECT_EQ(Get_ErrorCount(), 0u);
    struct stat st {};
    EXPECT_EQ(__Get_Stat(nullptr, &st), -1);
    EXPECT_TRUE(ReportHas("Path is NULL"));
}

TEST(Directories, CreatesEveryLevelAndRefusesFilesInTheWay) {
    ScratchDir dir;
    std::string deep = dir / "x/y/z";
    EXPECT_EQ(Make_Directory(deep.c_str(), 0755), 0);
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_EQ(Make_Directory(deep.c_str(), 0755), 0);  // existing: still success
    WriteAll(dir / "plain", "x");
    EXPECT_EQ(Make_Directory((dir / "plain").c_str(), 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(ReportHas("Already file["));
    EXPECT_EQ(Make_Directory((dir / "plain/sub").c_str(), 0755), -1);
    Clr_Error();

    EXPECT_EQ(Del_Directory((dir / "x").c_str(), 0), -1);  // not empty
    EXPECT_TRUE(ReportHas("Failed delete directory["));
    EXPECT_EQ(Del_Directory((dir / "x").c_str(), 1), 0);  // forced: the whole tree
    EXPECT_FALSE(fs::exists(dir / "x"));
    EXPECT_EQ(Del_Directory((dir / "plain").c_str(), 0), -1);
    EXPECT_TRUE(ReportHas("Unknow file system["));
}

TEST(OpenFile, CreatesParentsAndReportsBlockedPaths) {
    ScratchDir dir;
    FILE *pFile = Open_File((dir / "p/q/file.txt").c_str(), "w");
    ASSERT_NE(pFile, nullptr);
    fputs("hello", pFile);
    EXPECT_EQ(Close_File(pFile), 0);
    EXPECT_EQ(ReadAll(dir / "p/q/file.txt"), "hello");

    WriteAll(dir / "blocker", "x");
    EXPECT_EQ(Open_File((dir / "blocker/file.txt").c_str(), "w"), nullptr);
    EXPECT_TRUE(ReportHas("Failed create directory["));
    EXPECT_EQ(Open_File(nullptr, "w"), nullptr);
    EXPECT_TRUE(ReportHas("pcPath is NULL"));
    EXPECT_EQ(Close_File(nullptr), -1);
    EXPECT_TRUE(ReportHas("pFile is NULL"));
}

TEST(CopyMoveDelete, CopyAppendsAndFailuresKeepTheDestination) {
    ScratchDir dir;
    std::string big(1000, 'b');
    WriteAll(dir / "src", big);
    WriteAll(dir / "dst", "head-");
    EXPECT_EQ(Copy_File((dir / "src").c_str(), (dir / "dst").c_str()), 0);
    EXPECT_EQ(ReadAll(dir / "dst"), "head-" + big);
    EXPECT_EQ(Copy_File((dir / "nothing").c_str(), (dir / "dst").c_str()), -1);
    EXPECT_TRUE(ReportHas("pcSrcPath isn't file"));
    EXPECT_EQ(Get_FileSize((dir / "dst").c_str()), 1005);

    EXPECT_EQ(Move_File((dir / "dst").c_str(), (dir / "moved").c_str()), 0);
    EXPECT_EQ(Move_File((dir / "dst").c_str(), (dir / "moved").c_str()), -1);
    EXPECT_TRUE(ReportHas("Failed file rename ["));
    EXPECT_EQ(Link_Symbolic((dir / "moved").c_str(), (dir / "hard").c_str()), 0);
    EXPECT_EQ(fs::hard_link_count(dir / "moved"), 2u);
    EXPECT_EQ(Unlink_Symbolic((dir / "hard").c_str()), 0);
    EXPECT_EQ(Del_File((dir / "moved").c_str()), 0);
    EXPECT_EQ(Del_File(dir.path().c_str()), -1);
    EXPECT_TRUE(ReportHas("Unknow file system["));
}

TEST(FileQueries, SizesOwnersTimesAndLists) {
    ScratchDir dir;
    EXPECT_EQ(Get_FileSize((dir / "missing").c_str()), -1);
    EXPECT_TRUE(ReportHas("Get stat fail"));
    EXPECT_EQ(Get_UId((dir / "missing").c_str()), -1);
    EXPECT_EQ(Get_ErrorCount(), 0u);  // the owner query records nothing
    WriteAll(dir / "b.txt", "12345");
    WriteAll(dir / "a.txt", "1");
    fs::create_directory(dir / "sub");
    EXPECT_EQ(Get_FileSize((dir / "b.txt").c_str()), 5);
    EXPECT_EQ(Get_UId((dir / "b.txt").c_str()), static_cast<int>(getuid()));
    EXPECT_EQ(Get_GId((dir / "b.txt").c_str()), static_cast<int>(getgid()));
    time_t now = time(nullptr);
    EXPECT_LE(std::abs(Get_ModifyTime((dir / "b.txt").c_str()) - now), 5);
    EXPECT_EQ(Get_AccessTime((dir / "missing").c_str()), -1);

    EXPECT_EQ(Get_FileList(dir.path().c_str(), 10), 2);
    EXPECT_EQ(Get_FileList(dir.path().c_str(), 1), 1);
    EXPECT_EQ(Get_DirList(dir.path().c_str(), 10), 1);
    char **ppszList = nullptr;
    ASSERT_EQ(Get_FileList(dir.path().c_str(), 10, &ppszList), 2);
    EXPECT_STREQ(ppszList[0], "a.txt");
    EXPECT_STREQ(ppszList[1], "b.txt");
    Free_List(ppszList, 2);
    EXPECT_EQ(Get_DirList((dir / "missing").c_str(), 10), -1);
    Clr_Error();
}
