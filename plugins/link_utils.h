/*
 * Link state, speed, duplex, hardware address and traffic counters of the
 * appliance's network ports, read and set through the kernel's interface
 * requests. Plain functions callable from C; each answers 0 on success and 1
 * on failure unless its comment says otherwise, and logs its failures to the
 * library's own size-limited log.
 */
#ifndef PLUGINS_LINK_UTILS_H
#define PLUGINS_LINK_UTILS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Link status values and the modes of hwu_link_set. */
enum { HWU_LINK_DOWN = 1, HWU_LINK_UP = 2 };

/* Up (2) when the port runs half or full duplex at 10, 100 or 1000 Mbit/s,
 * otherwise down (1). */
int hwu_link_status(const char* name, int* status);
int hwu_link_speed(const char* name, int* speed);
/* 0 half, 1 full. */
int hwu_link_duplex(const char* name, int* duplex);
/* The port's mask of supported modes. */
int hwu_link_details(const char* name, unsigned* supported);
int hwu_link_hwAddr(const char* name, unsigned char mac[6]);
/* Brings the link down (1) or up (2) through the driver's private requests. */
int hwu_link_set(const char* name, int mode);
/* Auto-negotiation on for mode 1, off otherwise. Fails only when no socket
 * can be opened. */
int hwu_link_config(const char* name, int mode);
/* -1 keeps a field; with autoneg 1 speed and duplex are left to the link. */
int hwu_link_set_speed_duplex(const char* name, int speed, int duplex, int autoneg);
/* One traffic counter of the port; kinds: 0 sent bytes, 1 received bytes,
 * 2 sent packets, 3 received packets, 5 received multicast, 8 sent errors,
 * 9 received errors, 10 sent drops, 11 received drops (4, 6, 7 read 0). The
 * byte counts include the frame overhead the counters leave out. */
int hwu_link_data(const char* name, int kind, unsigned long* value);
/* The same from a counters file in the layout of /proc/net/dev. */
int hwu_link_data_from(const char* devFile, const char* name, int kind, unsigned long* value);
/* Bridge ports are not supported: count 0, answer 1. */
int hwu_link_bridge_ports(int* count);
/* Opens the log "<home>/log/hwu.<program>.log"; a line logged before this
 * goes to the fall-back log in the installation's default logs folder. */
int hwu_logger_init_file(void);

#ifdef __cplusplus
}
#endif

#endif /* PLUGINS_LINK_UTILS_H */
