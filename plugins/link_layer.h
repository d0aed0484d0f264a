// The ports' link layer as the configuration plug-in uses it: the link
// utilities on the real ports; tests put a fake in its place. Each answers 0
// on success and 1 on failure, as the link utilities do.
#ifndef PLUGINS_LINK_LAYER_H
#define PLUGINS_LINK_LAYER_H

#include "plugins/link_utils.h"

class LinkLayer {
public:
    virtual ~LinkLayer() = default;
    // HWU_LINK_UP or HWU_LINK_DOWN.
    virtual int status(const char* name, int* status) { return hwu_link_status(name, status); }
    virtual int speed(const char* name, int* speed) { return hwu_link_speed(name, speed); }
    // 0 half, 1 full.
    virtual int duplex(const char* name, int* duplex) { return hwu_link_duplex(name, duplex); }
    virtual int details(const char* name, unsigned* supported) {
        return hwu_link_details(name, supported);
    }
    virtual int hwAddr(const char* name, unsigned char mac[6]) {
        return hwu_link_hwAddr(name, mac);
    }
    // HWU_LINK_DOWN or HWU_LINK_UP.
    virtual int set(const char* name, int mode) { return hwu_link_set(name, mode); }
};

#endif
