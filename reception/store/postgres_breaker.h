// Whether the PostgreSQL server answers, as this process last saw it. A
// server that stops answering (a dead switch: sockets stay open, nothing
// comes back) would otherwise cost every thread that reads a full deadline;
// once one thread has waited in vain, the others are refused at once (503)
// until the server answers again. Only threads that may wait try it again,
// one at a time, and the leadership's heartbeat does every 2 s: the HTTP
// server's own threads never spend their time on a server known to be away.
#pragma once

#include <cstdint>
#include <string>

// While away, a thread that may wait tries again after this long.
constexpr int postgresRetryAfterSilenceMs = 1000;

// Whether the calling thread may use the server now. mayProbe: it may wait,
// and so may be the one thread that tries while the server is away (it must
// then report noteAnswered or noteSilent).
bool postgresMayTry(bool mayProbe);
// The server answered (any answer, an error too). Said once on stderr after
// it was away.
void postgresAnswered();
// The server did not answer within a deadline. Said once on stderr, not for
// every request refused meanwhile.
void postgresSilent(const std::string& why);
// Whether the server is taken to be away now.
bool postgresAway();
// Forgets what was seen (the storage is closed).
void resetPostgresBreaker();
