#include "frontend/SendmailStatus.h"

namespace {

struct StatusName {
    int status;
    const char* name;
};

const StatusName kStatusNames[] = {{kOk, "EX_OK"},
                                   {kUsage, "EX_USAGE"},
                                   {kDataError, "EX_DATAERR"},
                                   {kNoUser, "EX_NOUSER"},
                                   {kNoHost, "EX_NOHOST"},
                                   {kUnavailable, "EX_UNAVAILABLE"},
                                   {kIoError, "EX_IOERR"},
                                   {kTempFail, "EX_TEMPFAIL"},
                                   {kProtocol, "EX_PROTOCOL"},
                                   {kNoPermission, "EX_NOPERM"},
                                   {kConfig, "EX_CONFIG"}};

}  // namespace

const char* SendmailStatusName(int status)
{
    for (const StatusName& entry : kStatusNames)
        if (entry.status == status) return entry.name;
    return "EX_SOFTWARE";
}
