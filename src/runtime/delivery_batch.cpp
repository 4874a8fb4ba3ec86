#include "runtime/delivery_batch.h"

#include <algorithm>
#include <vector>

namespace {

struct Flush {
    const void *owner;
    std::function<void()> run;
};

struct Batches {
    int depth = 0;
    std::vector<Flush> flushes;
};

thread_local Batches batches;

} // namespace

DeliveryBatch::DeliveryBatch() {
    ++batches.depth;
}

DeliveryBatch::~DeliveryBatch() {
    if (batches.depth > 1) {
        --batches.depth;
        return;
    }
    // Still open while flushing, so what a flush writes in turn joins this round; taken one at a
    // time, so an owner a flush deletes is forgotten before its turn.
    while (!batches.flushes.empty()) {
        const Flush next = std::move(batches.flushes.front());
        batches.flushes.erase(batches.flushes.begin());
        next.run();
    }
    --batches.depth;
}

bool DeliveryBatch::isOpen() {
    return batches.depth > 0;
}

bool DeliveryBatch::flushAtEnd(const void *owner, std::function<void()> flush) {
    if (batches.depth == 0)
        return false;
    const auto asked = std::find_if(batches.flushes.begin(), batches.flushes.end(),
                                    [owner](const Flush &each) { return each.owner == owner; });
    if (asked == batches.flushes.end())
        batches.flushes.push_back({owner, std::move(flush)});
    return true;
}

void DeliveryBatch::forget(const void *owner) {
    std::erase_if(batches.flushes, [owner](const Flush &each) { return each.owner == owner; });
}
