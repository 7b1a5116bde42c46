// The means by which tcap-host check survives a plug-in that misbehaves:
// buffers whose end touches an inaccessible page, reading memory that may
// not be readable, and running a piece of work in a child process whose
// death by signal is reported instead of shared.
#ifndef TCAP_HOST_CHECK_SUPPORT_H
#define TCAP_HOST_CHECK_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

namespace tcap_host {

// nBytes of writable memory whose last byte is followed by an inaccessible
// page, and preceded by kGuardBytes of a known pattern. Writing past the end
// faults at once; writing before the start shows in GuardChanged().
class GuardedMemory {
public:
    static constexpr size_t kGuardBytes = 4096;
    static constexpr uint8_t kGuardPattern = 0xA5;

    explicit GuardedMemory(size_t nBytes);
    ~GuardedMemory();
    GuardedMemory(const GuardedMemory&) = delete;
    GuardedMemory& operator=(const GuardedMemory&) = delete;

    bool Ok() const { return pBase_ != nullptr; }
    uint8_t* Data() const { return pData_; }
    size_t Size() const { return nBytes_; }
    // The inaccessible page right after the data.
    uintptr_t FenceStart() const { return reinterpret_cast<uintptr_t>(pData_) + nBytes_; }
    uintptr_t FenceEnd() const;

    // How many guard bytes no longer hold the pattern; *pNearest is how far
    // before the data the nearest of them lies (1 = the byte just before).
    size_t GuardChanged(size_t* pNearest) const;

private:
    uint8_t* pBase_ = nullptr;
    size_t nMapped_ = 0;
    uint8_t* pData_ = nullptr;
    size_t nBytes_ = 0;
};

// Copies the NUL-terminated text at psz, up to nMax bytes, without touching
// memory the process cannot read. False when psz is unreadable or has no NUL
// within nMax bytes; *pText then holds what could be read.
bool SafeReadString(const char* psz, size_t nMax, std::string* pText);

// What the current piece of work is doing, kept where the parent can read it
// after the child died: the check it belongs to and the call in progress.
// Guard pages can be registered, so that a fault in one is put down to the
// check that placed it there.
void NoteStep(const char* pszCheck, const std::string& call);
void NoteFence(int nSlot, uintptr_t start, uintptr_t end, const char* pszCheck, const char* pszWhat);
void ClearFences();

struct ChildOutcome {
    std::string output;       // everything the work wrote through its writer
    bool bFinished = false;   // the work returned and the child exited 0
    int nSignal = 0;          // the signal that ended the child, or 0
    int nExitStatus = 0;      // its exit status when it exited
    bool bTimedOut = false;   // ended by the time limit
    std::string check;        // the last NoteStep, and the call in progress
    std::string call;
    bool bFault = false;      // a memory fault, at faultAddress
    uintptr_t faultAddress = 0;
    std::string fenceCheck;   // set when the fault lies in a registered guard page
    std::string fenceWhat;
};

// Runs work(write) in a child process: write() sends text to the parent.
// The child has nSeconds before it is ended. With bInProcess the work runs
// in this process instead, and a crash ends it.
ChildOutcome RunIsolated(const std::function<void(const std::function<void(const std::string&)>&)>& work,
                         unsigned nSeconds, bool bInProcess);

}  // namespace tcap_host

#endif  // TCAP_HOST_CHECK_SUPPORT_H
