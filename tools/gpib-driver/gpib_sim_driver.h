// The project's own IEEE-488 driver library, for tests and demonstrations
// without an interface board. It exports the calls and status variables of the
// linux-gpib interface that the GPIB port binds at run time, and carries the
// bytes of each device over a Unix stream socket to the instrument simulator:
//
//   PELVANE_GPIB_SOCKET       path of the socket the simulator listens on
//                             (pelvane-sim --gpib-socket PATH)
//   PELVANE_GPIB_TIMEOUT_MS   optional: no time-out lasts longer than this many
//                             milliseconds (tests shorten the 3 s transfer limit)
//
// Messages are not delimited on the socket: the instrument's frames carry their
// own lengths, so a read ends when its count is reached or its time-out passes,
// as a read on a real bus does when the talker stops sending.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define PELVANE_GPIB_EXPORT __attribute__((visibility("default")))

extern PELVANE_GPIB_EXPORT volatile int ibsta;
extern PELVANE_GPIB_EXPORT volatile int iberr;
extern PELVANE_GPIB_EXPORT volatile int ibcnt;
extern PELVANE_GPIB_EXPORT volatile long ibcntl;

PELVANE_GPIB_EXPORT int ibdev(int board, int pad, int sad, int tmo, int send_eoi, int eos);
PELVANE_GPIB_EXPORT int ibonl(int ud, int online);
PELVANE_GPIB_EXPORT int ibtmo(int ud, int tmo);
PELVANE_GPIB_EXPORT int ibrd(int ud, void* buffer, long count);
PELVANE_GPIB_EXPORT int ibwrt(int ud, const void* buffer, long count);
PELVANE_GPIB_EXPORT int ibsic(int ud);
PELVANE_GPIB_EXPORT int ibclr(int ud);
PELVANE_GPIB_EXPORT int ibloc(int ud);
PELVANE_GPIB_EXPORT int ibeos(int ud, int eos);
PELVANE_GPIB_EXPORT int ibeot(int ud, int send_eoi);
PELVANE_GPIB_EXPORT int ibask(int ud, int option, int* value);
PELVANE_GPIB_EXPORT int ibconfig(int ud, int option, int value);
PELVANE_GPIB_EXPORT int ThreadIbsta(void);
PELVANE_GPIB_EXPORT int ThreadIberr(void);
PELVANE_GPIB_EXPORT int ThreadIbcnt(void);
PELVANE_GPIB_EXPORT long ThreadIbcntl(void);

#ifdef __cplusplus
}
#endif
