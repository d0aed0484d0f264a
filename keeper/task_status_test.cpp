#include "keeper/task_status.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <string>

namespace {

// A wait status as waitpid reports it.
int exitedWith(int code) { return code << 8; }
int killedBy(int sig) { return sig; }

TEST(TaskCounters, RestartsCountOnlyStartsAfterExitsNobodyAskedFor) {
    TaskCounters c;
    c.started(100);
    c.exit_status(killedBy(SIGKILL));
    c.ended(110, true);
    EXPECT_EQ(c.exit_signal, 9);
    EXPECT_EQ(c.exit_code, -1);
    c.started(111);
    c.exit_status(exitedWith(7));
    c.ended(120, false);  // a stop or restart the operator asked for
    EXPECT_EQ(c.exit_code, 7);
    EXPECT_EQ(c.exit_signal, 0);
    c.started(121);
    // A lost connection: an exit without status.
    c.ended(130, true);
    EXPECT_EQ(c.exit_code, -1);
    EXPECT_EQ(c.exit_signal, 0);
    c.started(131);
    EXPECT_EQ(c.starts, 4u);
    EXPECT_EQ(c.restarts, 2u);
    EXPECT_EQ(c.last_start, 131);
    EXPECT_EQ(c.exit_time, 130);
}

TEST(TaskStatus, DurationsShowTheTwoLargestUnits) {
    EXPECT_EQ(status_duration(0), "0s");
    EXPECT_EQ(status_duration(7), "7s");
    EXPECT_EQ(status_duration(12 * 60 + 5), "12m05s");
    EXPECT_EQ(status_duration(2 * 3600 + 60 * 5 + 9), "2h05m");
    EXPECT_EQ(status_duration(3 * 86400 + 4 * 3600 + 59), "3d04h");
}

StatusSnapshot sample() {
    StatusSnapshot snap;
    snap.pid = 42;
    snap.now = 2000;
    snap.daemon.start_time = 1000;
    snap.daemon.reached(3);
    snap.daemon.clients = 2;
    snap.daemon.events = 9;
    TaskCounters crashed;
    crashed.started(1500);
    crashed.exit_status(killedBy(SIGKILL));
    crashed.ended(1600, true);
    crashed.started(1700);
    crashed.keepalive_missed = 4;
    snap.tasks.push_back({"we\"ird\\name", "running", 77, crashed, true});
    snap.tasks.push_back({"idle", "stopped", 0, TaskCounters(), false});
    CheckCounters runs;
    runs.finished(true);
    runs.last_run = 1990;
    runs.last_duration_ms = 12;
    snap.checks.push_back({"disk", true, runs});
    return snap;
}

TEST(TaskStatus, JsonNamesEveryFieldEscapesNamesAndNullsWhatIsAbsent) {
    const std::string json = status_json(sample());
    EXPECT_NE(json.find("{\"daemon\": {\"pid\": 42, \"start_time\": 1000, \"level\": 3, "
                        "\"clients\": 2, \"events\": 9}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"we\\\"ird\\\\name\", \"state\": \"running\", \"pid\": 77, "
                        "\"starts\": 2, \"restarts\": 1, \"last_start\": 1700, "
                        "\"last_exit_code\": null, \"last_exit_signal\": 9, "
                        "\"last_exit_time\": 1600, \"keepalive_missed\": 4, \"connected\": true}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"idle\", \"state\": \"stopped\", \"pid\": 0, \"starts\": 0, "
                        "\"restarts\": 0, \"last_start\": null, \"last_exit_code\": null, "
                        "\"last_exit_signal\": null, \"last_exit_time\": null, "
                        "\"keepalive_missed\": 0, \"connected\": false}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"disk\", \"failing\": true, \"runs\": 1, \"failures\": 1, "
                        "\"skipped\": 0, \"last_run\": 1990, \"last_duration_ms\": 12}"),
              std::string::npos)
        << json;
    // Control characters, too, leave a name only escaped.
    StatusSnapshot snap;
    snap.tasks.push_back({"a\nb\x01", "stopped", 0, TaskCounters(), false});
    EXPECT_NE(status_json(snap).find("\"a\\u000ab\\u0001\""), std::string::npos);
    EXPECT_NE(status_json(snap).find("\"checks\": []"), std::string::npos);
}

TEST(TaskStatus, TableHasOneHeaderAndOneAlignedLinePerTaskAndCheck) {
    const std::string table = status_table(sample());
    EXPECT_EQ(table,
              "KIND   NAME         STATE    PID  UPTIME  RUNS  FAILED  MISSED  LAST\n"
              "task   we\"ird\\name  running  77   5m00s   2     1       4       signal 9\n"
              "task   idle         stopped  -    -       0     0       0       -\n"
              "check  disk         failing  -    -       1     1       0       12ms");
}

TEST(TaskStatus, MetricsEscapeLabelsAndTellRepeatedNamesApart) {
    StatusSnapshot snap = sample();
    snap.tasks.push_back({"idle", "running", 5, TaskCounters(), false});
    const std::string text = status_metrics(snap);
    EXPECT_NE(text.find("# HELP vardo_start_time_seconds "), std::string::npos);
    EXPECT_NE(text.find("# TYPE vardo_start_time_seconds gauge\nvardo_start_time_seconds 1000\n"),
              std::string::npos);
    EXPECT_NE(text.find("vardo_boot_level 3\n"), std::string::npos);
    EXPECT_NE(text.find("# TYPE vardo_events_published_total counter\n"
                        "vardo_events_published_total 9\n"),
              std::string::npos);
    EXPECT_NE(text.find("vardo_task_restarts_total{task=\"we\\\"ird\\\\name\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("vardo_task_up{task=\"idle\",index=\"2\"} 0\n"
                        "vardo_task_up{task=\"idle\",index=\"3\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("vardo_task_last_exit_code{task=\"idle\",index=\"2\"} -1\n"),
              std::string::npos);
    EXPECT_NE(text.find("vardo_task_last_exit_signal{task=\"we\\\"ird\\\\name\"} 9\n"),
              std::string::npos);
    EXPECT_NE(text.find("vardo_check_failing{check=\"disk\"} 1\n"), std::string::npos);
    // Every family's samples follow its HELP and TYPE lines at once.
    EXPECT_NE(text.find("# TYPE vardo_check_runs_total counter\nvardo_check_runs_total{check="),
              std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

}  // namespace
