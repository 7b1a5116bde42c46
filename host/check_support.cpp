#include "check_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace tcap_host {

namespace {

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// Written by the child, read by the parent once the child has ended: it
// lives in a shared anonymous mapping (or in this process for in-process
// runs).
struct SharedState {
    char check[64];
    char call[256];
    struct Fence {
        uintptr_t start, end;
        char check[64];
        char what[160];
    } fences[2];
    volatile sig_atomic_t bFault;
    volatile uintptr_t faultAddress;
};

SharedState g_localState;
SharedState* g_pState = &g_localState;

void Copy(char* pDest, size_t nSize, const char* pszSource) { snprintf(pDest, nSize, "%s", pszSource); }

void OnFault(int nSignal, siginfo_t* pInfo, void*) {
    // A fault the kernel reports (si_code above 0) has an address; a signal
    // sent with raise or kill has none.
    if (pInfo->si_code > 0) {
        g_pState->faultAddress = reinterpret_cast<uintptr_t>(pInfo->si_addr);
        g_pState->bFault = 1;
    }
    // Die of the same signal: the faulting access repeats after the return,
    // and a raised signal is delivered as soon as the handler ends.
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

bool WriteAll(int fd, const std::string& text) {
    size_t nDone = 0;
    while (nDone < text.size()) {
        const ssize_t n = write(fd, text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        nDone += static_cast<size_t>(n);
    }
    return true;
}

void Collect(ChildOutcome* pOutcome) {
    const SharedState& s = *g_pState;
    pOutcome->check = s.check;
    pOutcome->call = s.call;
    pOutcome->bFault = s.bFault != 0;
    pOutcome->faultAddress = s.faultAddress;
    if (!pOutcome->bFault) return;
    for (const SharedState::Fence& fence : s.fences) {
        if (fence.end > fence.start && pOutcome->faultAddress >= fence.start && pOutcome->faultAddress < fence.end) {
            pOutcome->fenceCheck = fence.check;
            pOutcome->fenceWhat = fence.what;
        }
    }
}

}  // namespace

GuardedMemory::GuardedMemory(size_t nBytes) : nBytes_(nBytes) {
    const size_t nPage = PageSize();
    const size_t nWritable = (kGuardBytes + nBytes + nPage - 1) / nPage * nPage;
    if (nBytes > SIZE_MAX / 2) return;
    void* pBase = mmap(nullptr, nWritable + nPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pBase == MAP_FAILED) return;
    pBase_ = static_cast<uint8_t*>(pBase);
    nMapped_ = nWritable + nPage;
    if (mprotect(pBase_ + nWritable, nPage, PROT_NONE) != 0) {
        munmap(pBase_, nMapped_);
        pBase_ = nullptr;
        return;
    }
    pData_ = pBase_ + nWritable - nBytes;
    memset(pData_ - kGuardBytes, kGuardPattern, kGuardBytes);
}

GuardedMemory::~GuardedMemory() {
    if (pBase_) munmap(pBase_, nMapped_);
}

uintptr_t GuardedMemory::FenceEnd() const { return FenceStart() + PageSize(); }

size_t GuardedMemory::GuardChanged(size_t* pNearest) const {
    size_t nChanged = 0;
    *pNearest = 0;
    for (size_t i = 1; i <= kGuardBytes; ++i) {
        if (pData_[-static_cast<ptrdiff_t>(i)] != kGuardPattern) {
            if (nChanged++ == 0) *pNearest = i;
        }
    }
    return nChanged;
}

bool SafeReadString(const char* psz, size_t nMax, std::string* pText) {
    pText->clear();
    if (!psz) return false;
    // The kernel reads the byte for a write into a pipe and answers EFAULT
    // for memory the process cannot read, where a plain read would fault.
    // One byte of each page is tried that way, then the page is read up to
    // the NUL and no further.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    bool bTerminated = false;
    const uintptr_t nPage = PageSize();
    const char* p = psz;
    while (!bTerminated && pText->size() < nMax) {
        char c = 0;
        if (write(fds[1], p, 1) != 1 || read(fds[0], &c, 1) != 1) break;
        const uintptr_t pageEnd = (reinterpret_cast<uintptr_t>(p) / nPage + 1) * nPage;
        for (; reinterpret_cast<uintptr_t>(p) < pageEnd && pText->size() < nMax; ++p) {
            if (*p == '\0') {
                bTerminated = true;
                break;
            }
            pText->push_back(*p);
        }
    }
    close(fds[0]);
    close(fds[1]);
    return bTerminated;
}

void NoteStep(const char* pszCheck, const std::string& call) {
    Copy(g_pState->check, sizeof g_pState->check, pszCheck);
    Copy(g_pState->call, sizeof g_pState->call, call.c_str());
}

void NoteFence(int nSlot, uintptr_t start, uintptr_t end, const char* pszCheck, const char* pszWhat) {
    SharedState::Fence& fence = g_pState->fences[nSlot];
    fence.start = start;
    fence.end = end;
    Copy(fence.check, sizeof fence.check, pszCheck);
    Copy(fence.what, sizeof fence.what, pszWhat);
}

void ClearFences() {
    for (SharedState::Fence& fence : g_pState->fences) fence.start = fence.end = 0;
}

ChildOutcome RunIsolated(const std::function<void(const std::function<void(const std::string&)>&)>& work,
                         unsigned nSeconds, bool bInProcess) {
    ChildOutcome outcome;
    if (bInProcess) {
        g_pState = &g_localState;
        memset(&g_localState, 0, sizeof g_localState);
        work([&outcome](const std::string& text) { outcome.output += text; });
        outcome.bFinished = true;
        Collect(&outcome);
        return outcome;
    }

    static SharedState* pShared = nullptr;
    if (!pShared) {
        void* p = mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            outcome.call = std::string("no shared memory for a child process: ") + strerror(errno);
            return outcome;
        }
        pShared = static_cast<SharedState*>(p);
    }
    memset(pShared, 0, sizeof *pShared);
    g_pState = pShared;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        outcome.call = std::string("no pipe for a child process: ") + strerror(errno);
        return outcome;
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        outcome.call = std::string("cannot start a child process: ") + strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return outcome;
    }
    if (pid == 0) {
        close(fds[0]);
        struct sigaction action = {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
        sigaction(SIGBUS, &action, nullptr);
        signal(SIGALRM, SIG_DFL);
        alarm(nSeconds);
        // What the plug-in prints goes to standard error, not into the report.
        dup2(STDERR_FILENO, STDOUT_FILENO);
        const int fd = fds[1];
        work([fd](const std::string& text) { WriteAll(fd, text); });
        _exit(0);  // no exit handlers, no flushing of buffers inherited from the parent
    }
    close(fds[1]);
    // The child's alarm ends it in time; should the plug-in have caught or
    // blocked that signal, the parent ends it a little later.
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const time_t deadline = now.tv_sec + static_cast<time_t>(nSeconds) + 5;
    char buffer[4096];
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec >= deadline) {
            kill(pid, SIGKILL);
            outcome.bTimedOut = true;
            break;
        }
        pollfd wait = {fds[0], POLLIN, 0};
        const int nReady = poll(&wait, 1, 1000);
        if (nReady < 0 && errno == EINTR) continue;
        if (nReady == 0) continue;
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        outcome.output.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        outcome.nSignal = WTERMSIG(status);
        outcome.bTimedOut = outcome.bTimedOut || outcome.nSignal == SIGALRM;
    } else if (WIFEXITED(status)) {
        outcome.nExitStatus = WEXITSTATUS(status);
        outcome.bFinished = outcome.nExitStatus == 0;
    }
    Collect(&outcome);
    g_pState = &g_localState;
    return outcome;
}

}  // namespace tcap_host
