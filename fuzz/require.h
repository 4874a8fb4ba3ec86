#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>

// A property every input must keep; a failed one is told with its input and stops the run.
inline void require(bool holds, const char *property, const QString &text) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s for \"%s\"\n", property,
                     text.toUtf8().constData());
        std::abort();
    }
}
