// Feeds arbitrary text to the reader of one fault's line: it must never crash, a fault it reads
// must check without crashing, and the line written for it must read back as the same fault.
#include "model/fault.h"
#include "require.h"

#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 4096)
        return 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    Fault fault;
    if (!parseFault(text, fault).isEmpty())
        return 0;
    checkFault(fault, false);
    checkFault(fault, true);
    faultActionText(fault);
    Fault again;
    const QString line = faultLine(fault);
    require(parseFault(line, again).isEmpty(), "the written line reads back", text);
    require(again == fault, "the written line reads back as the same fault", text);
    return 0;
}
