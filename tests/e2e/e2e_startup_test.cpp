// Start-up of vardo: the INI file with tasks at several levels, the backup
// file, and the exit status when it cannot run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "tests/e2e/test_client.h"
#include "tests/e2e/vardo_fixture.h"

namespace e2e {
namespace {

class E2eStartup : public VardoTest {
protected:
    // The daemon's own output holds no report of a sanitized build: a fault
    // on the way out would otherwise hide behind the expected exit status.
    void expectCleanExit() const {
        const std::string out = readText(home() + "/vardo.out");
        EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
        EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
    }
};

TEST_F(E2eStartup, LevelsStartInOrderAndWaitForCompletion) {
    writeScript("boot.sh", "echo \"start $$ 0\" >> ${REC}/boot");
    writeIni(general() +
             // Written before its level-1 task: the listing keeps file order.
             psTask("second", 2, "--record ${REC}/second", "must = no") +
             psTask("Waiter", 1, "--record ${REC}/waiter --init ${PORT} --init-delay 300") +
             "[tasks/boot]\ntype = bootTask\nimplement = App\nname = boot.sh\n"
             "location = ${HOME}\nlevel = 1\n\n"
             "[tasks/odd]\ntype = BootTask\nname = boot.sh\nlocation = ${HOME}\nlevel = 1\n\n"
             "[checks/probe]\nname = true\nlocation = /bin\nimplement = App\nlevel = 1\n"
             "interval = 5\n\n" +
             psTask("third", 3, "--record ${REC}/third") +
             psTask("fourth", 4, "--record ${REC}/fourth") +
             psTask("never", 6, "--record ${REC}/never", "enabled = no"));
    startVardo();

    ASSERT_TRUE(waitRecords("third", "start", 1));
    // A started program writes its record itself: "second" (no must) may
    // still be on its way when level 3 has begun.
    ASSERT_TRUE(waitRecords("second", "start", 1));
    const Record waiter = records("waiter", "start").at(0);
    const Record second = records("second", "start").at(0);
    // Level 2 waits for level 1's init message, sent 300 ms after its start.
    EXPECT_GE(second.ms - waiter.ms, 300);
    EXPECT_EQ(records("boot").size(), 1u) << "the boot task runs once, at level 1";
    // Level 3 has a must task that never reports in: level 4 must wait.
    settle();
    EXPECT_TRUE(records("fourth").empty());
    EXPECT_TRUE(records("never").empty());

    const int thirdPid = records("third", "start").at(0).pid;
    EXPECT_EQ(psListing(), " 1. second " + std::to_string(second.pid) + "\n 2. waiter " +
                               std::to_string(waiter.pid) + "\n 3. third " +
                               std::to_string(thirdPid) + "\n 4. fourth -1\n 5. never -1\n");
}

TEST_F(E2eStartup, BackupIniUsedWhenMainFileIsEmpty) {
    writeIni("");
    writeConf("vardo.ini.backup", general() + psTask("spare", 1, "--record ${REC}/spare"));
    // Temporary files of write-backs cut short by a crash go at start-up;
    // files that only look alike stay.
    const std::vector<std::string> stale = {"vardo.ini.tmp.a1B2c3", "vardo.ini.backup.tmp.Zz9yY8"};
    const std::vector<std::string> kept = {"vardo.ini.tmp.a1B2c3d", "other.ini.tmp.a1B2c3",
                                           "vardo.ini.old"};
    for (const std::string& file : stale) writeConf(file, "[general]\n");
    for (const std::string& file : kept) writeConf(file, "[general]\n");
    startVardo();
    ASSERT_TRUE(waitRecords("spare", "start", 1));
    EXPECT_EQ(psPid("spare"), records("spare").at(0).pid);
    for (const std::string& file : stale)
        EXPECT_NE(access((home() + "/conf/" + file).c_str(), F_OK), 0) << file;
    for (const std::string& file : kept)
        EXPECT_EQ(access((home() + "/conf/" + file).c_str(), F_OK), 0) << file;

    // Changes are written back to the file that was loaded.
    TestClient client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.setTask(0, 0, "spare"));
    EXPECT_TRUE(
        waitFor([&] { return confBool("vardo.ini.backup", "tasks/spare:enabled") == 0; }, 3000))
        << readConf("vardo.ini.backup");
    EXPECT_EQ(readConf(), "");
}

TEST_F(E2eStartup, BackupIniUsedWhenMainFileFails) {
    // An enabled must task without a level makes the whole file fail, after
    // a flag and a program that the backup has as well.
    writeIni("[general]\nkeeper port = 7399\n\n[flags/old]\nname = Old\n\n" +
             psTask("spare", 1, "--record ${REC}/spare") +
             psTask("broken", 0, "--record ${REC}/broken"));
    writeConf("vardo.ini.backup", general() + psTask("spare", 1, "--record ${REC}/spare"));
    startVardo();
    ASSERT_TRUE(waitRecords("spare", "start", 1));
    EXPECT_FALSE(portAccepts(7399)) << "the port of the failed file";
    EXPECT_TRUE(records("broken").empty());
    // Nothing the refused file built is left: one process, no flag.
    settle();
    ASSERT_EQ(records("spare", "start").size(), 1u);
    EXPECT_EQ(psListing(), " 1. spare " + std::to_string(records("spare").at(0).pid) + "\n");
    TestClient client;
    Message flags;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.printFlags(flags));
    EXPECT_TRUE(flags.payload.empty()) << listingText(flags);
}

TEST_F(E2eStartup, DefaultHomeWithoutVeltoHome) {
    // Configured from /usr/local/DYX/conf/, where the daemon looks by default.
    std::ofstream(std::string("/usr/local/DYX/conf/vardo.ini"))
        << fill(general() + psTask("dflt", 1, "--record ${REC}/dflt"));
    spawnVardo(false);
    ASSERT_TRUE(waitRecords("dflt", "start", 1));
    EXPECT_EQ(psPid("dflt"), records("dflt").at(0).pid);
}

TEST_F(E2eStartup, ExitsWithOneWhenNeitherIniIsUsable) {
    writeConf("vardo.ini.backup", "");
    spawnVardo();
    const int status = waitVardoExit(5000);
    ASSERT_NE(status, -1) << "vardo still running";
    EXPECT_TRUE(exitedWith(status, 1)) << "wait status " << status;
    expectCleanExit();
}

TEST_F(E2eStartup, ExitsWithOneWhenPortIsTaken) {
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port()));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    writeIni(general() + psTask("idle", 1, "--record ${REC}/idle"));
    spawnVardo();
    const int status = waitVardoExit(5000);
    close(holder);
    ASSERT_NE(status, -1) << "vardo still running";
    EXPECT_TRUE(exitedWith(status, 1)) << "wait status " << status;
    EXPECT_NE(traceLog().find("Keeper can't listen on port " + std::to_string(port())),
              std::string::npos);
    EXPECT_TRUE(records("idle").empty()) << "no task starts when the daemon cannot listen";
    expectCleanExit();
}

}  // namespace
}  // namespace e2e
