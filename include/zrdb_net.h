/*
 * zrdb_net.h - network transports of ZRDB: IPv4 and interface utilities,
 * UDP remote buffer items, and the mirroring of item accesses to a peer.
 * Included by zrdb.h; not meant to be included on its own.
 *
 * A remote buffer item (type rmtbuf or vlinkbuf) is a UDP endpoint whose
 * item value is a protocol text:
 *
 *     ROLE:udp://ADDRESS:PORT [INTERFACE]
 *
 * ROLE contains "server" or "client". A server binds PORT on every local
 * address, or joins the group ADDRESS when it is multicast (on INTERFACE's
 * address when it has one), and answers whoever sent to it last; only one
 * process at a time may be the server of an item ("/tmp/zrdbid<id>.lock").
 * A client sends to ADDRESS:PORT; a multicast client does not receive its
 * own datagrams and sends on INTERFACE when it has an address.
 *
 * Opening an endpoint whose socket options cannot be set ends the process,
 * as the system this library serves expects: exit status 1 for a client's
 * multicast options or a server's SO_REUSEADDR, 255 for a server's
 * SO_BINDTODEVICE or group join. A text that does not parse fails the
 * database creation; a port that is not a number in 1..65535, or an
 * interface name over 15 characters, fails the open (-1), so that no socket
 * is ever bound or sent to elsewhere than the text says.
 */
#ifndef ZRDB_NET_H
#define ZRDB_NET_H

#include "zrdb_export.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
ZRDB_VISIBLE_BEGIN

/* ------------------------------------------------------------------------ */
/* IPv4 and interface utilities                                              */
/* ------------------------------------------------------------------------ */

/* 1 when text is a dotted quad of numbers up to 255 (7..15 characters,
 * trailing blanks allowed), else 0. */
int zrdb_validate_ip4(const char *text);
/* The hardware address of interface ifname into out ("%x:%x:..." and
 * "%02x:%02x:..."); six zero bytes when it has none. Always 0. */
int zrdb_get_mac_addr(const char *ifname, char *out, uint32_t outLen);
int zrdb_get_mac_addr_v2(const char *ifname, char *out, uint32_t outLen);

/* ------------------------------------------------------------------------ */
/* Remote buffer items (types rmtbuf and vlinkbuf)                           */
/* ------------------------------------------------------------------------ */

#define ZRDB_RMTBUF_TEXT_LEN 128
#define ZRDB_RMTBUF_ROLE_SERVER 0
#define ZRDB_RMTBUF_ROLE_CLIENT 1

/* Data area (412 bytes), shared. */
typedef struct ZRDB_RMTBUF_INFO {
  char text[ZRDB_RMTBUF_TEXT_LEN]; /* the protocol text, as configured */
  char owner[64];                  /* application that opened it, "NONAME" */
  char ipAddr[16];                 /* ADDRESS */
  uint8_t reserved1[4];
  uint8_t proto; /* bits 0-1 role, bits 2-5 protocol (0 = udp) */
  uint8_t reserved2;
  uint16_t port;  /* PORT, host order */
  char nic[32];   /* INTERFACE, empty when none */
  uint8_t status; /* bit 0: open in some process */
  uint8_t reserved3[3];
  uint32_t marks[3]; /* cleared or armed by the statistics commands */
  uint32_t txCount;  /* datagrams sent */
  uint32_t rxCount;  /* datagrams received */
  uint32_t txErr;    /* failed sends */
  uint32_t rxErr;    /* failed receives */
  int32_t trace;     /* 1: log every operation */
  uint8_t reserved4[128];
} ZRDB_RMTBUF_INFO;

/* Parameter block of zrdbrmtbuf_ctrl. */
typedef struct ZRDB_RMTBUF_PARA {
  void *buf;
  int32_t size; /* bytes to send, or room in buf */
  int32_t len;  /* bytes received */
} ZRDB_RMTBUF_PARA;

enum {
  ZRDBRMTBUF_READ = 0,  /* wait up to 1 s for one datagram */
  ZRDBRMTBUF_WRITE = 1, /* send one datagram */
  ZRDBRMTBUF_GETFD = 2  /* the socket, into the block's first word */
};

/* Fills ipAddr, proto, port and nic of info from text. 0, or -1. */
int parseProtocolInfo(const char *text, ZRDB_RMTBUF_INFO *info);

int zrdbrmtbuf_create(ZRDB_DIT *dit);
int zrdbrmtbuf_open(ZRDB_DIT *dit);
int zrdbrmtbuf_ctrl(ZRDB_DIT *dit, int32_t op, intptr_t para);
int zrdbrmtbuf_print(ZRDB_DIT *dit, int32_t cmd);
int zrdbrmtbuf_iprint(ZRDB_DIT *dit, int32_t index, int32_t cmd);
int zrdbrmtbuf_close(ZRDB_DIT *dit);

/* Receives one datagram into buf (at most size bytes; *len gets its
 * length), waiting up to 1 second. zrdid may be a link id. Returns 0, -1
 * (nothing arrived, a failed receive, a datagram longer than size, which is
 * logged and counted as a failed receive, a null buffer or negative size),
 * -3 (not open in this process) or ZRDB_ERR_CORRUPT. A server remembers the
 * sender as the destination of its next write; a unicast client takes
 * datagrams from its configured server only. */
int zrdb_rmtbufRead(int32_t zrdid, void *buf, int32_t size, int32_t *len);
/* Sends size bytes of buf as one datagram. Returns 0, -1 (a failed send,
 * or a server that has no sender to answer yet), -3 or ZRDB_ERR_CORRUPT. */
int zrdb_rmtbufWrite(int32_t zrdid, const void *buf, int32_t size);

/* ------------------------------------------------------------------------ */
/* Mirroring of item accesses                                                */
/* ------------------------------------------------------------------------ */

/* Sync message header, big-endian on the wire; the payload follows. */
#define ZRDB_SYNC_HDR_SIZE 24
#define ZRDB_SYNC_PAYLOAD_MAX 256

/* The checksum of a sync message header: five times its first word read as
 * a little-endian number. */
uint32_t vlink_calc_syncto_msg_cs(const void *msg);

ZRDB_VISIBLE_END
#ifdef __cplusplus
}
#endif

#endif /* ZRDB_NET_H */
