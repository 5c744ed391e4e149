// The speed limit reads one quota per 100 ms tick, so a socket must be able
// to queue more than one quota: socketReserveReceiveBuffer raises the queue
// when it is too small and never lowers it (a lower fixed size would also
// switch off the system's automatic sizing for nothing).
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "platform/net.h"

namespace {

int receiveBufferOf(SocketHandle socket) {
    int size = 0;
    socklen_t length = sizeof size;
    getsockopt(int(socket), SOL_SOCKET, SO_RCVBUF, &size, &length);
    return size;
}

}  // namespace

TEST(ReceiveBuffer, ReservationRaisesTheQueueAndNeverLowersIt) {
    SocketHandle socket = socketCreate();
    ASSERT_NE(socket, NO_SOCKET);
    int initial = receiveBufferOf(socket);
    ASSERT_GT(initial, 0);

    socketReserveReceiveBuffer(socket, initial / 2);
    EXPECT_EQ(receiveBufferOf(socket), initial);

    const int wanted = 4 * 1024 * 1024 > initial ? 4 * 1024 * 1024 : initial * 2;
    socketReserveReceiveBuffer(socket, wanted);
    int raised = receiveBufferOf(socket);
    // The system may cap the size (net.core.rmem_max) but not below the
    // default it started from; Linux reports twice what it was given.
    EXPECT_GT(raised, initial);

    socketReserveReceiveBuffer(socket, initial);
    EXPECT_EQ(receiveBufferOf(socket), raised);
    socketClose(socket);
}
