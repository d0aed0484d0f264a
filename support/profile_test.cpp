#include "support/profile.h"

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace {

class ProfileTest : public testing::Test {
protected:
    void SetUp() override { file = tmp / "test.conf"; }

    std::string get(const char* section, const char* key, const char* def = "DEF") {
        char buf[256];
        GetPrivateProfileString(section, key, def, buf, sizeof buf, file.c_str());
        return buf;
    }

    TempDir tmp;
    std::string file;
};

TEST_F(ProfileTest, QuotesAndBlanksAreStripped) {
    writeText(file,
              "[s]\n"
              "dq = \"double quoted\"  \n"
              "sq='single quoted'\n"
              "open=\"only opening\n"
              "  \t plain\t=\t a b \r\n"
              "\"quoted key\"=v\n");
    EXPECT_EQ(get("s", "dq"), "double quoted");
    EXPECT_EQ(get("s", "sq"), "single quoted");
    EXPECT_EQ(get("s", "open"), "only opening");
    EXPECT_EQ(get("s", "plain"), "a b");
    EXPECT_EQ(get("s", "quoted key"), "v");
    EXPECT_EQ(get("s", "missing"), "DEF");
    EXPECT_EQ(get("nosection", "dq"), "DEF");
    EXPECT_EQ(get("s", "missing", nullptr), "");
}

TEST_F(ProfileTest, IntegerForms) {
    writeText(file,
              "[n]\nhex=0x1F\nHEX=0X1f\noct=017\nneg=-12\nneghex=-0x10\nempty=\nzero=0\n"
              "dash=-\nquoted=\"42\"\ntail=12abc\nbadoct=08\nword=abc\n");
    auto num = [&](const char* key) { return GetPrivateProfileInt("n", key, 99, file.c_str()); };
    EXPECT_EQ(num("hex"), 31);
    EXPECT_EQ(num("oct"), 15);
    EXPECT_EQ(num("neg"), -12);
    EXPECT_EQ(num("neghex"), -16);
    EXPECT_EQ(num("empty"), 0);
    EXPECT_EQ(num("zero"), 0);
    EXPECT_EQ(num("dash"), 0);
    EXPECT_EQ(num("quoted"), 42);
    EXPECT_EQ(num("tail"), 12);
    EXPECT_EQ(num("badoct"), 0);
    EXPECT_EQ(num("word"), 0);
    EXPECT_EQ(num("absent"), 99);
    EXPECT_EQ(GetPrivateProfileInt("n", "absent", 7, file.c_str()), 7);
    EXPECT_EQ(GetPrivateProfileInt(nullptr, "hex", 5, file.c_str()), 5);
}

TEST_F(ProfileTest, SectionsAndKeysIgnoreCaseFirstMatchWins) {
    writeText(file,
              "orphan=1\n; comment=1\n# other=1\n[General]\nKey=first\nkey=second\n"
              "[general]\nkey=third\nlater=x\n[other]\n");
    EXPECT_EQ(get("GENERAL", "KEY"), "first");
    EXPECT_EQ(get("general", "later"), "DEF");  // belongs to the second [general]
    EXPECT_EQ(get("other", "orphan"), "DEF");
    EXPECT_EQ(get("General", "comment"), "DEF");
}

TEST_F(ProfileTest, KeyLists) {
    writeText(file, "[empty]\n[full]\na=1\nb=2\nc=3\n");
    std::vector<std::string> keys{"stale"};
    EXPECT_EQ(VtProfile("empty", file.c_str()).getEntries(keys), 0);
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(VtProfile("missing", file.c_str()).getEntries(keys), 0);
    EXPECT_EQ(VtProfile("FULL", file.c_str()).getEntries(keys), 3);
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b", "c"}));

    char small[5];  // room for "a\0b" and the closing NULs
    int len = GetPrivateProfileString("full", nullptr, "", small, sizeof small, file.c_str());
    EXPECT_EQ(len, 3);
    EXPECT_EQ(std::string(small, 5), std::string("a\0b\0\0", 5));
}

TEST_F(ProfileTest, ValuesAreCutToTheBuffer) {
    writeText(file, "[s]\nk=abcdef\n");
    char buf[4];
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", buf, sizeof buf, file.c_str()), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", buf, 1, file.c_str()), 0);
}

TEST_F(ProfileTest, VtProfileReadsItsSection) {
    writeText(file, "[mod]\nname=\"x y\"\ncount=0x10\n");
    VtProfile p("MOD", file.c_str());
    EXPECT_STREQ(p.getString("name", ""), "x y");
    EXPECT_STREQ(p.getString("none", "dflt"), "dflt");
    EXPECT_EQ(p.getInt("count", 0), 16);
}

TEST_F(ProfileTest, WritesAreKeptUntilFlushed) {
    writeText(file, "; head\n[a]\nx=1\n[b]\ny=2\n");
    VtProfile a("a", file.c_str());
    VtProfile b("b", file.c_str());
    VtProfile c("c", file.c_str());
    EXPECT_TRUE(a.writeString("x", "10"));
    EXPECT_TRUE(a.writeInt("z", -3));
    EXPECT_TRUE(b.delEntry("y"));
    EXPECT_TRUE(c.writeString("w", "new"));
    EXPECT_EQ(a.getInt("z", 0), -3);
    EXPECT_EQ(readText(file), "; head\n[a]\nx=1\n[b]\ny=2\n");

    EXPECT_TRUE(a.flush());
    EXPECT_EQ(readText(file), "; head\n\n[a]\nx=10\nz=-3\n\n[b]\n\n[c]\nw=new\n");

    EXPECT_TRUE(b.delSection());
    EXPECT_TRUE(WritePrivateProfileString(nullptr, nullptr, nullptr, file.c_str()));
    EXPECT_EQ(readText(file), "; head\n\n[a]\nx=10\nz=-3\n\n[c]\nw=new\n");
}

TEST_F(ProfileTest, NamingAnotherFileWritesPendingChangesBack) {
    writeText(file, "[a]\n");
    std::string other = tmp / "other.conf";
    writeText(other, "[o]\nk=v\n");
    VtProfile(nullptr, file.c_str()).writeString("k", "v");  // section "" is a section too
    VtProfile("a", file.c_str()).writeString("k", "1");
    EXPECT_EQ(VtProfile("o", other.c_str()).getString("k", ""), std::string("v"));
    EXPECT_EQ(readText(file), "[a]\nk=1\n\n[]\nk=v\n");
}

TEST_F(ProfileTest, FileChangedOnDiskIsReadAgain) {
    writeText(file, "[s]\nk=old\n");
    EXPECT_EQ(get("s", "k"), "old");
    writeText(file, "[s]\nk=new value\n");
    EXPECT_EQ(get("s", "k"), "new value");
    std::remove(file.c_str());
    EXPECT_EQ(get("s", "k"), "DEF");
}

TEST_F(ProfileTest, BatchSeesOneStateOfTheFile) {
    writeText(file, "[s]\nk=old\n");
    {
        ProfileBatch batch;
        EXPECT_EQ(get("s", "k"), "old");
        writeText(file, "[s]\nk=new value\n");
        EXPECT_EQ(get("s", "k"), "old");
    }
    EXPECT_EQ(get("s", "k"), "new value") << "the file is checked again after the batch";
    {
        ProfileBatch batch;
        writeText(file, "[s]\nk=third\n");
        EXPECT_EQ(get("s", "k"), "third") << "a batch's first look-up checks the file";
    }
}

TEST_F(ProfileTest, MissingFileGivesDefaults) {
    EXPECT_EQ(get("s", "k"), "DEF");
    EXPECT_EQ(GetPrivateProfileInt("s", "k", 4, file.c_str()), 4);
    EXPECT_EQ(get(nullptr, "k"), "DEF");
}

}  // namespace
