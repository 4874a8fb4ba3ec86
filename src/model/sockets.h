#pragma once

class SocketArray;
class SocketControl;

// The listener's socket array and the client socket; Program owns them, the subsystems that
// work on them are handed them.
struct Sockets {
    SocketArray *listenSock = nullptr;
    SocketControl *sendSock = nullptr;
};
