#include "cli/output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Output {

namespace {
int reportError = 0;
} // namespace

void report(const QByteArray &text)
{
    if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) != size_t(text.size()) &&
        reportError == 0)
        reportError = errno ? errno : EIO;
}

void message(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

bool reportWritten()
{
    if (std::fflush(stdout) != 0 && reportError == 0)
        reportError = errno ? errno : EIO;
    if (reportError == 0)
        return true;
    std::fprintf(stderr, "bootloader-cli: the report could not be written to stdout: %s\n",
                 std::strerror(reportError));
    return false;
}

} // namespace Output
