// The configuration file's name tables and the bookkeeping of its writes;
// config_loader.cpp reads the file, config_store.cpp writes it.
#include "plugins/rc_conf.h"

#include "plugins/config_loader.h"
#include "support/atomic_file.h"

const char* const __if_attr[] = {"int", "ext", "mgmt", "br", "tap", "clone", "", nullptr};
const char* const __if_status[] = {"up", "down", "test", nullptr};
const char* const __if_speed[] = {"10", "100", "1000", nullptr};
const char* const __if_duplex[] = {"full", "half", nullptr};
const char* const __if_autoneg[] = {"on", "off", nullptr};
const char* const __rt_type[] = {"host", "net", nullptr};
const char* const __dev_mode[] = {"active", "tap", "NA", nullptr};
const char* const __if_action[] = {"off", "on_pair", "on_all", "bypass", nullptr};
const char* const __adna_values[] = {"1", "0", "NA", nullptr};
const char DEF_CONFIG_AUTO[] = "auto";

RcConf::RcConf(const char* file, ConfigModel& m, NetApplier& n)
    : path(file ? file : ""), model(m), net(n) {}

RcConf::~RcConf() = default;

bool RcConf::commit(FileBatch& batch) {
    if (!batch.commit()) return false;
    ++fileGeneration;
    return true;
}
