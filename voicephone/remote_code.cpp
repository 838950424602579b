#include "remote_code.h"

bool collectRemoteCode(RemoteCodeCollector& collector, char (&code)[remoteCodeSize], uint8_t key)
{
    if (key >= '0' && key <= '9') {
        if (collector.started && collector.length < remoteCodeMaxDigits) {
            code[collector.length] = static_cast<char>(key);
            ++collector.length;
            code[collector.length] = '\0';
        }
        return false;
    }
    if (key == '#') {
        if (collector.length == 0)
            return false;
        collector.length = 0;
        collector.started = false;
        return true;
    }
    if (key == '*') {
        collector.length = 0;
        collector.started = true;
    }
    return false;
}
