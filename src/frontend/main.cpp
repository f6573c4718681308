#include <cstdio>
#include <new>

#include "core/CSMTPException.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Run.h"
#include "frontend/RunLog.h"

namespace {

int RunReporting(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const CSMTPException& error) {
        std::fprintf(stderr, "Error: %s (%s).\n", ErrorText(error.m_Code), error.what());
        std::fflush(stderr);
        return -1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Error: %s.\n", ErrorText(OUT_OF_MEMORY));
        std::fflush(stderr);
        return -1;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const int status = RunReporting(argc, argv);
    try {
        WriteRunLog(g_Mail, status);
    } catch (...) {
        // The log never changes what the run did.
    }
    return status;
}
