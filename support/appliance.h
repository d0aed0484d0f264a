/*
 * Fixed paths of the appliance and the command lines of its scripts and host
 * tools: the one place they are spelled out. Command lines (CMD_*) run
 * through the shell; those ending in "&" run in the background. Argument
 * vectors (ARGV_*) run without a shell, their output discarded unless the
 * caller reads it, and the daemon never waits for them (see
 * keeper/program_runner.h).
 *
 * Plain C so that the database extensions can include it as well. The
 * constants are static: a header-only table needs no library to link, and
 * GCC does not warn about unused static constants that come from a header.
 */
#ifndef SUPPORT_APPLIANCE_H
#define SUPPORT_APPLIANCE_H

/* Home folder of the installation and the variable that moves it. */
static const char APP_HOME_ENV[] = "VELTO_HOME";
static const char APP_DEFAULT_HOME[] = "/usr/local/DYX";
static const char APP_CONF_SUBDIR[] = "conf";
static const char APP_LOG_SUBDIR[] = "log";
/* A task's captured output: <home>/log/<task> and this suffix. */
static const char APP_OUTPUT_LOG_SUFFIX[] = ".out";
/* Its size limit when the INI file sets none. */
static const char APP_OUTPUT_LOG_SIZE[] = "1M";
static const char APP_DEFAULT_CONF_DIR[] = "/usr/local/DYX/conf";
static const char APP_DEFAULT_LOGS_DIR[] = "/usr/local/DYX/logs";
static const char APP_INI_SUFFIX[] = ".ini";
static const char APP_DEFAULT_INI_BASE[] = "vardo";
static const char APP_TRACE_PROFILE[] = "qoevdbg.conf";

/* Files of the daemon outside the home folder's configuration. */
static const char APP_BT_DIR[] = "/usr/local/DYXlog/bt/";
/* A crash's back-trace file in APP_BT_DIR: this name, "_" and the minute. */
static const char APP_BT_FILE_NAME[] = "bt_vardo";
static const char KP_SW_BAD_BOOT_FILE[] = "/usr/local/DYX/conf/vardoBadBOoot.boot";
static const char APP_FUPS_LIST[] = "/opt/velto/conf/fups_list.txt";
static const char APP_VARDOCTL_LOG[] = "/opt/velto/log/vardoctl.log";
static const char APP_HWU_LOG_FALLBACK_BASE[] = "/usr/local/DYX/logs/hwu.";

/* System configuration and the files written for the rc scripts. */
static const char APP_RC_CONF[] = "/etc/rc.d/rc.conf";
static const char APP_RC_DIR[] = "/etc/rc.d/";
static const char APP_ADMIN_PROFILE[] = "/opt/admin/.bash_profile";
static const char APP_PROFILE_OLD_SUFFIX[] = ".old";
/* The software version line is read from this file of the configuration folder. */
static const char APP_ACTYPE_FILE[] = "actype";
static const char APP_HOSTNAME_FILE[] = "/etc/HOSTNAME";
static const char APP_HOSTS_FILE[] = "/etc/hosts";
static const char APP_RESOLV_CONF[] = "/etc/resolv.conf";
static const char APP_NTP_CONF[] = "/etc/ntp.conf";
static const char APP_HOSTS_ALLOW[] = "/etc/hosts.allow";
static const char APP_HOSTS_DENY[] = "/etc/hosts.deny";
static const char APP_HOSTS_DENY_ALL[] = "/etc/hosts.deny.velto_all";
static const char APP_HOSTS_DENY_EMPTY[] = "/etc/hosts.deny.velto_empty";
static const char APP_ZONEINFO_DIR[] = "/usr/share/zoneinfo/";
static const char APP_LOCALTIME_LINK[] = "/etc/localtime";
static const char APP_WEBSTART_FILE[] = "/usr/local/DYX/etc/httpd/htdocs/kelda.jnlp";

/* Appliance scripts. */
/* Re-applies the network from the system configuration file. */
static const char* const ARGV_INET1_RESTART[] = {"/etc/rc.d/rc.inet1", "restart", 0};
/* Collects the logs into a snapshot; its output is discarded. */
static const char APP_SNAPSHOT_SCRIPT[] = "/opt/velto/bin/create_snapshot_logs.sh";

/* Scripts the configuration plug-in runs when it changed their files. */
static const char* const ARGV_NTP_RESTART[] = {"/etc/rc.d/rc.ntp", "restart", 0};
/* Started by the daemon's time-server check when no time daemon runs. */
static const char* const ARGV_NTP_START[] = {"/etc/rc.d/rc.ntp", "start", 0};
static const char* const ARGV_SECURITY[] = {"/etc/rc.d/rc.security", 0};
static const char* const ARGV_INETD_START[] = {"/etc/rc.d/rc.inetd", "start", 0};
static const char* const ARGV_INETD_STOP[] = {"/etc/rc.d/rc.inetd", "stop", 0};
static const char* const ARGV_SSHD_START[] = {"/etc/rc.d/rc.sshd", "start", 0};
static const char* const ARGV_SSHD_STOP[] = {"/etc/rc.d/rc.sshd", "stop", 0};

/* Host tools; "%s" marks where the caller's argument goes. */
static const char APP_SHUTDOWN[] = "/sbin/shutdown";
static const char CMD_SHUTDOWN_FMT[] = "/sbin/shutdown %s now";
/* Route commands: a "%s" word is filled in by the caller, in order (the
 * verb "add" or "del", then addresses in dotted form and the device name). */
static const char* const ARGV_ROUTE_NET[] = {"/sbin/route", "%s", "-net", "%s", "netmask",
                                             "%s",          "gw", "%s",   "%s", 0};
static const char* const ARGV_ROUTE_HOST[] = {"/sbin/route", "%s", "-host", "%s",
                                              "gw",          "%s", "%s",    0};
static const char* const ARGV_ROUTE_DEL_DEFAULT[] = {"/sbin/route", "del", "-net", "0.0.0.0",
                                                     "gw",          "%s",  0};
/* Sets the host name given as its one argument; looked up in PATH. */
static const char APP_HOSTNAME_PROG[] = "hostname";
/* Disk usage of every mounted file system; looked up in PATH. */
static const char* const ARGV_DF[] = {"df", "-P", 0};
static const char APP_NTPD[] = "/usr/sbin/ntpd";

/* Deadlines, in seconds, of the programs the daemon runs for itself: at its
 * deadline a run's process group gets SIGTERM, and SIGKILL 2 s later. */
static const long APP_RUN_DEADLINE_SCRIPT = 60;  /* scripts, actions, boot tasks, stop procedures */
static const long APP_RUN_DEADLINE_HOST_CMD = 2; /* route and hostname: below the client's 3 s */
static const long APP_RUN_DEADLINE_DF = 3;
/* Delays, in seconds, of the shutdown sequence: a configuration change that
 * needs a reboot waits APP_REBOOT_DELAY before the orderly stop begins; an
 * orderly stop (SIGTERM, the "Boot" action, a delayed shutdown command) leaves
 * the programs APP_STOP_GRACE before SIGKILL ends what is left. */
static const unsigned APP_REBOOT_DELAY = 30;
static const unsigned APP_STOP_GRACE = 5;
/* Queue shared by the route commands and the network restart, which applies
 * the routes again: they never run side by side. */
static const char APP_ROUTE_QUEUE[] = "route";

/* What clients may leave in the daemon's memory: the callbacks one
 * supervised program registers, and the flags, those of the INI file and
 * those clients create. A request beyond either is refused. */
static const unsigned APP_MAX_TASK_CALLBACKS = 128;
static const unsigned APP_MAX_FLAGS = 128;

/* Host state read by the resource sampling and the uptime clock. */
static const char APP_PROC_UPTIME[] = "/proc/uptime";
static const char APP_PROC_STAT[] = "/proc/stat";
static const char APP_PROC_MEMINFO[] = "/proc/meminfo";
static const char APP_PROC_NET_DEV[] = "/proc/net/dev";

/*
 * Rule generators: "%s" is the pattern text, then the generator's name in
 * the commands folder. The generator writes the rule to its standard output.
 * The pattern text lands on the shell command line, so the caller must pass
 * only text that the shell takes literally.
 */
static const char APP_RUBY[] = "/usr/bin/ruby";
static const char APP_TOLVAR_COMMANDS_DIR[] = "/opt/velto/bin/tolvar/commands/";
static const char CMD_TOLVAR_GENERATOR_FMT[] =
    "echo %s  | /usr/bin/ruby /opt/velto/bin/tolvar/commands/%s";

#endif /* SUPPORT_APPLIANCE_H */
