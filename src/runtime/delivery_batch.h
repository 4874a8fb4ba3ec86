#pragma once

#include <functional>

// Datagrams read from the system together are handed on one by one inside one batch. What each
// of them asks to be written (a log entry, bytes for stdout) may wait for the batch's end and go
// in one system call; outside a batch everything is written at once, as it comes.
//
// One batch at a time per thread; a batch opened inside another (a nested event loop) belongs
// to the outer one.
class DeliveryBatch {
public:
    DeliveryBatch();
    // The outermost batch's end runs each flush asked for, in the order asked.
    ~DeliveryBatch();
    DeliveryBatch(const DeliveryBatch &) = delete;
    DeliveryBatch &operator=(const DeliveryBatch &) = delete;

    static bool isOpen();
    // Runs `flush` when the open batch ends, once for `owner` however often it asks; false, with
    // nothing kept, when no batch is open.
    static bool flushAtEnd(const void *owner, std::function<void()> flush);
    // An owner that goes before the batch ends takes its flush back.
    static void forget(const void *owner);
};
