// TestSockets: the loopback TCP sockets that tests of listeners, clients and
// the daemon open by hand: a listener on a port the kernel picks, and a
// client bound to a chosen loopback address (127.0.0.2 plays a foreign peer).
// Free functions, safe for concurrent use.
#ifndef VIGILD_TESTS_SUPPORT_TESTSOCKETS_H
#define VIGILD_TESTS_SUPPORT_TESTSOCKETS_H

// A socket of type (SOCK_STREAM or SOCK_DGRAM) with close-on-exec, bound to
// 127.0.0.1 at a port the kernel picks (*port); -1 on failure.
int BindLoopback(int type, int* port);
// The same for a stream socket, listening.
int ListenOnLoopback(int* port, int backlog = 16);
// The next connection to listener within timeoutMs, or -1.
int AcceptWithin(int listener, int timeoutMs);
// A socket from `from` connected to `to`:port, or -1. Non-blocking, it is
// returned as soon as the handshake is under way.
int ConnectTcp(int port, const char* from = "127.0.0.1", const char* to = "127.0.0.1",
               bool blocking = true);

#endif  // VIGILD_TESTS_SUPPORT_TESTSOCKETS_H
