#include "qvcoreversion.h"

const char *qvCoreVersion() noexcept
{
    return QVCORE_VERSION_STR;
}
