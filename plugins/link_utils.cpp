#include "plugins/link_utils.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/appliance.h"
#include "support/logger.h"
#include "support/proc_utils.h"

namespace {

Logger& hwuLog() {
    static Logger log;
    return log;
}

const char kLogSize[] = "500K";
const char kLogModule[] = "Sys";

void logLine(int severity, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void logLine(int severity, const char* fmt, ...) {
    Logger& log = hwuLog();
    static bool fallbackTried = false;
    if (!log.opened() && !fallbackTried) {
        fallbackTried = true;
        std::string fallback = std::string(APP_HWU_LOG_FALLBACK_BASE) + Com_getPidName() + ".log";
        log.init(fallback.c_str(), kLogSize, Logger::Append);
    }
    char text[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    log.log(text, severity, kLogModule);
}

// A datagram socket to address interface requests to, closed with its scope.
class IfSocket {
public:
    IfSocket() : fd(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~IfSocket() {
        if (fd >= 0) close(fd);
    }
    IfSocket(const IfSocket&) = delete;
    IfSocket& operator=(const IfSocket&) = delete;
    bool ok() const { return fd >= 0; }
    int request(unsigned long code, ifreq* ifr) const { return ioctl(fd, code, ifr); }

private:
    int fd;
};

// A name that does not fit an interface request is refused rather than cut:
// the shortened name could be another port.
bool fillName(ifreq* ifr, const char* name) {
    memset(ifr, 0, sizeof *ifr);
    if (!name || strlen(name) >= IFNAMSIZ) return false;
    strcpy(ifr->ifr_name, name);
    return true;
}

int ethtoolRequest(const IfSocket& sock, const char* name, ethtool_cmd* cmd) {
    ifreq ifr;
    if (!fillName(&ifr, name)) {
        errno = EINVAL;
        return -1;
    }
    ifr.ifr_data = reinterpret_cast<char*>(cmd);
    return sock.request(SIOCETHTOOL, &ifr);
}

// The settings record as the port has it now; -1 on failure.
int fetchSettings(const IfSocket& sock, const char* name, ethtool_cmd* cmd) {
    memset(cmd, 0, sizeof *cmd);
    cmd->cmd = ETHTOOL_GSET;
    return ethtoolRequest(sock, name, cmd);
}

int storeSettings(const IfSocket& sock, const char* name, ethtool_cmd* cmd) {
    cmd->cmd = ETHTOOL_SSET;
    return ethtoolRequest(sock, name, cmd);
}

// Reads the port's settings; 0 or 1.
int getSettings(const char* name, ethtool_cmd* cmd) {
    IfSocket sock;
    if (!sock.ok()) {
        logLine(Logger::Error, "__hwu_link_get_settings: socket failed");
        return 1;
    }
    if (fetchSettings(sock, name, cmd) < 0) {
        logLine(Logger::Error, "__hwu_link_get_settings: ioctl failed");
        return 1;
    }
    return 0;
}

int readSettings(const char* name, ethtool_cmd* cmd, const char* failure) {
    if (getSettings(name, cmd) == 0) return 0;
    logLine(Logger::Error, "%s: failed fetching interface settings", failure);
    return 1;
}

bool isLinkSpeed(unsigned speed) { return speed == 10 || speed == 100 || speed == 1000; }

// Counter slots of one /proc/net/dev line by the kind asked for.
enum { kCounterSlots = 12 };

bool parseCounters(const char* line, const char* name, unsigned long slots[kCounterSlots]) {
    const char* colon = strchr(line, ':');
    if (!colon) return false;
    const char* start = line + strspn(line, " \t");
    if (static_cast<size_t>(colon - start) != strlen(name) ||
        strncmp(start, name, strlen(name)) != 0)
        return false;
    unsigned long rxBytes, rxPackets, rxErrors, rxDrops, rxMulticast;
    unsigned long txBytes, txPackets, txErrors, txDrops;
    if (sscanf(colon + 1, "%lu %lu %lu %lu %*u %*u %*u %lu %lu %lu %lu %lu", &rxBytes, &rxPackets,
               &rxErrors, &rxDrops, &rxMulticast, &txBytes, &txPackets, &txErrors, &txDrops) != 9)
        return false;
    unsigned long table[kCounterSlots] = {
        // The kernel counts bytes without the frame check sequence; received
        // bytes also lack the Ethernet header.
        txBytes + 4 * txPackets,
        rxBytes + 18 * rxPackets,
        txPackets,
        rxPackets,
        0,
        rxMulticast,
        0,
        0,
        txErrors,
        rxErrors,
        txDrops,
        rxDrops,
    };
    memcpy(slots, table, sizeof table);
    return true;
}

}  // namespace

extern "C" {

int hwu_link_status(const char* name, int* status) {
    ethtool_cmd cmd;
    if (readSettings(name, &cmd, "__hwu_link_status")) return 1;
    bool up = (cmd.duplex == DUPLEX_HALF || cmd.duplex == DUPLEX_FULL) &&
              isLinkSpeed(ethtool_cmd_speed(&cmd));
    *status = up ? HWU_LINK_UP : HWU_LINK_DOWN;
    return 0;
}

int hwu_link_speed(const char* name, int* speed) {
    ethtool_cmd cmd;
    if (readSettings(name, &cmd, "__hwu_link_speed")) return 1;
    *speed = static_cast<int>(ethtool_cmd_speed(&cmd));
    return 0;
}

int hwu_link_duplex(const char* name, int* duplex) {
    ethtool_cmd cmd;
    if (readSettings(name, &cmd, "__hwu_link_duplex")) return 1;
    *duplex = cmd.duplex;
    return 0;
}

int hwu_link_details(const char* name, unsigned* supported) {
    ethtool_cmd cmd;
    if (readSettings(name, &cmd, "__hwu_link_status")) return 1;
    *supported = cmd.supported;
    return 0;
}

int hwu_link_hwAddr(const char* name, unsigned char mac[6]) {
    IfSocket sock;
    ifreq ifr;
    if (!sock.ok() || !fillName(&ifr, name) || sock.request(SIOCGIFHWADDR, &ifr) < 0) {
        logLine(Logger::Error, "__hwu_link_hwAddr: failed reading hardware address of %s",
                name ? name : "");
        return 1;
    }
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int hwu_link_set(const char* name, int mode) {
    logLine(Logger::Info, "hwu_link_set: entered. link %s, mode %d", name ? name : "", mode);
    IfSocket sock;
    if (!sock.ok()) {
        logLine(Logger::Error, "__hwu_link_set: socket failed");
        return 1;
    }
    if (mode != HWU_LINK_DOWN && mode != HWU_LINK_UP) {
        logLine(Logger::Error, "hwu_link_set: invalid mode");
        return 1;
    }
    ifreq ifr;
    unsigned long request = mode == HWU_LINK_DOWN ? SIOCDEVPRIVATE : SIOCDEVPRIVATE + 1;
    if (!fillName(&ifr, name) || sock.request(request, &ifr) < 0) {
        if (errno != EOPNOTSUPP) logLine(Logger::Error, "hwu_link_set: ioctl failed");
        return 1;
    }
    return 0;
}

int hwu_link_config(const char* name, int mode) {
    logLine(Logger::Info, "hwu_link_config: entered. link %s, mode %d", name ? name : "", mode);
    IfSocket sock;
    if (!sock.ok()) {
        logLine(Logger::Error, "link_config: socket failed");
        return 1;
    }
    // Only the negotiation switch changes: writing a record that is empty
    // but for it would also set the speed and the advertised modes to 0.
    ethtool_cmd cmd;
    if (fetchSettings(sock, name, &cmd) == 0) {
        cmd.autoneg = mode == 1 ? AUTONEG_ENABLE : AUTONEG_DISABLE;
        if (storeSettings(sock, name, &cmd) == 0) return 0;
    }
    logLine(Logger::Error, "link_config: ioctl failed");
    return 0;
}

int hwu_link_set_speed_duplex(const char* name, int speed, int duplex, int autoneg) {
    if (speed == -1 && duplex == -1 && autoneg == -1) return 0;
    if (autoneg == 1) speed = duplex = -1;
    logLine(Logger::Info, "hwu_link_set_speed_duplex: link %s, speed %d, duplex %d autoneg %d",
            name ? name : "", speed, duplex, autoneg);
    IfSocket sock;
    if (!sock.ok()) {
        logLine(Logger::Error, "__hwu_link_set: socket failed");
        return 1;
    }
    ethtool_cmd cmd;
    if (fetchSettings(sock, name, &cmd) < 0) {
        logLine(Logger::Error, "hwu_link_set_speed_duplex: Cannot get current device settings");
        return 1;
    }
    if (speed != -1) ethtool_cmd_speed_set(&cmd, static_cast<unsigned>(speed));
    if (duplex != -1) cmd.duplex = static_cast<uint8_t>(duplex);
    if (autoneg != -1) cmd.autoneg = static_cast<uint8_t>(autoneg);
    if (storeSettings(sock, name, &cmd) < 0) {
        logLine(Logger::Error, "hwu_link_set_speed_duplex: Cannot set new settings");
        return 1;
    }
    return 0;
}

int hwu_link_data_from(const char* devFile, const char* name, int kind, unsigned long* value) {
    if (!name || kind < 0 || kind >= kCounterSlots) {
        logLine(Logger::Error, "hwu_link_counters: invalid parameter");
        logLine(Logger::Error, "hwu_link_data: failed getting data");
        return 1;
    }
    FILE* file = fopen(devFile, "r");
    if (!file) {
        logLine(Logger::Error, "hwu_link_counters: failed to open file");
        logLine(Logger::Error, "hwu_link_data: failed getting data");
        return 1;
    }
    char line[512];
    unsigned long slots[kCounterSlots];
    bool found = false;
    while (!found && fgets(line, sizeof line, file)) found = parseCounters(line, name, slots);
    fclose(file);
    if (!found) {
        logLine(Logger::Error, "hwu_link_counters: requested interface not found");
        logLine(Logger::Error, "hwu_link_data: failed getting data");
        return 1;
    }
    *value = slots[kind];
    return 0;
}

int hwu_link_data(const char* name, int kind, unsigned long* value) {
    return hwu_link_data_from(APP_PROC_NET_DEV, name, kind, value);
}

int hwu_link_bridge_ports(int* count) {
    *count = 0;
    return 1;
}

int hwu_logger_init_file(void) {
    Logger& log = hwuLog();
    if (log.opened()) return 0;
    std::string path = Com_appHome() + "/" + APP_LOG_SUBDIR + "/hwu." + Com_getPidName() + ".log";
    return log.init(path.c_str(), kLogSize, Logger::Append) ? 0 : 1;
}

}  // extern "C"
