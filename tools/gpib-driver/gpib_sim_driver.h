// The project's own IEEE-488 driver library, for tests and demonstrations
// without an interface board. It exports the calls and status variables of the
// driver interface that the GPIB port binds at run time (the linux-gpib names
// on Linux; on Windows the status variables as NI-488.2's GPIB-32.DLL names
// them, user_ibsta and so on: see pelvane-gpib-sim.def) and carries the bytes
// of each device over a stream socket to the instrument simulator:
//
//   PELVANE_GPIB_SOCKET       where the simulator listens: "tcp:HOST:PORT" for
//                             TCP (pelvane-sim --gpib-tcp PORT prints it; HOST
//                             is a numeric IPv4 address such as 127.0.0.1), or
//                             the path of a Unix socket (Linux only;
//                             pelvane-sim --gpib-socket PATH)
//   PELVANE_GPIB_TIMEOUT_MS   optional: no time-out lasts longer than this many
//                             milliseconds (tests shorten the 3 s transfer limit)
//
// Messages are not delimited on the socket: the instrument's frames carry their
// own lengths, so a read ends when its count is reached or its time-out passes,
// as a read on a real bus does when the talker stops sending.
//
// Only the driver's names leave the library: the export lists are
// pelvane-gpib-sim.map (Linux) and pelvane-gpib-sim.def (Windows).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

extern volatile int ibsta;
extern volatile int iberr;
extern volatile int ibcnt;
extern volatile long ibcntl;

int ibdev(int board, int pad, int sad, int tmo, int send_eoi, int eos);
int ibonl(int ud, int online);
int ibtmo(int ud, int tmo);
int ibrd(int ud, void* buffer, long count);
int ibwrt(int ud, const void* buffer, long count);
int ibsic(int ud);
int ibclr(int ud);
int ibloc(int ud);
int ibeos(int ud, int eos);
int ibeot(int ud, int send_eoi);
int ibask(int ud, int option, int* value);
int ibconfig(int ud, int option, int value);
int ThreadIbsta(void);
int ThreadIberr(void);
int ThreadIbcnt(void);
long ThreadIbcntl(void);

#ifdef __cplusplus
}
#endif
