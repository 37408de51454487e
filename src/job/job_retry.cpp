#include "job/job_retry.h"

#include "job/job_links.h"

namespace {

template <typename Step>
int Retried(Step step)
{
    for (int attempt = 0;; ++attempt) {
        if (step())
            return 1;
        DWORD error = GetLastError();
        if (attempt == 4 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            return 0;
        Sleep(100);
    }
}

}  // namespace

int MoveHeldFile(const wchar_t* from, const wchar_t* to)
{
    return Retried([&] { return MoveJobFile(from, to); });
}

int DeleteHeldFile(const wchar_t* path)
{
    return Retried([&] { return DeleteJobFile(path); });
}
